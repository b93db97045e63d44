#pragma once
// A device object with its port closed, described and given channels directly, with waits
// that give up at once, for the host-side tests.
#include <memory>
#include <string>
#include <vector>

#include "protocol/channel_record.h"
#include "serial/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra::hostcmd_test {

inline std::unique_ptr<DuraSerial> MakeDevice(bool branded = false, std::u16string path = u"\\\\.\\BVLVYRA0042") {
  auto d = std::make_unique<DuraSerial>(std::move(path), branded ? u"FTDIBUS\\BVLVYRA0042A" : u"FTDIBUS\\DURA0042A");
  d->timing.descriptionLimitMs = 0;
  d->timing.samplingLimitMs = 0;
  return d;
}

inline void Describe(DuraSerial& d) {
  DuraSerialTestAccess::SetDescription(d, u"Alpha,Beta,Gamma", u"u,u,u", u"100,100,100", u"0,0,0");
}

inline ChannelRecord& AddChannel(DuraSerial& d, const std::string& name) {
  d.channels.push_back(std::make_unique<ChannelRecord>(20000, 0, name, 100.0, 0.0, "u"));
  return *d.channels.back();
}

inline void AddChannels(DuraSerial& d, const std::vector<std::string>& names) {
  for (const auto& n : names) AddChannel(d, n);
  d.channelsReady.store(true, std::memory_order_release);
}

// Producer side of the ring as the reader thread drives it.
inline void Push(ChannelRecord& ch, int32_t value) {
  const int32_t w = ch.writePosition.load(std::memory_order_relaxed);
  ch.samples[w & ChannelRecord::kRingMask] = value;
  ch.writePosition.store((w + 1) & ChannelRecord::kRingMask, std::memory_order_release);
}

}  // namespace vyra::hostcmd_test
