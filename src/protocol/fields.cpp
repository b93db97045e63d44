// Field splitting and number reading for device replies.
//
// ParseNumber gives the float that `iss >> f` gives for a classic-locale istringstream
// (ParseNumberReference), without building a stream per field: the reader thread parses
// every field of every sample line, and the stream path is slow and, in some runtimes,
// switches the process locale around the conversion. The grammar below is the one the
// stream's float extraction accepts; the text it accepts is then converted with the same
// correctly rounded conversion the stream uses. Anything the stream would not read
// ("nan", "inf", hex, "1e" without exponent digits) is 0. A finite number too large for a
// float gives +-FLT_MAX, the value the stream stores on overflow; an underflow gives the
// rounded subnormal or zero, as the stream does.
#include "protocol/fields.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale>
#include <sstream>
#include <string>

#include "support/hot_path.h"

namespace vyra {

namespace {

template <class Ch>
bool IsStreamSpace(Ch c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <class Ch>
bool IsDigit(Ch c) {
  return c >= '0' && c <= '9';
}

constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
constexpr int kExponentLimit = 100000;  // far beyond float range, far from int overflow

float FromStrtof(const char* text) {
  float f = std::strtof(text, nullptr);
  if (f == std::numeric_limits<float>::infinity()) return FLT_MAX;
  if (f == -std::numeric_limits<float>::infinity()) return -FLT_MAX;
  return f;
}

// Parses [space*][sign][digits][.digits][(e|E)[sign]digits] from [p, end); characters after
// the number are ignored. Only ASCII is looked at: callers hand wide text here only when it
// is all ASCII, so the result is the one for its narrow form.
template <class Ch>
[[gnu::noinline]] float ParseGeneral(const Ch* p, const Ch* end) {
  while (p != end && IsStreamSpace(*p)) ++p;
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }

  // Significant digits (leading zeros dropped) and the power of ten of the last kept one.
  // 128 digits: every float and every halfway point between two floats has fewer
  // significant digits, so a non-zero digit beyond them only needs to be known as present.
  char digits[128];
  int kept = 0;         // digits stored in `digits`
  bool dropped = false;  // a non-zero digit beyond what `digits` holds
  int scale = 0;        // value = digits * 10^scale (before the written exponent)
  bool mantissa = false;
  bool point = false;
  for (; p != end; ++p) {
    Ch c = *p;
    if (IsDigit(c)) {
      mantissa = true;
      if (kept == 0 && c == '0') {
        if (point) --scale;
        continue;
      }
      if (kept < static_cast<int>(sizeof digits)) {
        digits[kept++] = static_cast<char>(c);
        if (point) --scale;
      } else {
        if (c != '0') dropped = true;
        if (!point) ++scale;
      }
    } else if (c == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (!mantissa) return 0.0f;

  int written = 0;
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool expNegative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      expNegative = *p == '-';
      ++p;
    }
    if (p == end || !IsDigit(*p)) return 0.0f;  // the stream refuses "1e", "1e+"
    for (; p != end && IsDigit(*p); ++p) {
      if (written < kExponentLimit) written = written * 10 + (*p - '0');
    }
    if (expNegative) written = -written;
  }

  if (kept == 0) return negative ? -0.0f : 0.0f;
  while (!dropped && digits[kept - 1] == '0') {
    --kept;
    ++scale;
  }
  long long exponent = static_cast<long long>(scale) + written;

  // Small exact cases: the integer or the quotient is formed from exact doubles and
  // rounded once (a double result rounded to float is correctly rounded for one
  // multiplication or division of 24-bit operands).
  if (!dropped && kept <= 7) {
    int64_t m = 0;
    for (int i = 0; i < kept; ++i) m = m * 10 + (digits[i] - '0');
    if (exponent >= 0 && exponent <= 10) {
      // Below 1e17: an exact integer, rounded once.
      float f = static_cast<float>(m * static_cast<int64_t>(kPow10[exponent]));
      return negative ? -f : f;
    }
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
    if (exponent < 0 && exponent >= -10) {
      double d = static_cast<double>(m) / kPow10[-exponent];
      float f = static_cast<float>(d);
      return negative ? -f : f;
    }
#endif
  }

  // General case: the digits, a sticky digit for what was dropped, and the exponent;
  // without a decimal point, so the conversion does not depend on the process locale.
  char text[sizeof digits + 2 + 24];
  int n = 0;
  if (negative) text[n++] = '-';
  for (int i = 0; i < kept; ++i) text[n++] = digits[i];
  if (dropped) {
    text[n++] = '1';
    --exponent;
  }
  if (exponent > kExponentLimit) exponent = kExponentLimit;
  if (exponent < -kExponentLimit) exponent = -kExponentLimit;
  text[n++] = 'e';
  n += std::snprintf(text + n, sizeof text - n, "%lld", exponent);
  return FromStrtof(text);
}

// What a monitor streams: [sign][digits][.digits] with at most seven digits and no exponent,
// so the integer is below 2^24 and the divisor an exact float. One rounding of their double
// quotient gives the correctly rounded float, the one the general path gives. False (nothing
// read) for anything else.
template <class Ch>
VYRA_HOT_PATH bool ParseShort(const Ch* p, const Ch* end, float& result) {
  bool negative = false;
  if (p != end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  uint32_t m = 0;
  int digits = 0;
  int decimals = -1;  // digits after the point, -1 before one
  for (; p != end; ++p) {
    const Ch c = *p;
    if (IsDigit(c)) {
      if (++digits > 7) return false;
      m = m * 10 + static_cast<uint32_t>(c - '0');
      if (decimals >= 0) ++decimals;
    } else if (c == '.' && decimals < 0) {
      decimals = 0;
    } else {
      break;
    }
  }
  if (digits == 0 || (p != end && (*p == 'e' || *p == 'E'))) return false;
  float f;
  if (decimals <= 0) {
    f = static_cast<float>(m);
  } else {
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
    f = static_cast<float>(static_cast<double>(m) / kPow10[decimals]);
#else
    return false;  // extended intermediates would round twice
#endif
  }
  result = negative ? -f : f;
  return true;
}

template <class Ch>
float ParseAscii(const Ch* p, const Ch* end) {
  float f;
  if (ParseShort(p, end, f)) return f;
  return ParseGeneral(p, end);
}

}  // namespace

std::vector<BVL::String> SplitFields(const BVL::String& line) {
  std::vector<BVL::String> fields;
  std::u16string_view v = line.View();
  size_t start = 0;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == u',') {
      fields.emplace_back(v.data() + start, i - start);
      start = i + 1;
    } else if (i + 1 == v.size()) {
      fields.emplace_back(v.data() + start, v.size() - start);
    }
  }
  return fields;
}

template <class Ch>
size_t CountFieldsOf(std::basic_string_view<Ch> line) {
  if (line.empty()) return 0;
  size_t commas = 0;
  for (Ch c : line) commas += c == Ch(',');
  return commas + (line.back() != Ch(',') ? 1 : 0);
}

size_t CountFields(std::u16string_view line) { return CountFieldsOf(line); }
VYRA_HOT_PATH size_t CountFields(std::string_view line) { return CountFieldsOf(line); }

float ParseNumberWide(std::u16string_view field) {
  for (char16_t c : field) {
    if (c >= 0x80) {
      // Non-ASCII text is read in its narrow (ANSI) form, as the stream would see it.
      BVL::String text(field.data(), field.size());
      return ParseNumber(std::string_view(text.NarrowText()));
    }
  }
  return ParseAscii(field.data(), field.data() + field.size());
}

float ParseNumber(const BVL::String& field) { return ParseNumberWide(field.View()); }

VYRA_HOT_PATH float ParseNumber(std::string_view narrow) { return ParseAscii(narrow.data(), narrow.data() + narrow.size()); }

float ParseNumberReference(std::string_view narrow) {
  std::istringstream stream{std::string(narrow)};
  stream.imbue(std::locale::classic());
  float f = 0;
  stream >> f;
  return f;
}

int32_t CountDecimals(std::string_view text) {
  // Pieces as repeated getline(…, '.') gives them: a final empty piece is not produced.
  if (text.find('.') == std::string_view::npos) return 0;
  if (text.back() == '.') text.remove_suffix(1);
  size_t first = text.find('.');
  if (first == std::string_view::npos || text.find('.', first + 1) != std::string_view::npos) return 0;
  return static_cast<int32_t>(text.size() - first - 1);
}

int32_t ReadInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsStreamSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) value = int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

VYRA_HOT_PATH int32_t SaturateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);  // truncation toward zero, in range
}

}  // namespace vyra
