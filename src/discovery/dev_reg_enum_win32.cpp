// The COM-port interface walk through SetupAPI, loaded at run time, and the port name from
// the registry.
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <vector>

#include "discovery/setupapi_walk.h"
#include "vyra/abi_sizes.h"
#include "platform/port_enum.h"

namespace vyra::plat {

namespace {

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCWSTR, HWND, DWORD);
using EnumInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
using InterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, PSP_DEVICE_INTERFACE_DETAIL_DATA_W, DWORD,
                                        PDWORD, PSP_DEVINFO_DATA);
using InstanceIdFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, PWSTR, DWORD, PDWORD);
using RegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
using DestroyListFn = BOOL(WINAPI*)(HDEVINFO);

// GUID_DEVINTERFACE_COMPORT
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr DWORD kPresentInterfaces = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;  // 0x12
static_assert(kPresentInterfaces == 0x12);

// The sizes SetupAPI checks in cbSize.
constexpr DWORD kInterfaceDataSize = abi::kSetupInterfaceDataSize;
constexpr DWORD kDetailFixedSize = abi::kSetupInterfaceDetailSize;
constexpr DWORD kDevInfoDataSize = abi::kSetupDevInfoDataSize;
static_assert(kInterfaceDataSize == sizeof(SP_DEVICE_INTERFACE_DATA));
static_assert(kDetailFixedSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
static_assert(kDevInfoDataSize == sizeof(SP_DEVINFO_DATA));

// Loaded during static initialisation, released at static termination.
struct SetupApiLibrary {
  int loadCount = 0;
  HMODULE module = nullptr;
  discovery::SetupApiSymbols symbols{};

  SetupApiLibrary() {
    if (loadCount++ > 0) return;
    module = LoadLibraryW(L"SETUPAPI.DLL");
    if (!module) {
      loadCount = 0;
      return;
    }
    bool complete = discovery::ResolveSetupApi(
        [this](const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); }, symbols);
    if (!complete) {
      FreeLibrary(module);
      module = nullptr;
      symbols.fill(nullptr);
      loadCount = 0;
    }
  }
  ~SetupApiLibrary() {
    if (loadCount > 0 && --loadCount == 0) {
      FreeLibrary(module);
      module = nullptr;
    }
  }
  bool Usable() const {
    return loadCount > 0 && module && symbols[discovery::kEnumInterfaces] && symbols[discovery::kInterfaceDetail] &&
           symbols[discovery::kInstanceId];
  }
  template <class Fn>
  Fn Get(discovery::SetupApiSlot slot) const {
    return Usable() ? reinterpret_cast<Fn>(symbols[slot]) : nullptr;
  }
};

SetupApiLibrary setupApi;

// Process-wide: one enumerator at a time uses it.
HDEVINFO deviceInfoSet = INVALID_HANDLE_VALUE;

bool OpenSet() {
  if (deviceInfoSet != INVALID_HANDLE_VALUE) return false;
  auto getClassDevs = setupApi.Get<GetClassDevsFn>(discovery::kGetClassDevs);
  if (!getClassDevs) return false;
  HDEVINFO set = getClassDevs(&kComPortInterface, nullptr, nullptr, kPresentInterfaces);
  if (set == INVALID_HANDLE_VALUE) return false;
  deviceInfoSet = set;
  return true;
}

void DestroySet() {
  if (deviceInfoSet == INVALID_HANDLE_VALUE) return;
  if (auto destroy = setupApi.Get<DestroyListFn>(discovery::kDestroyList)) destroy(deviceInfoSet);
  deviceInfoSet = INVALID_HANDLE_VALUE;
}

// The call table the shared walk steps run over.
struct SetupApiCalls {
  static constexpr size_t kDetailPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  SP_DEVINFO_DATA devInfo{};

  bool EnumInterface(uint32_t index) {
    auto fn = setupApi.Get<EnumInterfacesFn>(discovery::kEnumInterfaces);
    if (!fn) return false;
    interfaceData = {};
    interfaceData.cbSize = kInterfaceDataSize;
    return fn(deviceInfoSet, nullptr, &kComPortInterface, index, &interfaceData) != FALSE;
  }
  bool InterfaceDetail(unsigned char* detail, uint32_t size, uint32_t* required) {
    auto fn = setupApi.Get<InterfaceDetailFn>(discovery::kInterfaceDetail);
    if (!fn) return false;
    DWORD needed = 0;
    BOOL ok;
    if (!detail) {
      ok = fn(deviceInfoSet, &interfaceData, nullptr, 0, &needed, nullptr);
    } else {
      auto* data = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(detail);
      data->cbSize = kDetailFixedSize;
      devInfo = {};
      devInfo.cbSize = kDevInfoDataSize;
      ok = fn(deviceInfoSet, &interfaceData, data, size, &needed, &devInfo);
    }
    if (required) *required = needed;
    return ok != FALSE;
  }
  bool InstanceId(char16_t* buffer, uint32_t units, uint32_t* required) {
    auto fn = setupApi.Get<InstanceIdFn>(discovery::kInstanceId);
    if (!fn) return false;
    DWORD needed = 0;
    BOOL ok = fn(deviceInfoSet, &devInfo, reinterpret_cast<PWSTR>(buffer), units, &needed);
    if (required) *required = needed;
    return ok != FALSE;
  }
  bool Property(uint32_t property, unsigned char* buffer, uint32_t size, uint32_t* required, uint32_t* error) {
    auto fn = setupApi.Get<RegistryPropertyFn>(discovery::kRegistryProperty);
    if (!fn) {
      *error = ERROR_INVALID_FUNCTION;
      return false;
    }
    DWORD type = 0;
    DWORD needed = 0;
    BOOL ok = fn(deviceInfoSet, &devInfo, property, &type, buffer, size, &needed);
    *error = ok ? 0 : GetLastError();
    if (required) *required = needed;
    return ok != FALSE;
  }
};

}  // namespace

struct DevRegEnum::Backend {};

DevRegEnum::DevRegEnum() {
  if (OpenSet()) nextIndex = 0;
}

DevRegEnum::~DevRegEnum() { DestroySet(); }

void DevRegEnum::CloseSet() { DestroySet(); }

bool DevRegEnum::LoadItem(int32_t index) {
  if (deviceInfoSet == INVALID_HANDLE_VALUE) OpenSet();
  SetupApiCalls calls;
  discovery::DevRegItem item{{}, {}, manufacturer, friendlyName, deviceDescription};
  bool loaded = discovery::LoadDevRegItem(calls, static_cast<uint32_t>(index), item);
  devicePath = std::move(item.devicePath);
  instanceId = std::move(item.instanceId);
  manufacturer = std::move(item.manufacturer);
  friendlyName = std::move(item.friendlyName);
  deviceDescription = std::move(item.deviceDescription);
  return loaded;
}

std::u16string ReadPortName(std::u16string_view instanceId) {
  std::wstring keyName = L"System\\CurrentControlSet\\Enum\\";
  keyName.append(reinterpret_cast<const wchar_t*>(instanceId.data()), instanceId.size());
  keyName += L"\\Device Parameters";
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::u16string name;
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, L"PortName", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    std::vector<unsigned char> data(static_cast<size_t>(size) + 2, 0);
    DWORD got = size;
    if (RegQueryValueExW(key, L"PortName", nullptr, &type, data.data(), &got) == ERROR_SUCCESS)
      name = discovery::TextFromBytes(data.data(), std::min<size_t>(got, size) + 2);
  }
  RegCloseKey(key);
  return name;
}

}  // namespace vyra::plat
