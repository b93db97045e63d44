#pragma once
// Drives a device object from a trace on the calling thread: no port, no reader thread.
// Every outcome is written as a trace event, so a recording and its replay compare line by line.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostcmd/host_command_record.h"
#include "serial/dura_serial.h"
#include "serial/receive_ring.h"
#include "support/dura_serial_access.h"
#include "support/golden_trace.h"

namespace vyra::trace {

inline int64_t& TraceNow() {
  static int64_t now = 0;
  return now;
}

class TraceDevice {
 public:
  // `send` sees each framed command (the recorder writes it to the monitor).
  TraceDevice(const std::u16string& identifier, std::function<void(std::string_view)> send = {})
      : device_(u"/dev/ttyUSB0", identifier), send_(std::move(send)) {
    device_.clock = [] { return TraceNow(); };
    device_.commandObserver = [this](std::string_view frame) {
      Emit('>', Escape(frame));
      if (send_) send_(frame);
    };
    device_.commentObserver = [this](int32_t samples, const BVL::String& text) {
      BVL::String copy = text;
      Emit('#', std::to_string(samples) + " " + Escape(copy.NarrowText()));
    };
  }

  void Input(int64_t ms, std::string_view bytes) {
    TraceNow() = now_ = ms;
    ReceiveRing& ring = DuraSerialTestAccess::LineBuffer(device_);
    size_t done = 0;
    while (done < bytes.size()) {
      // The reader takes what the ring can hold and cuts before reading on.
      const int n = ring.Append(bytes.data() + done, static_cast<int>(bytes.size() - done));
      done += static_cast<size_t>(n);
      CutLines(ring, scratch_, [this](const char* b, int len) -> int32_t {
        const int32_t status = device_.HandleReply(b, len);
        Observe();
        return status;
      });
      if (n == 0 && ring.Free() == 0) break;  // cannot happen: cutting frees a full ring
    }
  }

  // Returns false for an action it does not know.
  bool Host(int64_t ms, const std::string& action) {
    TraceNow() = now_ = ms;
    if (action == "init" || action.rfind("init ", 0) == 0) {
      device_.acquisitionState.store(kAwaitStart);
      device_.SendCommand("S");
    } else if (action == "start") {
      device_.StartSampling();
    } else if (action == "stop") {
      device_.StopSampling();
    } else if (action == "close") {
      device_.SendCommand("X");
    } else if (action.rfind("period ", 0) == 0) {
      HostCommandRecord r{};
      r.argument = std::stoi(action.substr(7));
      device_.timing.descriptionLimitMs = 0;
      device_.RunHostCommand(35, &r);
    } else {
      return false;
    }
    Observe();
    return true;
  }

  int32_t State() const { return device_.acquisitionState.load(); }
  const std::vector<Event>& Outcomes() const { return events_; }
  DuraSerial& Device() { return device_; }

 private:
  void Emit(char kind, std::string payload) { events_.push_back(Event{now_, kind, std::move(payload)}); }

  static std::string Number(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
  }

  void Observe() {
    const int32_t state = device_.acquisitionState.load();
    if (state != state_) Emit('=', std::to_string(state_ = state));
    std::string identity = device_.DeviceName() + "|" + device_.FirmwareVersion() + "|" + device_.FirmwareLevel();
    if (identity != identity_ && identity != "||") Emit('i', Escape(identity_ = identity));
    std::string error = device_.ErrorText().NarrowText();
    if (error != error_) Emit('e', Escape(error_ = error));
    if (!channelsSeen_ && device_.ChannelsReady()) {
      channelsSeen_ = true;
      for (int32_t i = 0; i < device_.ChannelCount(); ++i) {
        const ChannelRecord& c = *device_.Channel(i);
        Emit('c', std::to_string(i + 1) + " " +
                      Escape(c.name + "|" + c.title + "|" + Number(c.maximum) + "|" + Number(c.minimum) + "|" +
                             std::to_string(c.decimalExponent) + "|" + std::to_string(c.samplePeriod) + "|" +
                             c.gainListText + "|" + c.baseScalingText));
      }
    }
    for (int32_t i = 0; i < device_.ChannelCount(); ++i) {
      ChannelRecord& c = *device_.Channel(i);
      if (c.Buffered() == 0) continue;
      std::string values = std::to_string(i + 1);
      while (c.Buffered() > 0) {
        values += "," + std::to_string(c.Front());
        c.PopFront();
      }
      Emit('+', values);
    }
  }

  DuraSerial device_;
  std::function<void(std::string_view)> send_;
  char scratch_[ReceiveRing::kSize];
  std::vector<Event> events_;
  int64_t now_ = 0;
  int32_t state_ = kCreated;
  std::string identity_ = "||", error_;
  bool channelsSeen_ = false;
};

}  // namespace vyra::trace
