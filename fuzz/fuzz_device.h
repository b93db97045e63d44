#pragma once
// Shared set-up for the fuzz targets: a device object whose port is a line that takes every
// command at once and never has bytes, so a target runs the protocol without a terminal and
// without the 20 ms a write to a closed handle waits out.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// A described, sampling device reused across inputs. Building one costs seven 128 KiB
// channel rings, far more than most inputs take to run; so the device is kept, and before
// each input everything an input can change is put back as DescribeAndSample left it. An
// input that changed the structure (channels, description, identity) retires the device,
// and the next input gets a fresh one.
class SamplingDevice {
 public:
  SamplingDevice(bool branded, bool timeColumn) : branded_(branded), timeColumn_(timeColumn) {}

  // The device, ready for the next input; null if describing it failed.
  DuraSerial* Next() {
    if (device_ && !Unchanged()) device_.reset();
    if (!device_) {
      device_ = MakeDevice(branded_);
      if (!DescribeAndSample(*device_, timeColumn_)) {
        device_.reset();
        return nullptr;
      }
      Remember();
    }
    Rewind();
    return device_.get();
  }

 private:
  struct Shape {
    std::vector<ChannelRecord*> channels;
    std::vector<bool> enabled;
    std::u16string names, units, maxima, minima;
    std::map<int32_t, int32_t> uploadRates;
    int32_t cuff = -1, vpr = -1;
    uint32_t parameterCount = 0;
    bool timeColumn = false, ready = false;
    std::string deviceName, version, level;
    bool operator==(const Shape&) const = default;
  };

  Shape Capture() const {
    DuraSerial& d = *device_;
    Shape s;
    for (int32_t i = 0; i < d.ChannelCount(); ++i) s.channels.push_back(d.Channel(i));
    for (ChannelRecord* c : s.channels) s.enabled.push_back(c->enabled.load());
    s.names = std::u16string(DuraSerialTestAccess::ChannelNamesLine(d).View());
    s.units = std::u16string(DuraSerialTestAccess::ChannelUnitsLine(d).View());
    s.maxima = std::u16string(DuraSerialTestAccess::ChannelMaximaLine(d).View());
    s.minima = std::u16string(DuraSerialTestAccess::ChannelMinimaLine(d).View());
    s.uploadRates = d.uploadRates;
    s.cuff = d.cuffChannel;
    s.vpr = d.vprChannel;
    s.parameterCount = d.parameterCount;
    s.timeColumn = d.hasTimeColumn;
    s.ready = d.ChannelsReady();
    s.deviceName = d.DeviceName();
    s.version = d.FirmwareVersion();
    s.level = d.FirmwareLevel();
    return s;
  }
  void Remember() {
    shape_ = Capture();
    uploadPeriod_ = device_->uploadPeriod;  // inputs may move it; put back, not compared
  }
  bool Unchanged() const { return Capture() == shape_; }
  // What a sampling device's inputs move: states, rings, waveform bookkeeping, flags, texts.
  void Rewind() {
    DuraSerial& d = *device_;
    d.acquisitionState = kSampling;
    d.listFollows = false;
    d.uploadPeriod = uploadPeriod_;
    for (ChannelRecord* c : shape_.channels) {
      c->writePosition = 0;
      c->readPosition = 0;
      c->lastValue = 0;
    }
    d.waveformSampleCount = 0;
    d.cycleStartSample = 0;
    d.sampleLineBacklog = 0;
    d.expectedWaveformValues = 0;
    d.waveformInProgress = false;
    d.lastWaveformTime = 0;
    d.cycleSeen = false;
    d.dataLineChannel = 0;
    d.firmwareMismatch = false;
    d.notResponding = false;
    d.deviceFailed = false;
    (void)d.TakeErrorText();
    DuraSerialTestAccess::LineBuffer(d).Clear();
  }

  const bool branded_, timeColumn_;
  std::unique_ptr<DuraSerial> device_;
  Shape shape_;
  int32_t uploadPeriod_ = 0;
};

// One reusable sampling device per kind (branded or not, time column or not).
inline DuraSerial* ReusedSamplingDevice(bool branded, bool timeColumn) {
  static SamplingDevice pool[2][2] = {{{false, false}, {false, true}}, {{true, false}, {true, true}}};
  return pool[branded][timeColumn].Next();
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
