#pragma once
// The texts the host sets a channel up from: the gain list "min,max" and the base scaling
// "S(min),V(min);S(max),V(max);unit;p;".
#include <cstdint>
#include <string>

namespace vyra {

// A bound as the host reads it: fractions strictly between 0.0001 and 0.9999 in magnitude
// in fixed notation cut to decimals + 2 characters, everything else truncated to an integer.
std::string SetupValueText(double value, int32_t decimals);
// 10^exponent x value truncated to an integer.
std::string SetupScaledText(double value, int32_t exponent);

}  // namespace vyra
