#pragma once
// Shared set-up for the fuzz targets: a device object whose port is a line that takes every
// command at once and never has bytes, so a target runs the protocol without a terminal and
// without the 20 ms a write to a closed handle waits out.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/serial_port.h"
#include "serial/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra::fuzz {

class NullLine : public plat::SerialPort {
 public:
  bool Configure(int, int) override { return true; }
  bool Write(const void*, size_t) override { return true; }
  WaitResult WaitReadable(plat::Event&, int) override { return WaitResult::Timeout; }
  long ReadQueued(void*, size_t) override { return 0; }
};

inline std::unique_ptr<DuraSerial> MakeDevice(bool branded) {
  auto d = std::make_unique<DuraSerial>(u"/dev/fuzz-vyra", branded ? u"FTDIBUS\\BVLVYRA0042A" : u"FTDIBUS\\Z8000042A");
  DuraSerialTestAccess::InstallLine(*d, std::make_shared<NullLine>());
  d->timing = {0, 0, 0, 0, 0};
  return d;
}

inline int32_t Feed(DuraSerial& d, std::string_view line) {
  return d.HandleReply(line.data(), static_cast<int>(line.size()));
}

// Describes the device through the reply protocol (state 8 onwards) with the channel set a
// VYRA sends, optionally behind a time column, and leaves it sampling.
inline bool DescribeAndSample(DuraSerial& d, bool timeColumn) {
  d.acquisitionState = kAwaitChannelNames;
  Feed(d, "I");
  Feed(d, timeColumn ? "Time,systol,diasto,mean B,HR,volume" : "systol,diasto,mean B,HR,volume");
  Feed(d, timeColumn ? "s,mmHg,mmHg,mmHg,bpm,uliters" : "mmHg,mmHg,mmHg,bpm,uliters");
  Feed(d, timeColumn ? "1000,300,300,300,900,500.0" : "300,300,300,900,500.0");
  Feed(d, timeColumn ? "0,0,0,0,0,0" : "0,0,0,0,0");
  if (d.acquisitionState != kReady) return false;
  d.parameterCount = timeColumn ? 6 : 5;
  d.acquisitionState = kSampling;
  return true;
}

// Reads the fuzz input front to back.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool Empty() const { return p_ == end_; }
  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
  // Up to the next `separator` (consumed, not returned) or the end.
  std::string_view Until(char separator) {
    const uint8_t* start = p_;
    while (p_ != end_ && *p_ != static_cast<uint8_t>(separator)) ++p_;
    std::string_view piece(reinterpret_cast<const char*>(start), static_cast<size_t>(p_ - start));
    if (p_ != end_) ++p_;
    return piece;
  }
  std::string_view Take(size_t n) {
    if (n > Left()) n = Left();
    std::string_view piece(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return piece;
  }
  std::string_view Rest() { return Take(Left()); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// Every value the acquisition state takes.
inline constexpr int32_t kStates[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 20};

}  // namespace vyra::fuzz
