// Sample lines: one value per parameter, scaled into each channel's ring.
#include "protocol/fields.h"
#include "serial/dura_serial.h"

namespace vyra {

HResult DuraSerial::HandleSampleLine(const BVL::String& line) {
  // Fields are taken straight from the line's text: this runs for every line the monitor
  // streams, so no field strings are built.
  const std::u16string_view v = line.View();
  const uint32_t count = parameterCount.load(std::memory_order_relaxed);
  if (CountFields(v) != count) return kS_OK;

  // Data fields go to the channels the device described, in order; the waveform channels
  // appended after them are fed by waveform lines only. Fields beyond the described
  // channels have no channel and are ignored.
  size_t described = 0;
  if (channelsReady.load(std::memory_order_acquire)) {
    described = channels.size();
    const int32_t cuff = cuffChannel.load(std::memory_order_relaxed);
    const int32_t vpr = vprChannel.load(std::memory_order_relaxed);
    if (cuff >= 0 && static_cast<size_t>(cuff) < described) described = static_cast<size_t>(cuff);
    if (vpr >= 0 && static_cast<size_t>(vpr) < described) described = static_cast<size_t>(vpr);
  }

  size_t start = 0;
  uint32_t i = 0;
  size_t j = 0;
  const bool skipTime = hasTimeColumn.load(std::memory_order_relaxed);
  for (; i < count && start <= v.size(); ++i) {
    size_t end = v.find(u',', start);
    if (end == std::u16string_view::npos) end = v.size();
    const std::u16string_view field = v.substr(start, end - start);
    start = end + 1;
    if (i == 0 && skipTime) continue;
    if (j >= described) break;
    ChannelRecord& channel = *channels[j++];
    if (field == u"*") {
      channel.RepeatLastValue();
    } else {
      channel.PushValue(static_cast<double>(ParseNumberWide(field)));
    }
  }
  sampleLineBacklog.fetch_add(1, std::memory_order_relaxed);
  return kS_OK;
}

}  // namespace vyra
