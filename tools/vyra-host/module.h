#pragma once
// The plug-in seen from the host's side: loaded by path and driven only through its exports.
#include <cstdint>
#include <string>

namespace vyra::host {

// The host's command record for DeviceCommand: six 32-bit words on the 32-bit host; native
// builds keep the field order with a native pointer.
struct CommandRecord {
  char* text = nullptr;
  uint32_t textSize = 0;
  int32_t reserved0 = 0;
  int32_t argument = 0;
  int32_t reserved1 = 0;
  int32_t value = 0;
};

#if defined(_WIN32)
#define VYRA_HOST_CDECL __cdecl
#else
#define VYRA_HOST_CDECL
#endif

struct Exports {
  int(VYRA_HOST_CDECL* GetDeviceClassInfo)(void*) = nullptr;
  int(VYRA_HOST_CDECL* FindDevice)(int*, const char*) = nullptr;
  int(VYRA_HOST_CDECL* Initialise)(int) = nullptr;
  int(VYRA_HOST_CDECL* CloseAll)() = nullptr;
  int(VYRA_HOST_CDECL* IsFailed)(int) = nullptr;
  int(VYRA_HOST_CDECL* CanUseBaudRate)(int, int) = nullptr;
  int(VYRA_HOST_CDECL* SetBaudRate)(int, int) = nullptr;
  int(VYRA_HOST_CDECL* GetBaudRate)(int) = nullptr;
  int(VYRA_HOST_CDECL* ReadLine)(int, char*, int, int) = nullptr;
  int(VYRA_HOST_CDECL* WriteBuffer)() = nullptr;
  int(VYRA_HOST_CDECL* ReadBuffer)() = nullptr;
  int(VYRA_HOST_CDECL* ReadBuffSize)() = nullptr;
  void(VYRA_HOST_CDECL* FlushReadBuffer)(int) = nullptr;
  int(VYRA_HOST_CDECL* GetUniqueID)(int, int*) = nullptr;
  int(VYRA_HOST_CDECL* DeviceCommand)(int, int, void*) = nullptr;
  int(VYRA_HOST_CDECL* GetLastErrorMsg)(int, char*) = nullptr;
  uint32_t(VYRA_HOST_CDECL* InitOnMainThread)() = nullptr;
  int(VYRA_HOST_CDECL* SetControllingProxy)(int, void*) = nullptr;
};

// Device command codes the host uses.
enum Code : int {
  kDeviceName = 0,
  kManufacturer = 2,
  kFirmware = 3,
  kSerialNumber = 4,
  kChannelCount = 11,
  kChannelName = 21,
  kBaseScaling = 30,
  kUploadPeriod = 31,
  kSetUploadPeriod = 35,
  kStartSampling = 37,
  kStopSampling = 38,
  kChannelEnabled = 43,
};

class Module {
 public:
  Module() = default;
  ~Module();  // leaves the library loaded (see module.cpp); call CloseAll first
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // Loads the library and resolves every export. On failure returns false and sets `error`
  // to a message a person can act on (the loader's own text included).
  bool Load(const std::string& path, std::string& error);
  const Exports& x() const { return x_; }

  // GetLastErrorMsg as text: index -1 for "why nothing was found", a device index for the
  // one-shot message the device left. Empty when there is none.
  std::string LastError(int index) const;

  // A text command: true and the answer in `text` when the device took the command.
  bool Text(int index, int code, int argument, std::string& text) const;
  // A numeric command: true and the answer in `value`.
  bool Number(int index, int code, int argument, int32_t& value) const;
  // A command answered only by its result.
  bool Run(int index, int code, int argument) const;

 private:
  void* handle_ = nullptr;
  Exports x_;
};

// The module built with this tool, or one beside the executable.
std::string DefaultModulePath();

}  // namespace vyra::host
