// Channel records: range, decimal exponent, and the sample ring the reader thread fills.
#include "protocol/channel_record.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "protocol/classify.h"
#include "protocol/fields.h"

namespace vyra {

namespace {

// Powers of ten as pow gives them, for the exponents a channel can realistically have;
// the reader thread scales every value with them.
constexpr int kTableLimit = 24;
const std::array<double, 2 * kTableLimit + 1> kPowersOfTen = [] {
  std::array<double, 2 * kTableLimit + 1> t{};
  for (int e = -kTableLimit; e <= kTableLimit; ++e) t[e + kTableLimit] = std::pow(10.0, e);
  return t;
}();

double PowerOfTen(int32_t e) {
  if (e >= -kTableLimit && e <= kTableLimit) return kPowersOfTen[e + kTableLimit];
  return std::pow(10.0, e);
}

}  // namespace

ChannelRecord::ChannelRecord(int32_t period, int32_t decimals, std::string displayName, double maximumIn,
                             double minimumIn, const std::string& unit)
    : name(displayName), samplePeriod(period), title(std::move(displayName)) {
  // The ring is left unwritten: only slots between the two positions are ever read, and
  // untouched pages of a 128 KiB ring cost nothing until samples reach them.
  DefaultRange(name, maximumIn, minimumIn);
  maximum = maximumIn;
  minimum = minimumIn;

  // Largest scaled value within 32000 where the decimals allow it; never below 0.
  const double largest = std::fabs(minimum) > std::fabs(maximum) ? std::fabs(minimum) : std::fabs(maximum);
  int32_t e = std::max(decimals, 0);
  while (e > 0 && PowerOfTen(e) * largest > 32000) --e;
  decimalExponent = e;

  BuildSetupTexts(*this, decimals, unit);
}

void ChannelRecord::PushValue(double value) noexcept {
  double v = value;
  if (v > maximum) {
    v = maximum;
  } else if (v < minimum) {
    v = minimum;
  }
  const int32_t e = decimalExponent;
  const double c = PowerOfTen(e);
  int32_t r;
  if (e <= 0) {
    r = SaturateToInt32(std::floor(c * v + 0.5));
  } else {
    // Nearest multiple of 10^-2e, then cut to e decimals: 0.96f with e = 1 stores 9.
    r = SaturateToInt32(std::floor(c * (c * v) + 0.5) * PowerOfTen(-e));
  }
  lastValue = r;

  const int32_t w = writePosition.load(std::memory_order_relaxed);
  const int32_t rd = readPosition.load(std::memory_order_acquire);
  if (((w - rd) & kRingMask) == kRingMask) return;  // full: dropped, lastValue still follows
  samples[w & kRingMask] = r;
  writePosition.store((w + 1) & kRingMask, std::memory_order_release);
}

void ChannelRecord::RepeatLastValue() noexcept {
  const int32_t w = writePosition.load(std::memory_order_relaxed);
  const int32_t rd = readPosition.load(std::memory_order_acquire);
  if (((w - rd) & kRingMask) == kRingMask) return;
  samples[w & kRingMask] = lastValue;
  writePosition.store((w + 1) & kRingMask, std::memory_order_release);
}

}  // namespace vyra
