#pragma once
// Shared harness of the fuzz targets: a protocol core whose Output checks everything the
// core hands out, a scripted handshake that walks it into any acquisition state, and a
// reader of the fuzz input. A violated invariant traps, so libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/core.h"

namespace vyra::fuzz {

[[noreturn]] inline void Fail() { __builtin_trap(); }

// Every value the acquisition state takes.
inline constexpr int32_t kStates[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18, 19, 20};

inline bool IsState(int32_t s) { return std::find(std::begin(kStates), std::end(kStates), s) != std::end(kStates); }

class Core : private ProtocolCore::Output {
 public:
  explicit Core(bool branded) : core_(branded, *this) {}

  // One reply at the current time; the status and the state it leaves are checked.
  HResult Line(std::string_view reply) {
    const HResult hr = core_.HandleLine(reply, nowMs);
    if (hr != kS_OK && hr != kE_FAIL) Fail();
    Check();
    return hr;
  }
  void Check() const {
    if (!IsState(core_.State())) Fail();
    if (!core_.ChannelsReady()) return;
    const auto n = static_cast<int32_t>(core_.Channels().size());
    for (int32_t c : {core_.CuffChannel(), core_.VprChannel()})
      if (c < -1 || c >= n || (core_.Branded() && c < 0)) Fail();
  }

  // The handshake a monitor answers with these five channels, optionally behind a time
  // column, run until the core is in `target` (through sampling and its stop, for the
  // states after it); a state this kind of device never takes ends the walk at kReady.
  void DriveTo(int32_t target, bool timeColumn) {
    const bool b = core_.Branded();
    const std::string t = timeColumn ? "Time," : "", t1 = timeColumn ? "1000," : "", t0 = timeColumn ? "0," : "";
    const std::string s = timeColumn ? "s," : "";
    const std::string steps[] = {
        "!begin", "S", b ? "WN5" : "", b ? "V,1,0,0,1,VYRA,0,BVL" : "V,1,0,0,1,Monitor", b ? "ACK" : "", "F",
        t + "systol,diasto,mean B,HR,volume", "0.005,0.01,0.02,0.05,0.1,EndOfCycle", "U", "I",
        t + "systol,diasto,mean B,HR,volume", s + "mmHg,mmHg,mmHg,bpm,uliters", t1 + "300,300,300,900,500.0",
        t0 + "0,0,0,0,0", "!start", b ? "WI5,1,200,20,2,300,0,0,0,0,0,0" : "", "B", b ? "WA5" : "", "!stop",
        b ? "WN5" : "", "S"};
    for (const std::string& step : steps) {
      if (core_.State() == target) return;
      if (step == "!begin") {
        core_.BeginHandshake();
      } else if (step == "!start") {
        core_.StartSampling();
      } else if (step == "!stop") {
        core_.StopSampling();
      } else if (!step.empty()) {
        Line(step);
      }
      Check();
    }
  }

  // A stored value lies between the stored ends of the channel's range (either way round:
  // the description may give a minimum above the maximum).
  static bool WithinRange(const ChannelInfo& c, int32_t value) {
    const int32_t a = c.Store(c.minimum), b = c.Store(c.maximum);
    return value >= std::min(a, b) && value <= std::max(a, b);
  }

  ProtocolCore& operator*() { return core_; }
  ProtocolCore* operator->() { return &core_; }

  int64_t nowMs = 0;
  uint64_t commands = 0;

 private:
  void Send(std::string_view command) override {
    // A line break inside a command would end its frame early.
    if (command.empty() || command.find_first_of("\r\n") != std::string_view::npos) Fail();
    ++commands;
  }
  void ChannelsBuilt() override {
    if (built_ || !core_.ChannelsReady()) Fail();  // the list is built once
    built_ = true;
  }
  void Value(int32_t channel, int32_t value) override {
    if (!built_ || channel < 0 || static_cast<size_t>(channel) >= core_.Channels().size()) Fail();
    if (!WithinRange(core_.Channels()[static_cast<size_t>(channel)], value)) Fail();
  }
  void Comment(int64_t, const BVL::String&) override {
    if (!built_ || core_.VprChannel() < 0) Fail();  // comments go on the VPR channel only
  }
  void Note(std::string_view, const BVL::String&) override {}

  bool built_ = false;
  ProtocolCore core_;
};

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
    n = std::min(n, Left());
    std::string_view piece(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return piece;
  }
  std::string_view Rest() { return Take(Left()); }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

}  // namespace vyra::fuzz
