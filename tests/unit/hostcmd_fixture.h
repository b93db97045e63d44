#pragma once
// Devices for the host-side tests, described and started through the reply protocol as the
// reader thread would drive them, on a line that takes every command, with waits that give
// up at once.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/dura_serial.h"
#include "hostcmd/host_commands.h"
#include "support/dura_serial_access.h"

namespace vyra::hostcmd_test {

inline std::unique_ptr<DuraSerial> MakeDevice(bool branded = false, std::u16string path = u"\\\\.\\BVLVYRA0042") {
  auto d = std::make_unique<DuraSerial>(std::move(path), branded ? u"FTDIBUS\\BVLVYRA0042A" : u"FTDIBUS\\DURA0042A");
  DuraSerialTestAccess::AcceptCommands(*d);
  d->timing.descriptionLimitMs = 0;
  d->timing.samplingLimitMs = 0;
  d->timing.closeSettleMs = 0;
  return d;
}

// One reply as the reader thread hands it over.
inline void Reply(DuraSerial& d, std::string_view line) { d.HandleReply(line.data(), static_cast<int>(line.size())); }

// One channel per name, unit "u", range 0..100.
inline void DescribeChannels(DuraSerial& d, const std::vector<std::string>& names) {
  std::string n, u, maxima, minima;
  for (const std::string& name : names) {
    const char* comma = n.empty() ? "" : ",";
    n += comma + name;
    u += comma + std::string("u");
    maxima += comma + std::string("100");
    minima += comma + std::string("0");
  }
  Describe(d, n, u, maxima, minima);
}

// The host's start and the echoes that complete it.
inline void Sample(DuraSerial& d) {
  d.StartSampling();
  if (d.isBranded) Reply(d, "WI5,0,100,0,0,0,0,0,0,0,0,0");
  Reply(d, "B");
  if (d.isBranded) Reply(d, "WA5");
}

}  // namespace vyra::hostcmd_test
