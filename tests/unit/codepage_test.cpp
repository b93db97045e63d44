#include <gtest/gtest.h>

#include <string>

#include "platform/bstr.h"
#include "platform/codepage.h"

using namespace vyra::plat;

TEST(CodePageUtf8, DecodesStrictlyWithReplacement) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"plain", u"plain"},
      {"\xC3\xA9\xE2\x82\xAC", u"\u00e9\u20ac"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},             // needs a surrogate pair
      {"\xC0\x80x", u"\uFFFD\uFFFDx"},                   // overlong NUL
      {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},           // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // above U+10FFFF
      {"\xF5z", u"\uFFFDz"},
      {"a\xE2\x82", u"a\uFFFD"},                         // cut short at the end
      {"\xE2\x82z", u"\uFFFDz"},                         // cut short before ASCII
      {"\x80\xBF", u"\uFFFD\uFFFD"},                     // stray continuation bytes
  };
  for (unsigned cp : {kCodePageAnsi, kCodePageThreadAnsi, kCodePageUtf8}) {
    for (const auto& c : cases) {
      std::u16string out;
      EXPECT_TRUE(MultiByteToWide(cp, c.in, out));
      EXPECT_EQ(out, c.out) << cp << " " << c.in;
    }
  }
}

TEST(CodePageUtf8, EncodesPairsAndReplacesLoneSurrogates) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"\u00b0C", "\xC2\xB0" "C"},
      {u"\U0001F600", "\xF0\x9F\x98\x80"},
      {std::u16string(1, char16_t(0xD800)) + u"a", "\xEF\xBF\xBD" "a"},
      {u"a" + std::u16string(1, char16_t(0xDC00)), "a\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(WideToMultiByte(kCodePageUtf8, c.in, out));
    EXPECT_EQ(out, c.out);
  }
  std::string out = "stale";
  EXPECT_FALSE(WideToMultiByte(kCodePageUtf8, u"", out));
  EXPECT_TRUE(out.empty());
}

TEST(CodePageIconv, SingleByteCodePages) {
  struct Case {
    unsigned cp;
    std::u16string wide;
    std::string narrow;
  } cases[] = {
      {437, u"\u00e9\u00fc\u2591", "\x82\x81\xB0"},
      {850, u"\u00e9\u00d8", "\x82\x9D"},
      {1252, u"\u20ac\u00e9\u2122", "\x80\xE9\x99"},
      {1250, u"\u0151", "\xF5"},
  };
  for (const auto& c : cases) {
    std::string narrow;
    ASSERT_TRUE(WideToMultiByte(c.cp, c.wide, narrow)) << c.cp;
    EXPECT_EQ(narrow, c.narrow) << c.cp;
    std::u16string wide;
    ASSERT_TRUE(MultiByteToWide(c.cp, c.narrow, wide)) << c.cp;
    EXPECT_EQ(wide, c.wide) << c.cp;
  }
}

// Code pages a locale's codeset can name that iconv knows only by their standard's name.
TEST(CodePageIconv, CodePagesWithoutACpName) {
  struct Case {
    unsigned cp;
    std::u16string wide;
    std::string narrow;
  } cases[] = {
      {20932, u"\u3042\u6f22", "\xA4\xA2\xB4\xC1"},         // EUC-JP
      {51949, u"\uac00", "\xB0\xA1"},                         // EUC-KR
      {54936, u"\u4e2d\u00de", "\xD6\xD0\x81\x30\x89\x37"}, // GB18030, four-byte form included
      {951, u"\u4e2d\u3435", "\xA4\xA4\x92\x77"},            // Big5 with HKSCS
      {28600, u"\u0104\u0138", "\xA1\xFF"},                   // ISO-8859-10
      {28601, u"\u0e01", "\xA1"},                              // ISO-8859-11
      {28604, u"\u1e02", "\xA1"},                              // ISO-8859-14
      {28606, u"\u0218", "\xAA"},                              // ISO-8859-16
  };
  for (const auto& c : cases) {
    std::string narrow;
    ASSERT_TRUE(WideToMultiByte(c.cp, c.wide, narrow)) << c.cp;
    EXPECT_EQ(narrow, c.narrow) << c.cp;
    std::u16string wide;
    ASSERT_TRUE(MultiByteToWide(c.cp, c.narrow, wide)) << c.cp;
    EXPECT_EQ(wide, c.wide) << c.cp;
  }
}

TEST(CodePageIconv, UnmappableAndInvalid) {
  std::string narrow;
  // No euro sign, no emoji in 437: one '?' per character, pairs included.
  ASSERT_TRUE(WideToMultiByte(437, u"a\u20acb\U0001F600c", narrow));
  EXPECT_EQ(narrow, "a?b?c");
  ASSERT_TRUE(WideToMultiByte(1252, std::u16string(1, char16_t(0xD800)) + u"x", narrow));
  EXPECT_EQ(narrow, "?x");
  std::u16string wide;
  ASSERT_TRUE(MultiByteToWide(1252, "a\x81z", wide));  // 0x81 is undefined in 1252
  EXPECT_EQ(wide, u"a\uFFFDz");
  ASSERT_TRUE(MultiByteToWide(932, "\x82\xA0", wide));  // double-byte
  EXPECT_EQ(wide, u"\u3042");
  ASSERT_TRUE(MultiByteToWide(932, "a\x82", wide));  // input ends inside a character
  EXPECT_EQ(wide, u"a\uFFFD");

  EXPECT_FALSE(WideToMultiByte(12345, u"abc", narrow));
  EXPECT_FALSE(MultiByteToWide(12345, "abc", wide));
  EXPECT_FALSE(WideToMultiByte(1200, u"abc", narrow));  // UTF-16 is not a narrow code page
}

TEST(CodePageIconv, LongTextGrowsTheOutput) {
  std::u16string wide;
  for (int i = 0; i < 5000; ++i) wide += i % 2 ? u'\u00e9' : u'\u20ac';
  std::string narrow;
  ASSERT_TRUE(WideToMultiByte(1252, wide, narrow));
  ASSERT_EQ(narrow.size(), wide.size());
  std::u16string back;
  ASSERT_TRUE(MultiByteToWide(1252, narrow, back));
  EXPECT_EQ(back, wide);
  ASSERT_TRUE(WideToMultiByte(kCodePageUtf8, wide, narrow));
  EXPECT_EQ(narrow.size(), 2500u * 3 + 2500u * 2);
}

TEST(CodePageMisc, LowerInPlaceStaysWithinCapacity) {
  char16_t text[6] = {u'A', u'B', u'C', u'D', u'E', u'F'};  // not terminated
  LowerInPlace(text, 3);
  EXPECT_EQ(std::u16string(text, 6), u"abcDEF");
  EXPECT_TRUE(CodePageIsUtf8(kCodePageUtf8));
  EXPECT_FALSE(CodePageIsUtf8(437));
}

TEST(CodePageMisc, CodesetNames) {
  struct Case {
    const char* codeset;
    unsigned codePage;
  } cases[] = {{"UTF-8", 65001},       {"utf8", 65001},   {"ANSI_X3.4-1968", 65001}, {"CP1252", 1252},
               {"IBM437", 437},        {"cp850", 850},    {"ISO-8859-1", 28591},     {"ISO-8859-15", 28605},
               {"ISO_8859-2", 28592},  {"KOI8-R", 20866}, {"EUC-JP", 65001},         {"CP", 65001},
               {"CP99999999999", 65001}, {nullptr, 65001}};
  for (const auto& c : cases) EXPECT_EQ(CodePageOfCodeset(c.codeset), c.codePage) << (c.codeset ? c.codeset : "null");
}

TEST(CodePageBstr, LengthPrefixedBlocks) {
  Bstr b = AllocBstr(u"abc", 3);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(BstrLen(b), 3u);
  EXPECT_EQ(b[3], 0);
  Bstr zeros = AllocBstr(nullptr, 4);
  EXPECT_EQ(std::u16string(zeros, 4), std::u16string(4, u'\0'));
  EXPECT_EQ(BstrLen(nullptr), 0u);
  FreeBstr(b);
  FreeBstr(zeros);
  FreeBstr(nullptr);

  Variant v;
  InitVariant(&v);
  EXPECT_EQ(v.vt, kVtEmpty);
  v.vt = kVtBstr;
  v.bstrVal = AllocBstr(u"x", 1);
  ClearVariant(&v);  // frees the BSTR (ASan watches) and empties the variant
  EXPECT_EQ(v.vt, kVtEmpty);
}
