#pragma once
// Drives the protocol core from a trace on the calling thread: no port, no reader thread, no
// device. Every outcome is written as a trace event, so a recording and its replay compare
// line by line.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "protocol/core.h"
#include "serial/receive_buffer.h"
#include "trace_file.h"

namespace vyra::trace {

class TraceDevice : private ProtocolCore::Output {
 public:
  // `send` sees each framed command (the recorder writes it to the monitor).
  TraceDevice(const std::u16string& identifier, std::function<void(std::string_view)> send = {})
      : core_(identifier.find(u"BVLVYRA") != std::u16string::npos, *this), send_(std::move(send)) {}

  void Input(int64_t ms, std::string_view bytes) {
    now_ = ms;
    size_t done = 0;
    while (done < bytes.size()) {
      // The reader takes what the buffer can hold and cuts before reading on.
      const int n = received_.Append(bytes.data() + done, static_cast<int>(bytes.size() - done));
      done += static_cast<size_t>(n);
      CutLines(received_, [this](const char* b, int len) -> int32_t {
        const int32_t status = core_.HandleLine(std::string_view(b, static_cast<size_t>(len)), now_);
        Observe();
        return status;
      });
      if (n == 0 && received_.Free() == 0) break;  // cannot happen: cutting frees a full buffer
    }
  }

  // Returns false for an action it does not know.
  bool Host(int64_t ms, const std::string& action) {
    now_ = ms;
    if (action == "init" || action.rfind("init ", 0) == 0) {
      core_.BeginHandshake();
    } else if (action == "start") {
      core_.StartSampling();
    } else if (action == "stop") {
      core_.StopSampling();
    } else if (action == "close") {
      Frame("X");  // the device's own end command, not the protocol's
    } else if (action.rfind("period ", 0) == 0) {
      core_.SelectPeriod(std::stoi(action.substr(7)));
    } else {
      return false;
    }
    Observe();
    return true;
  }

  int32_t State() const { return core_.State(); }
  const std::vector<Event>& Outcomes() const { return events_; }
  ProtocolCore& Core() { return core_; }

 private:
  void Send(std::string_view command) override { Frame(command); }
  void ChannelsBuilt() override { pending_.assign(core_.Channels().size(), {}); }
  void Value(int32_t channel, int32_t value) override { pending_.at(static_cast<size_t>(channel)).push_back(value); }
  void Comment(int64_t samples, const BVL::String& text) override {
    BVL::String copy = text;
    Emit('#', std::to_string(samples) + " " + Escape(copy.NarrowText()));
  }
  void Note(std::string_view, const BVL::String&) override {}

  void Frame(std::string_view command) {
    const std::string frame = ":" + std::string(command) + "\n";
    Emit('>', Escape(frame));
    if (send_) send_(frame);
  }

  void Emit(char kind, std::string payload) { events_.push_back(Event{now_, kind, std::move(payload)}); }

  static std::string Number(double v) {
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
  }

  void Observe() {
    const int32_t state = core_.State();
    if (state != state_) Emit('=', std::to_string(state_ = state));
    std::string identity = core_.DeviceName() + "|" + core_.FirmwareVersion() + "|" + core_.FirmwareLevel();
    if (identity != identity_ && identity != "||") Emit('i', Escape(identity_ = identity));
    BVL::String errorText = core_.ErrorText();
    std::string error = errorText.NarrowText();
    if (error != error_) Emit('e', Escape(error_ = error));
    if (!channelsSeen_ && core_.ChannelsReady()) {
      channelsSeen_ = true;
      for (size_t i = 0; i < core_.Channels().size(); ++i) {
        const ChannelInfo& c = core_.Channels()[i];
        Emit('c', std::to_string(i + 1) + " " +
                      Escape(c.name + "|" + c.title + "|" + Number(c.maximum) + "|" + Number(c.minimum) + "|" +
                             std::to_string(c.decimalExponent) + "|" + std::to_string(c.samplePeriod) + "|" +
                             c.gainListText + "|" + c.baseScalingText));
      }
    }
    for (size_t i = 0; i < pending_.size(); ++i) {
      if (pending_[i].empty()) continue;
      std::string values = std::to_string(i + 1);
      for (int32_t v : pending_[i]) values += "," + std::to_string(v);
      pending_[i].clear();
      Emit('+', values);
    }
  }

  ProtocolCore core_;
  std::function<void(std::string_view)> send_;
  ReceiveBuffer received_;
  std::vector<std::vector<int32_t>> pending_;
  std::vector<Event> events_;
  int64_t now_ = 0;
  int32_t state_ = kCreated;
  std::string identity_ = "||", error_;
  bool channelsSeen_ = false;
};

}  // namespace vyra::trace
