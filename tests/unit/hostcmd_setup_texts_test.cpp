#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <locale>
#include <string>

#include "protocol/channel_info.h"
#include "protocol/setup_texts.h"

namespace vyra {
namespace {

struct Built {
  std::string gainList;
  std::string baseScaling;
};

Built Build(double max, double min, int32_t d, int32_t p, const std::string& unit) {
  ChannelInfo info(20000, d, "Setup", max, min, unit);
  info.maximum = max;
  info.minimum = min;
  info.decimalExponent = p;
  BuildSetupTexts(info, d, unit);
  return {info.gainListText, info.baseScalingText};
}

TEST(HostSetupTexts, WorkedExamples) {
  struct Case {
    double max, min;
    int32_t d, p;
    const char* unit;
    const char* gainList;
    const char* baseScaling;
  };
  const Case cases[] = {
      {300, 0, 0, 0, "mmHg", "0,300", "0,0;300,300;mmHg;0;"},
      {500, 0, 0, 0, "mmHg", "0,500", "0,0;500,500;mmHg;0;"},
      {100, 0, 1, 1, "%", "0,100", "0,0;1000,100;%;1;"},
      {0.5, 0, 1, 1, "L", "0,0.5", "0,0;5,0.5;L;1;"},
      {50, -10, 2, 2, "cmH2O", "-10,50", "-1000,-10;5000,50;cmH2O;2;"},
      {37.5, 0, 1, 1, "ml", "0,37", "0,0;375,37;ml;1;"},
      // Edge cases: a fractional bound cut to d + 2 characters, a negative one losing its
      // digit to the sign, an empty unit.
      {0.25, 0, 1, 1, "L", "0,0.2", "0,0;2,0.2;L;1;"},
      {10, -0.5, 1, 1, "", "-0.,10", "-5,-0.;100,10;;1;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "max " << c.max << " min " << c.min << " d " << c.d);
    const Built b = Build(c.max, c.min, c.d, c.p, c.unit);
    EXPECT_EQ(b.gainList, c.gainList);
    EXPECT_EQ(b.baseScaling, c.baseScaling);
  }
}

TEST(HostSetupTexts, ValueText) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double v;
    int32_t d;
    const char* text;
  };
  const Case cases[] = {
      {0, 2, "0"},          {-0.0, 2, "0"},         {0.99995, 2, "0"},     {0.9999, 2, "0"},
      {-0.99995, 2, "0"},   {0.0001, 3, "0"},       {-0.0001, 3, "0"},     {0.00011, 4, "0.0001"},
      {0.25, 1, "0.2"},     {0.25, 0, "0."},        {-0.5, 1, "-0."},      {-0.5, 3, "-0.50"},
      {0.5, 6, "0.500000"}, {0.5, 20, "0.500000"},  {0.123456789, 9, "0.123457"},
      {37.5, 1, "37"},      {-10.9, 2, "-10"},      {1.0, 3, "1"},         {300, 0, "300"},
      {1e12, 0, "2147483647"}, {-1e12, 0, "-2147483648"}, {nan, 2, "0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "v " << c.v << " d " << c.d);
    EXPECT_EQ(SetupValueText(c.v, c.d), c.text);
  }
}

TEST(HostSetupTexts, ScaledText) {
  struct Case {
    double v;
    int32_t p;
    const char* text;
  };
  const Case cases[] = {{0.25, 1, "2"},   {-10, 2, "-1000"},         {37.5, 1, "375"},
                        {-0.5, 1, "-5"},  {-0.25, 1, "-2"},          {300, 0, "300"},
                        {1e10, 2, "2147483647"}, {-1e10, 0, "-2147483648"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "v " << c.v << " p " << c.p);
    EXPECT_EQ(SetupScaledText(c.v, c.p), c.text);
  }
}

// A locale whose decimal separator is a comma.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(HostSetupTexts, FractionUsesTheGlobalLocaleSeparator) {
  const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  const std::string text = SetupValueText(0.25, 2);
  std::locale::global(previous);
  EXPECT_EQ(text, "0,25");
  EXPECT_EQ(SetupValueText(0.25, 2), "0.25");
}

}  // namespace
}  // namespace vyra
