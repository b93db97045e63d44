// Test double of the FTDI D2XX library for the Wine stage. Its devices come from
// VYRA_FTDI_DEVICES ("SERIAL=PORT;SERIAL=PORT", PORT a COM number or -1). Each open and
// close is appended to the file named by VYRA_FTDI_TRACE so a test can check that every
// handle was closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "env_pairs.h"

namespace {

struct Device {
  std::string serial;
  long port;
};

std::vector<Device> Devices() {
  std::vector<Device> list;
  for (const auto& [serial, port] : EnvPairs("VYRA_FTDI_DEVICES", '='))
    list.push_back({serial, std::strtol(port.c_str(), nullptr, 10)});
  return list;
}

void Trace(const char* what, int k) {
  const char* path = std::getenv("VYRA_FTDI_TRACE");
  if (!path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s %d\n", what, k);
    std::fclose(f);
  }
}

struct Handle {
  int number;
};

}  // namespace

extern "C" {

ULONG WINAPI FT_Open(int number, void** handle) {
  auto list = Devices();
  if (number < 0 || static_cast<size_t>(number) >= list.size() || !handle) return 2;  // FT_DEVICE_NOT_FOUND
  *handle = new Handle{number};
  Trace("open", number);
  return 0;
}

ULONG WINAPI FT_GetDeviceInfo(void* handle, ULONG* type, DWORD* id, char* serial,
                                                    char* description, void*) {
  auto* h = static_cast<Handle*>(handle);
  auto list = Devices();
  if (!h || static_cast<size_t>(h->number) >= list.size()) return 1;  // FT_INVALID_HANDLE
  if (type) *type = 5;
  if (id) *id = 0x04036001;
  if (serial) {
    std::strncpy(serial, list[h->number].serial.c_str(), 15);
    serial[15] = 0;
  }
  if (description) std::strcpy(description, "FT232R USB UART");
  return 0;
}

ULONG WINAPI FT_GetComPortNumber(void* handle, LONG* port) {
  auto* h = static_cast<Handle*>(handle);
  auto list = Devices();
  if (!h || static_cast<size_t>(h->number) >= list.size() || !port) return 1;
  *port = list[h->number].port;
  return 0;
}

ULONG WINAPI FT_Close(void* handle) {
  auto* h = static_cast<Handle*>(handle);
  if (!h) return 1;
  Trace("close", h->number);
  delete h;
  return 0;
}

}  // extern "C"
