// STUB: replaced by the channel model.
#include "protocol/channel_record.h"
namespace vyra {
ChannelRecord::ChannelRecord(int32_t period, int32_t, std::string displayName, double maximum, double minimum,
                             const std::string&)
    : name(displayName), maximum(maximum), minimum(minimum), samplePeriod(period), title(displayName) {}
void ChannelRecord::PushValue(double) noexcept {}
void ChannelRecord::RepeatLastValue() noexcept {}
}  // namespace vyra
