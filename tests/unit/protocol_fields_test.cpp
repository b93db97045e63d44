#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/fields.h"

namespace vyra {
namespace {

uint32_t Bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

std::vector<std::u16string> Split(const char16_t* line) {
  std::vector<std::u16string> out;
  for (const BVL::String& f : SplitFields(BVL::String(line))) out.emplace_back(f.View());
  return out;
}

TEST(ProtocolFields, SplitKeepsInnerEmptyFieldsButNoTrailingOne) {
  using V = std::vector<std::u16string>;
  EXPECT_EQ(Split(u"ab,cd"), (V{u"ab", u"cd"}));
  EXPECT_EQ(Split(u"ab,,cd"), (V{u"ab", u"", u"cd"}));
  EXPECT_EQ(Split(u",ab"), (V{u"", u"ab"}));
  EXPECT_EQ(Split(u"ab,"), (V{u"ab"}));
  EXPECT_EQ(Split(u","), (V{u""}));
  EXPECT_EQ(Split(u""), V{});
  for (const char16_t* line : {u"ab,cd", u"ab,,cd", u",ab", u"ab,", u",", u"", u"a,b,,d", u",,,"})
    EXPECT_EQ(CountFields(line), Split(line).size()) << std::string(line, line + std::char_traits<char16_t>::length(line));
}

TEST(ProtocolFields, CountDecimalsFollowsGetlinePieces) {
  struct Case {
    const char* text;
    int32_t decimals;
  } cases[] = {{"300.00", 2}, {"300", 0}, {"300.", 0}, {".5", 1}, {"1.2.3", 0}, {".", 0},
               {"", 0},       {"30.00.", 2}, {"1..", 0}, {"..5", 0}, {"-0.125", 3}};
  for (const Case& c : cases) EXPECT_EQ(CountDecimals(c.text), c.decimals) << c.text;
}

TEST(ProtocolFields, ReadIntReadsLeadingDigitsAndSaturates) {
  EXPECT_EQ(ReadInt("1"), 1);
  EXPECT_EQ(ReadInt("  -42abc"), -42);
  EXPECT_EQ(ReadInt("+7"), 7);
  EXPECT_EQ(ReadInt("x1"), 0);
  EXPECT_EQ(ReadInt(""), 0);
  EXPECT_EQ(ReadInt("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(ReadInt("-99999999999999999999"), INT32_MIN);
  EXPECT_EQ(ReadInt("-2147483648"), INT32_MIN);
}

TEST(ProtocolFields, SaturateToInt32TruncatesAndSaturates) {
  EXPECT_EQ(SaturateToInt32(2.9), 2);
  EXPECT_EQ(SaturateToInt32(-2.9), -2);
  EXPECT_EQ(SaturateToInt32(2147483647.5), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(1e300), INT32_MAX);
  EXPECT_EQ(SaturateToInt32(-2147483648.9), INT32_MIN);
  EXPECT_EQ(SaturateToInt32(-INFINITY), INT32_MIN);
  EXPECT_EQ(SaturateToInt32(NAN), 0);
}

TEST(ProtocolFields, ParseNumberReadsWhatTheStreamReads) {
  struct Case {
    const char* text;
    float value;
  } cases[] = {
      {"12.5", 12.5f},  {" \t-3", -3.0f},  {"12.5abc", 12.5f}, {".5", 0.5f},    {"5.", 5.0f},
      {"1.2.3", 1.2f},  {"1e3", 1000.0f},  {"2E-1", 0.2f},     {"007", 7.0f},   {"+4", 4.0f},
      {"nan", 0.0f},    {"inf", 0.0f},     {"-Infinity", 0.0f}, {"0x10", 0.0f}, {"1e", 0.0f},
      {"1e+", 0.0f},    {"1.5ex", 0.0f},   {".", 0.0f},        {"+", 0.0f},     {"", 0.0f},
      {"e5", 0.0f},     {".e5", 0.0f},     {"+-1", 0.0f},      {"- 1", 0.0f},   {"1e39", FLT_MAX},
      {"-1e39", -FLT_MAX}, {"1e-50", 0.0f}, {"*", 0.0f},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Bits(ParseNumberReference(c.text)), Bits(c.value)) << "reference, " << c.text;
    EXPECT_EQ(Bits(ParseNumber(std::string_view(c.text))), Bits(c.value)) << c.text;
  }
  EXPECT_EQ(Bits(ParseNumber("-0")), Bits(-0.0f));
}

TEST(ProtocolFields, ParseNumberOfWideTextUsesItsNarrowForm) {
  EXPECT_EQ(ParseNumber(BVL::String(u"37.25")), 37.25f);
  EXPECT_EQ(ParseNumber(BVL::String(u"12\u00B0C")), 12.0f);
  EXPECT_EQ(ParseNumber(BVL::String(u"\u00A012")), 0.0f);  // no-break space is not white space
  EXPECT_EQ(ParseNumberWide(u" 8e1,9"), 80.0f);
}

// Inputs of the shapes a device line can carry, and of shapes meant to break a parser.
std::string RandomNumberText(std::mt19937_64& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>('0' + pick(10));
    return s;
  };
  std::string s;
  int lead = pick(8);
  if (lead == 0) s += " ";
  if (lead == 1) s += "\t\n ";
  if (lead == 2) s += "\v\f\r";
  int sign = pick(4);
  if (sign == 0) s += '-';
  if (sign == 1) s += '+';
  switch (pick(13)) {
    case 0:  // hex-like and named values
      s += std::vector<const char*>{"0x1p3", "0X", "nan", "inf", "INF", "NaN(1)", "infinity", "0x1A", "x1"}[pick(9)];
      break;
    case 1:  // long mantissas
      s += digits(1 + pick(200));
      if (pick(2)) s += "." + digits(pick(200));
      break;
    case 2:  // near the edges of the float range
      s += digits(1 + pick(3)) + "." + digits(pick(12)) + "e" + (pick(2) ? "-" : "") + std::to_string(30 + pick(20));
      break;
    case 3:  // huge or tiny exponents
      s += digits(1 + pick(4)) + "e" + (pick(2) ? "-" : "+") + digits(1 + pick(25));
      break;
    case 4:  // leading zeros and zeros only
      s += std::string(pick(30), '0') + (pick(2) ? "." + std::string(pick(40), '0') + digits(pick(5)) : "");
      break;
    case 5: {  // halfway between two floats, written out exactly
      float f = std::ldexp(static_cast<float>(1 + pick(1 << 23)), pick(60) - 40);
      double mid = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
      char buf[80];
      std::snprintf(buf, sizeof buf, "%.*g", 1 + pick(40), mid);
      s += buf;
      break;
    }
    case 7: {  // exactly halfway, or a hair above it far beyond the digits a float needs
      float f = std::ldexp(static_cast<float>(1 + pick(1 << 23)), pick(120) - 100);
      double mid = (static_cast<double>(f) + static_cast<double>(std::nextafter(f, INFINITY))) / 2;
      char buf[400];
      std::snprintf(buf, sizeof buf, "%.300g", mid);
      std::string exact = buf;
      if (exact.find('e') == std::string::npos && pick(3)) {
        if (exact.find('.') == std::string::npos) exact += '.';
        exact += std::string(140 + pick(60), '0') + "1";
      }
      s += exact;
      break;
    }
    case 6:  // broken exponents and points
      s += digits(pick(3)) + std::vector<const char*>{".", "e", "E+", "e-", ".e1", "..", "e1.5", ".5.5"}[pick(8)] +
           digits(pick(3));
      break;
    default:  // ordinary sample values
      s += digits(pick(7));
      if (pick(3)) s += "." + digits(pick(6));
      if (pick(6) == 0) s += (pick(2) ? "e" : "E") + std::string(pick(2) ? "-" : "") + digits(1 + pick(2));
      break;
  }
  switch (pick(6)) {
    case 0: s += "abc"; break;
    case 1: s += " 12"; break;
    case 2: s += "*"; break;
    case 3: s += "e"; break;
    default: break;
  }
  return s;
}

TEST(ProtocolFields, ParseNumberMatchesTheStreamOnGeneratedInput) {
  std::mt19937_64 rng(20240611);
  int mismatches = 0;
  for (int n = 0; n < 200000 && mismatches < 10; ++n) {
    std::string text = RandomNumberText(rng);
    float expected = ParseNumberReference(text);
    if (Bits(ParseNumber(std::string_view(text))) != Bits(expected)) {
      ADD_FAILURE() << "'" << text << "': " << ParseNumber(std::string_view(text)) << " vs stream " << expected;
      ++mismatches;
    }
    std::u16string wide(text.begin(), text.end());
    if (Bits(ParseNumberWide(wide)) != Bits(expected)) {
      ADD_FAILURE() << "wide '" << text << "'";
      ++mismatches;
    }
  }
}

}  // namespace
}  // namespace vyra
