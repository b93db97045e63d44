#pragma once
// One channel as the device describes it: its range, decimal exponent and set-up texts, and
// how a value is stored for it. Plain data: the protocol core builds it, the device publishes
// it to host threads beside the channel's sample ring.
#include <cstdint>
#include <string>

namespace vyra {

// How a value is stored: clamped to the range, scaled to the integer the host reads.
struct Scaling {
  double maximum = 0;
  double minimum = 0;
  int32_t decimalExponent = 0;

  int32_t Store(double value) const noexcept;
};

struct ChannelInfo {
  // Applies the default range of a known name, the 32000 rule for the decimal exponent, and
  // builds the set-up texts.
  ChannelInfo(int32_t samplePeriod, int32_t decimals, std::string displayName, double maximum, double minimum,
              const std::string& unit);

  Scaling Scale() const noexcept { return {maximum, minimum, decimalExponent}; }
  int32_t Store(double value) const noexcept { return Scale().Store(value); }

  std::string name;
  double maximum = 0;
  double minimum = 0;
  int32_t samplePeriod = 0;
  std::string title;
  int32_t decimalExponent = 0;
  std::string gainListText;
  std::string baseScalingText;
};

// Builds gainListText and baseScalingText.
void BuildSetupTexts(ChannelInfo& info, int32_t decimals, const std::string& unit);

}  // namespace vyra
