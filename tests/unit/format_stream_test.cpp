#include <gtest/gtest.h>

#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "framework/locale.h"
#include "support/format_stream.h"
#include "support/locale_info.h"
#include "support/ostring_stream.h"

namespace {

std::u16string Text(const BVL::String& s) { return std::u16string(s.View()); }

std::u16string Format(const char16_t* templ, const std::vector<std::u16string>& args) {
  BVL::OFormatStringStream f{BVL::String(templ)};
  for (const std::u16string& a : args) f << a;
  return Text(f.str());
}

TEST(BvlOStringStream, StrWithAndWithoutEndsGivesTheSameText) {
  BVL::OStringStream withEnds;
  withEnds << "abc" << std::ends;
  BVL::OStringStream without;
  without << "abc";
  for (BVL::OStringStream* s : {&withEnds, &without}) {
    BVL::String r = s->str();
    EXPECT_EQ(r.Length(), 3);
    EXPECT_EQ(Text(r), u"abc");
  }
}

TEST(BvlOStringStream, StrLeavesTheStreamAppendableAndTheResultUnchanged) {
  BVL::OStringStream s;
  s << u"ab";
  BVL::String first = s.str();
  s << 12 << u'c';
  EXPECT_EQ(Text(first), u"ab");
  EXPECT_EQ(Text(s.str()), u"ab12c");
}

TEST(BvlOStringStream, NumbersFollowTheStreamFormat) {
  BVL::OStringStream s;
  s << std::setw(7) << 1.5 << "|" << 1234567 << "|" << -0.000125 << "|" << std::setw(4) << "ab" << "|"
    << std::left << std::setw(4) << u"cd" << "|" << std::hex << 255 << "|" << std::setprecision(3) << 3.14159;
  EXPECT_EQ(Text(s.str()), u"    1.5|1234567|-0.000125|  ab|cd  |ff|3.14");
}

TEST(BvlOStringStream, NarrowAndWideTextMeetInUtf16) {
  BVL::OStringStream s;
  std::string longAscii(300, 'x');
  s << "plain " << std::string_view("view ") << u"\u00B5V " << BVL::String(u"str") << ' ' << longAscii;
  EXPECT_EQ(Text(s.str()), u"plain view \u00B5V str " + std::u16string(300, u'x'));
}

TEST(BvlFormatStream, PlaceholdersAreFilledInArgumentOrder) {
  struct Case {
    const char16_t* templ;
    std::vector<std::u16string> args;
    std::u16string expected;
  };
  const std::vector<Case> cases = {
      {u"Value %1\\0 of %2", {u"5", u"7"}, u"Value 50 of 7"},
      {u"%2 before %1", {u"a", u"b"}, u"b before a"},
      {u"100%% of %1", {u"x"}, u"100% of x"},
      {u"100%%", {}, u"100%%"},                       // no placeholder: unchanged
      {u"100%%", {u"ignored"}, u"100%%"},
      {u"%1 and %1", {u"x"}, u" and x"},             // text only at the last occurrence
      {u"%1", {u"x", u"extra", u"more"}, u"x"},       // after the highest number: nothing
      {u"50% of %1 %%%2%%", {u"a", u"b"}, u"50% of a %b%"},
      {u"%0 %x %", {u"a"}, u"%0 %x %"},               // not placeholders
      {u"%10 ten", {u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"X"}, u"X ten"},
      {u"%1", {u""}, u""},
      {u"", {u"a"}, u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Format(c.templ, c.args), c.expected) << std::string(c.templ, c.templ + std::char_traits<char16_t>::length(c.templ));
  }
}

TEST(BvlFormatStream, NothingIsWrittenUntilEveryArgumentArrived) {
  BVL::OFormatStringStream f{BVL::String(u"%1 of %3")};
  f << 1 << 2;
  EXPECT_TRUE(f.str().IsEmpty());
  f << 3;
  EXPECT_EQ(Text(f.str()), u"1 of 3");
}

TEST(BvlFormatStream, ValuesOfAnyKindAndManipulatorsThatSupplyNoArgument) {
  BVL::OFormatStringStream f{BVL::String(u"[%1] [%2] [%3] [%4]")};
  f << std::setw(3) << 5 << "narrow" << BVL::String(u"bvl") << std::hex << 255;
  EXPECT_EQ(Text(f.str()), u"[  5] [narrow] [bvl] [ff]");
}

TEST(BvlFormatStream, WritesIntoAGivenStream) {
  BVL::OStringStream out;
  out << "head: ";
  {
    BVL::OFormatStream f(BVL::String(u"%1/%2"), out);
    f << 3 << 4;
  }
  EXPECT_EQ(Text(out.str()), u"head: 3/4");
}

// --- regional settings --------------------------------------------------------------

class FakeLocaleBackend : public vyra::LocaleBackend {
 public:
  vyra::LocaleSettings settings;
  bool readOk = true;
  std::string numericName = "C";
  bool installOk = true;
  bool setNumericOk = true;
  uint32_t setNumericError = 0;
  std::map<unsigned, std::u16string> hostStrings;
  std::vector<std::pair<std::u16string, std::u16string>> shown;
  int installs = 0, restores = 0;

  bool ReadSettings(vyra::LocaleSettings& out) override {
    out.decimal = settings.decimal;
    out.dateSeparator = settings.dateSeparator;
    out.listSeparator = settings.listSeparator;
    out.oemCodePage = settings.oemCodePage;
    return readOk;
  }
  std::string NumericLocaleName() override { return numericName; }
  bool InstallStreamLocale(const vyra::LocaleSettings&, std::string& name) override {
    ++installs;
    name = "";
    return installOk;
  }
  bool SetNumericLocale(const std::string&, uint32_t& error) override {
    error = setNumericError;
    return setNumericOk;
  }
  BVL::String SystemMessage(uint32_t error) override {
    return BVL::String(std::u16string_view(u"system text " + std::u16string(1, u'0' + error % 10)));
  }
  BVL::String HostString(unsigned id) override {
    auto it = hostStrings.find(id);
    return it == hostStrings.end() ? BVL::String() : BVL::String(std::u16string_view(it->second));
  }
  void ShowMessage(const BVL::String& text, const BVL::String& caption) override {
    shown.emplace_back(text.View(), caption.View());
  }
  void RestoreClassicStreamLocale() override { ++restores; }
};

class LocaleInfoTest : public ::testing::Test {
 protected:
  LocaleInfoTest() {
    fake.settings.decimal = u".";
    fake.settings.dateSeparator = u"/";
    fake.settings.listSeparator = u",";
    for (unsigned id = 20007; id <= 20018; ++id) fake.hostStrings[id] = u"S" + std::u16string(1, u'A' + (id - 20007));
    fake.hostStrings[20011] = u"sep '%1' units%2";
    fake.hostStrings[20018] = u"failed: %1";
  }
  std::vector<std::pair<std::u16string, std::u16string>> Run() {
    {
      vyra::LocaleInfo info(fake);
      info.ShowPendingMessage();
      info.ShowPendingMessage();  // shown once
      installed = info.localeInstalled;
    }
    return fake.shown;
  }
  FakeLocaleBackend fake;
  bool installed = false;
};

TEST_F(LocaleInfoTest, WarningChoiceLaterChecksWin) {
  struct Case {
    std::u16string decimal, date, list;
    unsigned id;
    std::u16string arg2;
  };
  const std::vector<Case> cases = {
      {u".", u"/", u",", 0, u""},
      {u",", u".", u";", 0, u""},
      {u",", u",", u";", vyra::kDateSepIsDecimalId, u""},
      {u",", u"/", u",", vyra::kListSepIsDecimalId, u""},
      {u",", u",", u",", vyra::kListSepIsDecimalId, u""},
      {u"\u066B", u"/", u",", vyra::kOddDecimalId, u" 66b"},
      {u"\u066B", u"\u066B", u"\u066B", vyra::kOddDecimalId, u" 66b"},
      {u"..", u"/", u",", vyra::kOddDecimalId, u" 2e 2e"},
      {u"'", u"/", u",", vyra::kOddDecimalId, u" 27"},
  };
  for (const Case& c : cases) {
    vyra::LocaleWarning w = vyra::ChooseLocaleWarning(c.decimal, c.date, c.list);
    EXPECT_EQ(w.stringId, c.id);
    EXPECT_EQ(w.arg2, c.arg2);
    if (c.id == vyra::kOddDecimalId) {
      EXPECT_EQ(w.arg1, c.decimal);
    }
  }
}

TEST_F(LocaleInfoTest, DateSeparatorEqualToDecimalShowsString20009) {
  fake.settings.decimal = u",";
  fake.settings.dateSeparator = u",";
  fake.settings.listSeparator = u";";
  auto shown = Run();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, u"SC");   // 20009
  EXPECT_EQ(shown[0].second, u"SA");  // caption 20007
  EXPECT_TRUE(installed);
  EXPECT_EQ(fake.restores, 1) << "the stream locale is restored when the settings go";
}

TEST_F(LocaleInfoTest, ArabicDecimalSeparatorFillsTheTemplate) {
  fake.settings.decimal = u"\u066B";
  auto shown = Run();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, u"sep '\u066B' units 66b");
}

TEST_F(LocaleInfoTest, NoLocaleAndNoMessageWhenTheNumericLocaleIsNotC) {
  fake.settings.decimal = u",";
  fake.settings.dateSeparator = u",";
  fake.numericName = "de_DE.UTF-8";
  EXPECT_TRUE(Run().empty());
  EXPECT_EQ(fake.installs, 0);
  EXPECT_FALSE(installed);
  EXPECT_EQ(fake.restores, 0);
}

TEST_F(LocaleInfoTest, FailuresToSetTheNumericLocaleReplaceTheWarning) {
  fake.settings.decimal = u",";
  fake.settings.dateSeparator = u",";
  fake.setNumericOk = false;
  fake.setNumericError = 0x20000103u;
  auto shown = Run();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, u"SH");  // 20014

  fake.shown.clear();
  fake.setNumericError = 87;
  shown = Run();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, u"failed: system text 7");
}

TEST_F(LocaleInfoTest, AFailedReadShowsString20008AndInstallsNothing) {
  fake.readOk = false;
  auto shown = Run();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].first, u"SB");
  EXPECT_EQ(fake.installs, 0);
}

TEST_F(LocaleInfoTest, EmptyTextsShowNothing) {
  fake.hostStrings.clear();  // outside the host its strings are missing
  fake.settings.decimal = u",";
  fake.settings.dateSeparator = u",";
  EXPECT_TRUE(Run().empty());
  fake.readOk = false;
  EXPECT_TRUE(Run().empty());
}

TEST(LocaleCodePages, CodesetsMapToCodePageNumbers) {
  const std::pair<const char*, unsigned> cases[] = {
      {"UTF-8", 65001},      {"utf8", 65001},       {"ISO-8859-1", 28591}, {"ISO-8859-15", 28605},
      {"ISO-8859-12", 0},    {"CP1252", 1252},      {"windows-1251", 1251}, {"KOI8-R", 20866},
      {"ANSI_X3.4-1968", 65001}, {"EUC-JP", 20932}, {"GB18030", 54936},     {"CP", 0},
      {"CP123456", 0},       {"nonsense", 0},
  };
  for (const auto& [codeset, cp] : cases) EXPECT_EQ(vyra::CodePageForCodeset(codeset), cp) << codeset;
}

// What a runtime without named locales (the Windows build's) installs: the user's separators
// reach narrow and wide numbers alike, without grouping.
TEST(LocaleStream, UserRadixLocaleCarriesTheUsersSeparators) {
  struct Case {
    std::string decimalNarrow;
    std::u16string decimal, thousands;
    std::string narrow;
    std::u16string wide;
  };
  const Case cases[] = {
      {",", u",", u".", "1234567,25", u"1234567,25"},
      {"\xD9\xAB", u"\u066B", u"\u066C", "1234567.25", u"1234567\u066B25"},  // no one-byte narrow form
  };
  for (const Case& c : cases) {
    vyra::LocaleSettings s;
    s.decimalNarrow = c.decimalNarrow;
    s.decimal = c.decimal;
    s.thousands = c.thousands;
    const std::locale previous = std::locale::global(vyra::UserRadixLocale(s));
    std::ostringstream narrow;
    narrow << std::fixed << std::setprecision(2) << 1234567.25;
    BVL::OStringStream wide;
    wide << std::fixed << std::setprecision(2) << 1234567.25;
    std::locale::global(previous);
    EXPECT_EQ(narrow.str(), c.narrow);
    EXPECT_EQ(Text(wide.str()), c.wide);
  }
}

TEST(LocaleCodePages, TheProcessSettingsAreReadOnce) {
  const vyra::LocaleInfo& a = vyra::CurrentLocaleInfo();
  const vyra::LocaleInfo& b = vyra::CurrentLocaleInfo();
  EXPECT_EQ(&a, &b);
  EXPECT_FALSE(a.decimal.empty());
  EXPECT_EQ(vyra::HostCodePage(), a.oemCodePage);
}

}  // namespace
