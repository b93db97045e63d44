#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hostcmd/unique_id.h"
#include "hostcmd_fixture.h"

namespace vyra {
namespace {

using hostcmd_test::MakeDevice;

// The identifier's digit steps written out literally: decimal text, padded to five, reversed,
// first five read back.
int32_t DigitsByText(uint32_t h) {
  std::string t = std::to_string(h);
  if (t.size() < 2) return -1;
  while (t.size() < 5) t.insert(t.begin(), '0');
  std::reverse(t.begin(), t.end());
  return std::stoi(t.substr(0, 5));
}

uint32_t Fnv1aBytes(const std::string& bytes) {
  uint32_t h = 2166136261u;
  for (unsigned char b : bytes) {
    h ^= b;
    h *= 16777619u;
  }
  return h;
}

TEST(HostUniqueId, DigitExamples) {
  const struct {
    uint32_t h;
    int32_t id;
  } cases[] = {{1234567890u, 9876}, {123u, 32100}, {42u, 24000}, {7u, -1}, {0u, -1},
               {10u, 1000},         {99u, 99000}, {4200000000u, 0},   {4294967295u, 59276}, {100000u, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.h);
    EXPECT_EQ(ReversedLastDigits(c.h), c.id);
  }
  for (uint32_t h = 0; h < 200000; h += 7) ASSERT_EQ(ReversedLastDigits(h), DigitsByText(h)) << h;
  for (uint32_t h = 4294967295u; h > 4294000000u; h -= 997) ASSERT_EQ(ReversedLastDigits(h), DigitsByText(h)) << h;
}

TEST(HostUniqueId, HashesTheUtf16BytesLowByteFirst) {
  EXPECT_EQ(HashDevicePath(u""), 2166136261u);
  EXPECT_EQ(HashDevicePath(u"A"), Fnv1aBytes(std::string("A\0", 2)));
  const std::u16string path = u"\\\\?\\ftdibus#vid_0403+pid_6001+bvlvyra0042a#0000#\u00e9\u4e2d";
  std::string bytes;
  for (char16_t u : path) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>(u >> 8));
  }
  EXPECT_EQ(HashDevicePath(path), Fnv1aBytes(bytes));
}

TEST(HostUniqueId, DeviceNumberComesFromItsPath) {
  const std::u16string path = u"\\\\.\\BVLVYRA0042";
  auto a = MakeDevice(false, path);
  auto b = MakeDevice(true, path);
  int32_t idA = -1, idB = -2;
  EXPECT_TRUE(UniqueId(*a, &idA));
  EXPECT_TRUE(UniqueId(*b, &idB));
  EXPECT_EQ(idA, idB);
  EXPECT_EQ(idA, DigitsByText(HashDevicePath(path)));
  EXPECT_TRUE(UniqueId(*a, nullptr));
}

TEST(HostUniqueId, EmptyPathGivesTheFallbackAndEveryCallDrawsOnce) {
  auto d = MakeDevice(false, u"");
  std::srand(12345);
  const int r1 = std::rand(), r2 = std::rand();
  std::srand(12345);
  int32_t id = -1;
  EXPECT_TRUE(UniqueId(*d, &id));
  EXPECT_EQ(id, 89999 + r1 % 10000);
  EXPECT_GE(id, 89999);
  EXPECT_LE(id, 99998);

  // A usable path still advances the generator.
  auto named = MakeDevice(false, u"\\\\.\\BVLVYRA0042");
  std::srand(12345);
  UniqueId(*named, &id);
  EXPECT_TRUE(UniqueId(*d, &id));
  EXPECT_EQ(id, 89999 + r2 % 10000);
}

}  // namespace
}  // namespace vyra
