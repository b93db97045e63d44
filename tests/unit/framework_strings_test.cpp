#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/exceptions.h"
#include "framework/host_strings.h"

namespace {

using vyra::ResultTextPlan;

// A raw string block as the resource compiler lays it out: 16 entries of count + units.
std::vector<std::byte> Block(const std::vector<std::u16string>& entries) {
  std::vector<std::byte> bytes;
  auto put = [&](char16_t u) {
    bytes.push_back(static_cast<std::byte>(u & 0xFF));
    bytes.push_back(static_cast<std::byte>(u >> 8));
  };
  for (const std::u16string& e : entries) {
    put(static_cast<char16_t>(e.size()));
    for (char16_t u : e) put(u);
  }
  return bytes;
}

TEST(FrameworkHostStrings, ProductNamesAreSubstitutedInTableOrder) {
  struct Case {
    std::u16string in, out;
  };
  const Case cases[] = {
      {u"VELLUMFORWINDOWS Help", u"Vellumar Help"},
      {u"OEM and OEM", u"Brinvale and Brinvale"},
      {u"VELLUM on QUADRIX", u"Vellumar on Quadrix"},
      {u"VELLUMVELLUM", u"VellumarVellumar"},
      {u"vellum oem", u"vellum oem"},  // case-sensitive
      {u"OEOEMM", u"OEBrinvaleM"},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(vyra::SubstituteProductNames(c.in), c.out);
}

TEST(FrameworkHostStrings, BlockWalkFindsEntriesAndRejectsBrokenBlocks) {
  std::vector<std::u16string> entries(16);
  entries[5] = u"Dura";
  entries[15] = u"last";
  const std::vector<std::byte> block = Block(entries);
  EXPECT_EQ(vyra::FindStringInBlock(block, 5).value_or(u"?"), u"Dura");
  EXPECT_EQ(vyra::FindStringInBlock(block, 15).value_or(u"?"), u"last");
  EXPECT_FALSE(vyra::FindStringInBlock(block, 4).has_value()) << "count 0 is missing";
  EXPECT_FALSE(vyra::FindStringInBlock(block, 16).has_value());

  // A block that ends early, or whose last count runs past its end.
  std::vector<std::byte> shortBlock = Block({u"a", u"bc"});
  EXPECT_EQ(vyra::FindStringInBlock(shortBlock, 1).value_or(u"?"), u"bc");
  EXPECT_FALSE(vyra::FindStringInBlock(shortBlock, 2).has_value());
  shortBlock.resize(shortBlock.size() - 1);
  EXPECT_FALSE(vyra::FindStringInBlock(shortBlock, 1).has_value());
  EXPECT_FALSE(vyra::FindStringInBlock({}, 0).has_value());
}

TEST(FrameworkHostStrings, HostStringsAreMissingOutsideTheHost) {
  EXPECT_TRUE(vyra::LoadHostString(nullptr, 20007, true).IsEmpty());
  EXPECT_TRUE(vyra::LoadHostString(nullptr, 57345, true).IsEmpty());
}

TEST(FrameworkResultCode, FrameworkCodesUseTheTextTable) {
  struct Case {
    uint32_t code;
    ResultTextPlan::Kind kind;
    unsigned stringId;
  };
  const Case cases[] = {
      {0xA0048200u, ResultTextPlan::kHostString, 57345},
      {0xA0048205u, ResultTextPlan::kHostString, 57349},
      {0x80030105u, ResultTextPlan::kHostString, 57349},  // treated as 0xA0048205
      {0xA0048206u, ResultTextPlan::kHostString, 57352},
      {0xA0048209u, ResultTextPlan::kHostString, 57354},
      {0xA0048212u, ResultTextPlan::kHostString, 57358},
      {0xA004821Au, ResultTextPlan::kHostString, 57359},
      {0xA004821Bu, ResultTextPlan::kHostString, 57360},
      {0xA004821Du, ResultTextPlan::kHostString, 57361},
      {0xA004820Fu, ResultTextPlan::kNone, 0},
      {0xA0048210u, ResultTextPlan::kNone, 0},
      {0xA0048211u, ResultTextPlan::kNone, 0},
      {0xA004821Eu, ResultTextPlan::kNone, 0},
      {0xA004821Fu, ResultTextPlan::kNone, 0},  // past the table
      {0xA0040200u, ResultTextPlan::kSystem, 0},  // bit 0x8000 clear: not the framework's
      {0x80048200u, ResultTextPlan::kSystem, 0},  // customer bit clear
  };
  for (const Case& c : cases) {
    ResultTextPlan p = vyra::PlanResultText(c.code);
    EXPECT_EQ(p.kind, c.kind) << std::hex << c.code;
    EXPECT_EQ(p.stringId, c.stringId) << std::hex << c.code;
  }
  EXPECT_TRUE(vyra::FormatResultCode(static_cast<vyra::HResult>(0xA0048210u)).IsEmpty());
}

TEST(FrameworkResultCode, SystemCodesPassWin32ErrorsAsTheirLowWord) {
  EXPECT_EQ(vyra::PlanResultText(0x80070002u).systemCode, 2u);
  EXPECT_EQ(vyra::PlanResultText(0x80070005u).systemCode, 5u);
  EXPECT_EQ(vyra::PlanResultText(0x80004005u).systemCode, 0x80004005u);
}

TEST(FrameworkResultCode, SystemTextEndsInOneFullStop) {
  EXPECT_EQ(vyra::TidySystemMessage(u"The system cannot find the file specified.\r\n"),
            u"The system cannot find the file specified.");
  EXPECT_EQ(vyra::TidySystemMessage(u"Unspecified error\r\n"), u"Unspecified error.");
  EXPECT_EQ(vyra::TidySystemMessage(u"x\r\n"), u"x");
  EXPECT_EQ(vyra::TidySystemMessage(u""), u"");
}

TEST(FrameworkExceptions, XBVLCarriesCodeAndAStableMessage) {
  try {
    throw vyra::XBVL(static_cast<vyra::HResult>(0xA0048210u));
  } catch (const std::exception& e) {
    const auto* x = dynamic_cast<const vyra::XBVL*>(&e);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(static_cast<uint32_t>(x->Code()), 0xA0048210u);
    EXPECT_STREQ(e.what(), "");
  }
}

}  // namespace
