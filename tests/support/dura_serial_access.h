#pragma once
// The one test-side window onto a device object's protected texts. Shared by every test
// file (one definition for the whole test binary).
#include "serial/dura_serial.h"

namespace vyra {

class DuraSerialTestAccess {
 public:
  static void SetDescription(DuraSerial& d, const char16_t* names, const char16_t* units, const char16_t* maxima,
                             const char16_t* minima) {
    std::lock_guard l(d.textMutex);
    d.channelNamesLine = names;
    d.channelUnitsLine = units;
    d.channelMaximaLine = maxima;
    d.channelMinimaLine = minima;
  }
  static void SetIdentity(DuraSerial& d, std::string name, std::string version, std::string level) {
    std::lock_guard l(d.textMutex);
    d.deviceName = std::move(name);
    d.firmwareVersion = std::move(version);
    d.firmwareLevel = std::move(level);
  }
  static BVL::String ChannelNamesLine(DuraSerial& d) { std::lock_guard l(d.textMutex); return d.channelNamesLine; }
  static BVL::String ChannelUnitsLine(DuraSerial& d) { std::lock_guard l(d.textMutex); return d.channelUnitsLine; }
  static BVL::String ChannelMaximaLine(DuraSerial& d) { std::lock_guard l(d.textMutex); return d.channelMaximaLine; }
  static BVL::String ChannelMinimaLine(DuraSerial& d) { std::lock_guard l(d.textMutex); return d.channelMinimaLine; }
  static ReceiveRing& LineBuffer(DuraSerial& d) { return d.lineBuffer; }
  // Puts a line of the caller's in place of the port (commands then go to it, not to a
  // closed handle that waits out its 20 ms).
  static void InstallLine(DuraSerial& d, std::shared_ptr<plat::SerialPort> line) { d.port = std::move(line); }
};

}  // namespace vyra
