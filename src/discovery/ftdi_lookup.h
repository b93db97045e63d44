#pragma once
// The D2XX search for the FTDI device on a given COM port, written against a small call
// table so the same steps run over the real library and over test doubles.
//
// Api provides:
//   bool Usable() const;            library loaded and no failure flag set
//   void MarkUnusable();            sets driverUnusable
//   uint32_t Open(int32_t deviceNumber, void** handle);
//   uint32_t GetDeviceInfo(void* handle, char serial[16]);
//   uint32_t GetComPortNumber(void* handle, int32_t* portNumber);
//   void Close(void* handle);
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

namespace vyra::discovery {

inline constexpr uint32_t kFtOk = 0;

inline std::u16string LowerAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return out;
}

// "com" and the port number; no number for a device without a COM port (-1).
inline std::u16string FtdiPortName(int32_t portNumber) {
  std::u16string name = u"com";
  if (portNumber != -1)
    for (char c : std::to_string(portNumber)) name += static_cast<char16_t>(c);
  return name;
}

template <class Api>
bool FindFtdiSerialWith(Api& api, std::u16string_view portName, std::u16string& serial) {
  if (!api.Usable() || portName.empty()) return false;
  const std::u16string wanted = LowerAscii(portName);
  // Every entry point is checked for before it is called: the library may have been found
  // unusable meanwhile.
  auto stillUsable = [&api] {
    if (api.Usable()) return true;
    api.MarkUnusable();
    return false;
  };
  for (int32_t k = 0; k < std::numeric_limits<int32_t>::max(); ++k) {
    if (!stillUsable()) return false;
    void* handle = nullptr;
    if (api.Open(k, &handle) != kFtOk) return false;  // past the last device, or one held open
    // A handle that was opened is closed on every path while the library can still do it.
    auto closeIfUsable = [&] {
      if (stillUsable()) api.Close(handle);
    };
    if (!stillUsable()) return false;
    char number[16] = {};
    if (api.GetDeviceInfo(handle, number) != kFtOk) {
      closeIfUsable();
      return false;
    }
    number[sizeof number - 1] = 0;  // at most 15 characters, even from a careless driver
    if (!stillUsable()) return false;
    int32_t portNumber = -1;
    if (api.GetComPortNumber(handle, &portNumber) != kFtOk) {
      closeIfUsable();
      return false;
    }
    closeIfUsable();
    if (FtdiPortName(portNumber) == wanted) {
      serial.clear();
      for (size_t i = 0; number[i]; ++i) serial += static_cast<char16_t>(static_cast<unsigned char>(number[i]));
      return true;
    }
  }
  return false;
}

}  // namespace vyra::discovery
