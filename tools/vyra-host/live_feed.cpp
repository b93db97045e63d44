#include "live_feed.h"

namespace vyra::host {

void LiveFeed::Describe(const LiveDevice& device) {
  if (!server_) return;
  serial_ = device.serial;
  server_->AddDevice(device);
  server_->State(serial_, "streaming");
}

void LiveFeed::Samples(int channel, double t0, double period, double divisor, const std::vector<int32_t>& stored) {
  if (!server_) return;
  values_.clear();
  for (int32_t v : stored) values_.push_back(v / divisor);
  server_->Samples(serial_, channel, t0, period, values_);
}

void LiveFeed::State(const std::string& state) {
  if (server_) server_->State(serial_, state);
}

void LiveFeed::Comment(const vyra::host::Comment& c, const CycleTable& cycles) {
  if (!server_) return;
  server_->Comment(serial_, c.seconds, c.channel + 1, c.text);
  SendCycles(cycles);
}

void LiveFeed::Stopped(const CycleTable& cycles) {
  if (!server_) return;
  SendCycles(cycles);
  server_->State(serial_, "stopped");
}

void LiveFeed::SendCycles(const CycleTable& cycles) {
  for (; cyclesSent_ < cycles.Rows().size(); ++cyclesSent_) {
    const CycleRow& r = cycles.Rows()[cyclesSent_];
    server_->Cycle(serial_, r.index, r.seconds, r.systolic, r.diastolic, r.error);
  }
}

}  // namespace vyra::host
