// Channel descriptions: range, decimal exponent, and the scaling of every stored value.
#include "protocol/channel_info.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "protocol/classify.h"
#include "protocol/fields.h"
#include "support/hot_path.h"

namespace vyra {

namespace {

// Powers of ten as pow gives them, for the exponents a channel can realistically have;
// every value is scaled with them.
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

ChannelInfo::ChannelInfo(int32_t period, int32_t decimals, std::string displayName, double maximumIn,
                         double minimumIn, const std::string& unit)
    : name(displayName), samplePeriod(period), title(std::move(displayName)) {
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

VYRA_HOT_PATH int32_t Scaling::Store(double value) const noexcept {
  double v = value;
  if (v > maximum) {
    v = maximum;
  } else if (v < minimum) {
    v = minimum;
  }
  const int32_t e = decimalExponent;
  const double c = PowerOfTen(e);
  if (e <= 0) return SaturateToInt32(std::floor(c * v + 0.5));
  // Nearest multiple of 10^-2e, then cut to e decimals: 0.96f with e = 1 stores 9.
  return SaturateToInt32(std::floor(c * (c * v) + 0.5) * PowerOfTen(-e));
}

}  // namespace vyra
