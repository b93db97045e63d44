#include "protocol/setup_texts.h"

#include <cmath>
#include <ios>
#include <limits>
#include <sstream>

#include "protocol/channel_info.h"

namespace vyra {

namespace {

// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
int32_t TruncateToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

}  // namespace

std::string SetupValueText(double value, int32_t decimals) {
  const double magnitude = std::fabs(value);
  if (magnitude > 0.0001 && magnitude < 0.9999) {
    std::ostringstream stream;  // the global locale's decimal separator
    stream << std::fixed << value;
    std::string text = stream.str();
    const int64_t keep = static_cast<int64_t>(decimals) + 2;
    if (keep < 0) return {};
    if (static_cast<uint64_t>(keep) < text.size()) text.resize(static_cast<size_t>(keep));
    return text;
  }
  return std::to_string(TruncateToInt32(value));
}

std::string SetupScaledText(double value, int32_t exponent) {
  return std::to_string(TruncateToInt32(std::pow(10.0, exponent) * value));
}

void BuildSetupTexts(ChannelInfo& record, int32_t decimals, const std::string& unit) {
  const std::string vMin = SetupValueText(record.minimum, decimals);
  const std::string vMax = SetupValueText(record.maximum, decimals);
  const int32_t p = record.decimalExponent;
  record.gainListText = vMin + "," + vMax;
  record.baseScalingText = SetupScaledText(record.minimum, p) + "," + vMin + ";" + SetupScaledText(record.maximum, p) +
                           "," + vMax + ";" + unit + ";" + std::to_string(p) + ";";
}

}  // namespace vyra
