#pragma once
// A protocol core driven on the test's thread with everything it answers recorded, and the
// sessions that bring one to the states the tests start from.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/core.h"
#include "support/dura_serial_access.h"  // HandshakeReplies

namespace vyra {

class RecordedCore : private ProtocolCore::Output {
 public:
  struct Posted {
    int64_t samples;
    std::u16string text;
    bool operator==(const Posted&) const = default;
  };

  explicit RecordedCore(bool branded) : core(branded, *this) {}

  HResult Feed(std::string_view line, int64_t ms = 0) { return core.HandleLine(line, ms); }
  void FeedAll(const std::vector<std::string>& lines, int64_t ms = 0) {
    for (const std::string& l : lines) Feed(l, ms);
  }
  std::vector<std::string> TakeSent() { return std::exchange(sent, {}); }
  // What channel c received since the last call.
  std::vector<int32_t> TakeValues(size_t c) {
    return c < values.size() ? std::exchange(values[c], {}) : std::vector<int32_t>{};
  }

  ProtocolCore core;
  std::vector<std::string> sent;             // commands, unframed
  std::vector<std::vector<int32_t>> values;  // per channel
  std::vector<Posted> comments;
  std::vector<std::string> notes;            // label and text

 private:
  void Send(std::string_view command) override { sent.emplace_back(command); }
  void ChannelsBuilt() override { values.resize(core.Channels().size()); }
  void Value(int32_t channel, int32_t value) override {
    if (channel < 0 || static_cast<size_t>(channel) >= values.size()) {
      ADD_FAILURE() << "a value for channel " << channel << " of " << values.size();
      return;
    }
    values[static_cast<size_t>(channel)].push_back(value);
  }
  void Comment(int64_t samples, const BVL::String& text) override {
    comments.push_back({samples, std::u16string(text.View())});
  }
  void Note(std::string_view label, const BVL::String& text) override {
    BVL::String copy = text;
    notes.push_back(std::string(label) + copy.NarrowText());
  }
};

// The replies to the start of sampling; a branded monitor announces uploads of 100 values.
inline std::vector<std::string> SamplingReplies(bool branded) {
  if (!branded) return {"B"};
  return {"WI5,0,100,0,0,0,0,0,0,0,0,0", "B", "WA5"};
}

// A core described by a handshake (`parameters`, when given, as its parameter list; every
// unit "u") and sampling.
inline std::unique_ptr<RecordedCore> Sampling(bool branded, const std::string& names, const std::string& maxima,
                                              const std::string& minima, const std::string& parameters = "") {
  std::string units = "u";
  for (char c : names)
    if (c == ',') units += ",u";
  std::vector<std::string> replies = HandshakeReplies(branded, names, units, maxima, minima);
  if (!parameters.empty()) *(std::find(replies.begin(), replies.end(), "F") + 1) = parameters;
  auto r = std::make_unique<RecordedCore>(branded);
  r->core.BeginHandshake();
  r->FeedAll(replies);
  r->core.StartSampling();
  r->FeedAll(SamplingReplies(branded));
  EXPECT_EQ(r->core.State(), kSampling) << names;
  r->TakeSent();
  return r;
}

}  // namespace vyra
