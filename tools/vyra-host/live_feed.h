#pragma once
// One stream loop's view of the live server: its device's serial, the cycles already sent,
// the stored values in engineering units. Without a server every call does nothing.
#include <cstdint>
#include <string>
#include <vector>

#include "live_server.h"
#include "stream_data.h"

namespace vyra::host {

class LiveFeed {
 public:
  explicit LiveFeed(LiveServer* server) : server_(server) {}
  explicit operator bool() const { return server_ != nullptr; }

  void Describe(const LiveDevice& device);  // then "streaming"
  // Stored values of one channel, the first at t0 seconds from the start of the stream.
  void Samples(int channel, double t0, double period, double divisor, const std::vector<int32_t>& stored);
  void State(const std::string& state);  // "lost", "restored"
  // A comment, and the cycles it completed in `cycles`.
  void Comment(const vyra::host::Comment& c, const CycleTable& cycles);
  void Stopped(const CycleTable& cycles);  // cycles Finish() completed, then "stopped"

 private:
  void SendCycles(const CycleTable& cycles);

  LiveServer* server_;
  std::string serial_;
  size_t cyclesSent_ = 0;
  std::vector<double> values_;
};

}  // namespace vyra::host
