// Sample lines: one value per parameter, scaled into each channel's ring.
#include "protocol/core.h"
#include "protocol/fields.h"

namespace vyra {

void ProtocolCore::Push(int32_t channel, double value) {
  const int32_t stored = channels_[static_cast<size_t>(channel)].Store(value);
  lastValues_[static_cast<size_t>(channel)] = stored;
  out_.Value(channel, stored);
}

void ProtocolCore::Repeat(int32_t channel) { out_.Value(channel, lastValues_[static_cast<size_t>(channel)]); }

void ProtocolCore::HandleSampleLine(std::string_view v) {
  // This runs for every line the monitor streams: the fields are read from its bytes, and
  // nothing is allocated.
  const uint32_t count = parameterCount_;
  if (CountFields(v) != count) return;

  // Data fields go to the channels the device described, in order; the waveform channels
  // appended after them are fed by waveform lines only. Fields beyond the described
  // channels have no channel and are ignored.
  size_t described = 0;
  if (channelsReady_) {
    described = channels_.size();
    if (cuffChannel_ >= 0 && static_cast<size_t>(cuffChannel_) < described) described = static_cast<size_t>(cuffChannel_);
    if (vprChannel_ >= 0 && static_cast<size_t>(vprChannel_) < described) described = static_cast<size_t>(vprChannel_);
  }

  size_t start = 0;
  int32_t j = 0;
  for (uint32_t i = 0; i < count && start <= v.size(); ++i) {
    size_t end = v.find(',', start);
    if (end == std::string_view::npos) end = v.size();
    const std::string_view field = v.substr(start, end - start);
    start = end + 1;
    if (i == 0 && hasTimeColumn_) continue;
    if (static_cast<size_t>(j) >= described) break;
    if (field == "*") {
      Repeat(j++);
    } else {
      Push(j++, static_cast<double>(ParseNumber(field)));
    }
  }
  ++sampleLineBacklog_;
}

}  // namespace vyra
