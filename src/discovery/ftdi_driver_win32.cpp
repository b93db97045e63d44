// The FTDI D2XX library, loaded from the system folder only.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "discovery/ftdi_lookup.h"
#include "platform/ftdi_driver.h"

namespace vyra::plat {

namespace {
using FtHandle = void*;
using FtStatus = ULONG;
using FtOpenFn = FtStatus(WINAPI*)(int deviceNumber, FtHandle* handle);
using FtGetDeviceInfoFn = FtStatus(WINAPI*)(FtHandle handle, ULONG* type, DWORD* id, char* serial, char* description,
                                            void* reserved);
using FtGetComPortNumberFn = FtStatus(WINAPI*)(FtHandle handle, LONG* portNumber);
using FtCloseFn = FtStatus(WINAPI*)(FtHandle handle);
}  // namespace

struct FtdiDriver::Backend {
  HMODULE library = nullptr;
  FtOpenFn open = nullptr;
  FtGetDeviceInfoFn getDeviceInfo = nullptr;
  FtGetComPortNumberFn getComPortNumber = nullptr;
  FtCloseFn close = nullptr;
};

FtdiDriver::FtdiDriver() : backend_(std::make_unique<Backend>()) {
  Backend& b = *backend_;
  wchar_t path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, path)) &&
      PathAppendW(path, L"ftd2xx.dll"))
    b.library = LoadLibraryW(path);
  if (!b.library) {
    driverMissing = true;
    return;
  }
  auto resolve = [&b](const char* name) { return reinterpret_cast<void*>(GetProcAddress(b.library, name)); };
  void* p;
  if ((p = resolve("FT_Open"))) b.open = reinterpret_cast<FtOpenFn>(p);
  if (p && (p = resolve("FT_GetDeviceInfo"))) b.getDeviceInfo = reinterpret_cast<FtGetDeviceInfoFn>(p);
  if (p && (p = resolve("FT_GetComPortNumber"))) b.getComPortNumber = reinterpret_cast<FtGetComPortNumberFn>(p);
  if (p && (p = resolve("FT_Close"))) b.close = reinterpret_cast<FtCloseFn>(p);
  if (!p) {
    driverUnusable = true;
    FreeLibrary(b.library);
    b.library = nullptr;
  }
}

FtdiDriver::~FtdiDriver() {
  if (backend_->library) FreeLibrary(backend_->library);
}

bool FtdiDriver::IsUsable() const { return backend_->library && !driverMissing && !driverUnusable; }

bool FtdiDriver::FindFtdiSerial(std::u16string_view portName, std::u16string& serial) {
  struct Calls {
    FtdiDriver& record;
    Backend& b;
    bool Usable() const { return record.IsUsable(); }
    void MarkUnusable() { record.driverUnusable = true; }
    uint32_t Open(int32_t k, void** handle) { return b.open(k, handle); }
    uint32_t GetDeviceInfo(void* handle, char* number) {
      ULONG type = 0;
      DWORD id = 0;
      char description[64] = {};
      return b.getDeviceInfo(handle, &type, &id, number, description, nullptr);
    }
    uint32_t GetComPortNumber(void* handle, int32_t* portNumber) {
      LONG n = -1;
      FtStatus status = b.getComPortNumber(handle, &n);
      *portNumber = static_cast<int32_t>(n);
      return status;
    }
    void Close(void* handle) { b.close(handle); }
  } calls{*this, *backend_};
  return discovery::FindFtdiSerialWith(calls, portName, serial);
}

}  // namespace vyra::plat
