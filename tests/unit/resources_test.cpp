#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "resources/module_resources.h"

namespace {

std::string_view Bytes(std::span<const std::byte> s) {
  return {reinterpret_cast<const char*>(s.data()), s.size()};
}

TEST(ModuleResources, ControlListsAreByteExact) {
  const std::string_view device = Bytes(vyra::FindModuleResource(vyra::kResourceTypeRcData, 103));
  const std::string_view amp = Bytes(vyra::FindModuleResource(vyra::kResourceTypeRcData, 105));
  ASSERT_EQ(device.size(), 221u);
  ASSERT_EQ(amp.size(), 347u);

  const std::string_view deviceText =
      "/*\r\n * Dura Device Control List\r\n *\r\n */\r\n\r\n// Main settings dialog\r\n"
      "\"Dura Device Settings\", tag = Settings(0,0,262,146),\r\n  helpfile = \"DuraSerialHelp\",\r\n"
      "  helptopic = \"telegraphoverview\",\r\n\r\n// List of controls\r\n{\r\n} \r\n";
  const std::string_view ampText =
      "/*\r\n * Dura Input Amp Control List\r\n *\r\n */\r\n\r\n"
      "// List title: names can be a single string, or a list of countrycode/string pairs\r\n"
      "{  eng, \"Dura\" },\r\n\r\n  helpfile = \"DuraHelp\",\r\n  helptopic = \"Dura_Devices\",\r\n  \r\n"
      "// List of controls\r\n{\r\n// HideMe checkbox\r\n\"HideMe\", checkbox, HideMe,\r\n   {\r\n"
      "   \"\", {},\r\n   \"\", default, { hide(HideMe) }\r\n   }\r\n}\r\n";
  EXPECT_EQ(device, deviceText);
  EXPECT_EQ(amp, ampText);
  EXPECT_TRUE(device.ends_with("{\r\n} \r\n"));
  EXPECT_TRUE(amp.ends_with("   }\r\n}\r\n"));
  EXPECT_EQ(device.find('\0'), std::string_view::npos);
  // Every line ends in CR LF: no bare LF anywhere.
  for (std::string_view t : {device, amp}) {
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == '\n') {
        EXPECT_EQ(t[i - 1], '\r') << "at " << i;
      }
    }
  }
}

TEST(ModuleResources, StringTable) {
  const std::pair<unsigned, std::u16string_view> strings[] = {
      {101, u"Dura"},
      {102, u"Dura Scientific"},
      {103, u"VYRA Monitor Control"},
      {104, u"Control VYRA Monitor"},
      {96, u""},
      {100, u""},
      {105, u""},
      {111, u""},
      {112, u""},
  };
  for (const auto& [id, text] : strings) EXPECT_EQ(vyra::ModuleString(id).View(), text) << id;
}

TEST(ModuleResources, OtherIdentifiersAreNotThere) {
  EXPECT_TRUE(vyra::FindModuleResource(vyra::kResourceTypeRcData, 104).empty());
  EXPECT_TRUE(vyra::FindModuleResource(vyra::kResourceTypeString, 103).empty());
  EXPECT_EQ(vyra::FindModuleResource(vyra::kResourceTypeString, 7).size(), 2u * 16 + 2u * (4 + 15 + 20 + 20));
}

}  // namespace
