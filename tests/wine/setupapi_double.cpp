// Test double of SetupAPI for the Wine stage (Wine lists no COM-port interfaces). Its
// interfaces come from VYRA_SETUPAPI_DEVICES: "INSTANCE_ID|DEVICE_PATH;..." in the order
// the walk reports them. Only what the plug-in calls is answered; structure sizes are
// checked the way the real library checks them.
#define _SETUPAPI_  // we define these functions, not import them
#include <windows.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "env_pairs.h"
#include "vyra/abi_sizes.h"

namespace {

struct Iface {
  std::wstring instanceId;
  std::wstring devicePath;
};

std::wstring Widen(const std::string& s) {
  std::wstring w;
  for (unsigned char c : s) w += static_cast<wchar_t>(c);
  return w;
}

std::vector<Iface> Interfaces() {
  std::vector<Iface> list;
  for (const auto& [instanceId, devicePath] : EnvPairs("VYRA_SETUPAPI_DEVICES", '|'))
    list.push_back({Widen(instanceId), Widen(devicePath)});
  return list;
}

struct Set {
  DWORD magic = 0x53455421;
  std::vector<Iface> interfaces;
};

Set* AsSet(HDEVINFO h) {
  auto* s = static_cast<Set*>(h);
  return (s && s != INVALID_HANDLE_VALUE && s->magic == 0x53455421) ? s : nullptr;
}

BOOL CopyText(const std::wstring& text, void* buffer, DWORD sizeInUnits, DWORD* required, DWORD unitSize) {
  DWORD need = static_cast<DWORD>(text.size() + 1);
  if (required) *required = need * (unitSize == 1 ? 2 : 1);
  DWORD capacity = unitSize == 1 ? sizeInUnits / 2 : sizeInUnits;
  if (!buffer || capacity < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, text.c_str(), need * sizeof(wchar_t));
  return TRUE;
}

}  // namespace

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID*, PCWSTR, HWND, DWORD flags) {
  auto* s = new Set;
  s->interfaces = Interfaces();
  return s;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
  Set* s = AsSet(h);
  if (!s) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  s->magic = 0;
  delete s;
  return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
  Set* s = AsSet(h);
  if (!s || !data || data->cbSize != vyra::abi::kSetupInterfaceDataSize) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index >= s->interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  data->Flags = SPINT_ACTIVE;
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                             DWORD* required, PSP_DEVINFO_DATA info) {
  Set* s = AsSet(h);
  if (!s || !data || data->Reserved >= s->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Iface& it = s->interfaces[data->Reserved];
  DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                  (it.devicePath.size() + 1) * sizeof(wchar_t));
  if (required) *required = need;
  if (!detail) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != vyra::abi::kSetupInterfaceDetailSize) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (size < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(detail->DevicePath, it.devicePath.c_str(), (it.devicePath.size() + 1) * sizeof(wchar_t));
  if (info) {
    if (info->cbSize != vyra::abi::kSetupDevInfoDataSize) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return FALSE;
    }
    info->DevInst = static_cast<DWORD>(data->Reserved);
  }
  return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO h, PSP_DEVINFO_DATA info, PWSTR buffer, DWORD size,
                                        DWORD* required) {
  Set* s = AsSet(h);
  if (!s || !info || info->DevInst >= s->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return CopyText(s->interfaces[info->DevInst].instanceId, buffer, size, required, 2);
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO h, PSP_DEVINFO_DATA info, DWORD property, DWORD* type,
                                              BYTE* buffer, DWORD size, DWORD* required) {
  Set* s = AsSet(h);
  if (!s || !info || info->DevInst >= s->interfaces.size()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::wstring text;
  switch (property) {
    case SPDRP_FRIENDLYNAME: text = L"USB Serial Port"; break;
    case SPDRP_MFG: text = L"FTDI"; break;
    case SPDRP_DEVICEDESC: text = L"USB Serial Port"; break;
    default: SetLastError(ERROR_INVALID_DATA); return FALSE;
  }
  if (type) *type = REG_SZ;
  return CopyText(text, buffer, size, required, 1);
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA info) {
  Set* s = AsSet(h);
  if (!s || !info || index >= s->interfaces.size()) {
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
  }
  info->DevInst = index;
  return TRUE;
}

}  // extern "C"
