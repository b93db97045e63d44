// Sample lines: one value per parameter, scaled into each channel's ring.
#include "protocol/core.h"
#include "protocol/fields.h"
#include "support/hot_path.h"

namespace vyra {

VYRA_HOT_PATH void ProtocolCore::Push(int32_t channel, double value) {
  SampleChannel& c = sampleChannels_[static_cast<size_t>(channel)];
  c.last = c.scaling.Store(value);
  out_.Value(channel, c.last);
}

VYRA_HOT_PATH void ProtocolCore::Repeat(int32_t channel) { out_.Value(channel, sampleChannels_[static_cast<size_t>(channel)].last); }

VYRA_HOT_PATH void ProtocolCore::HandleSampleLine(std::string_view v) {
  // This runs for every line the monitor streams, on a reader that slept since the last
  // one: the fields are read from its bytes in one walk, nothing is allocated, and only the
  // packed per-channel values are touched.
  const uint32_t count = parameterCount_;
  FieldReader fields(v);
  if (fields.Count() != count) return;

  // Data fields go to the channels the device described, in order; the waveform channels
  // appended after them are fed by waveform lines only. Fields beyond the described
  // channels have no channel and are ignored.
  size_t described = 0;
  if (channelsReady_) {
    described = sampleChannels_.size();
    if (cuffChannel_ >= 0 && static_cast<size_t>(cuffChannel_) < described) described = static_cast<size_t>(cuffChannel_);
    if (vprChannel_ >= 0 && static_cast<size_t>(vprChannel_) < described) described = static_cast<size_t>(vprChannel_);
  }

  int32_t j = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string_view field = fields.Next();
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
