#pragma once
// Small text functions every protocol step uses.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "support/bvl_string.h"

namespace vyra {

// Fields between commas; empty fields kept, no empty last field after a trailing comma,
// no fields for an empty line.
std::vector<BVL::String> SplitFields(const BVL::String& line);
// A 32-bit float as a classic-locale stream extracts it from the field's start; 0 when none.
float ParseNumber(const BVL::String& field);
float ParseNumber(std::string_view narrow);
// The same for a wide field given as a view (no string built for ASCII text).
float ParseNumberWide(std::u16string_view field);
// The stream extraction itself, kept as the measure ParseNumber is checked against.
float ParseNumberReference(std::string_view narrow);
// Number of fields SplitFields gives for the line.
size_t CountFields(std::u16string_view line);
size_t CountFields(std::string_view line);
// The fields of a line in turn, as SplitFields gives them, read from its bytes; Next is
// called at most Count() times.
class FieldReader {
 public:
  explicit FieldReader(std::string_view line) : line_(line), count_(CountFields(line)) {}
  size_t Count() const { return count_; }
  std::string_view Next() {
    size_t end = start_;
    while (end < line_.size() && line_[end] != ',') ++end;
    const std::string_view field = line_.substr(start_, end - start_);
    start_ = end + 1;
    return field;
  }

 private:
  std::string_view line_;
  size_t count_;
  size_t start_ = 0;
};
// Digits after the only '.', else 0.
int32_t CountDecimals(std::string_view text);
// Decimal integer at the start of the text, as atoi reads it (saturating, never undefined).
int32_t ReadInt(std::string_view text);
// double to int32 by truncation toward zero, saturating; NaN gives 0.
int32_t SaturateToInt32(double value);

}  // namespace vyra
