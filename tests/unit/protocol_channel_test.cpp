// One channel's description and value scaling, the channel list the description lines make,
// the upload rates, and the sample ring a channel is published with.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <thread>
#include <vector>

#include "device/channel_record.h"
#include "device/channel_rings.h"
#include "protocol/channel_info.h"
#include "support/recorded_core.h"

namespace vyra {
namespace {

ChannelInfo Info(int32_t decimals, double maximum, double minimum, const char* name = "chan") {
  return ChannelInfo(20000, decimals, name, maximum, minimum, "u");
}

TEST(ProtocolChannelInfo, DecimalExponentKeepsScaledRangeWithin32000) {
  struct Case {
    int32_t decimals;
    double maximum, minimum;
    int32_t exponent;
  } cases[] = {
      {2, 300, 0, 2},        // 100 x 300 = 30000
      {2, 500, 0, 1},        // 100 x 500 > 32000, 10 x 500 fits
      {0, 10, -40000, 0},    // never below 0
      {1, 10, -40000, 0},    // the larger magnitude counts, whichever end it is
      {3, 320, 0, 2},        // exactly 32000 fits
      {6, 1e30, -1e30, 0},
      {4, 0, 0, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Info(c.decimals, c.maximum, c.minimum).decimalExponent, c.exponent)
        << c.decimals << " decimals, " << c.minimum << ".." << c.maximum;
  }
}

TEST(ProtocolChannelInfo, KnownNamesTakeTheirDefaultRangeBeforeTheExponent) {
  const ChannelInfo c = Info(2, 300, 0, "Heart Rate");  // range becomes 0..1000: 10 x 1000 fits, 100 x 1000 not
  EXPECT_EQ(c.maximum, 1000);
  EXPECT_EQ(c.minimum, 0);
  EXPECT_EQ(c.decimalExponent, 1);
  EXPECT_EQ(c.name, "Heart Rate");
  EXPECT_EQ(c.title, "Heart Rate");
}

TEST(ProtocolChannelInfo, StoreClampsRoundsAndScales) {
  struct Case {
    int32_t decimals;
    double maximum, minimum;
    double value;
    int32_t stored;
  } cases[] = {
      {0, 100, -100, 2.5, 3},
      {0, 100, -100, -2.5, -2},
      {0, 100, -100, 2.4999, 2},
      {1, 100, 0, static_cast<double>(0.96f), 9},  // nearest 1/100, then cut to 1/10
      {1, 100, 0, 0.96, 9},
      {2, 300, 0, 512.3, 30000},                   // clamped to the maximum first
      {2, 300, 0, -1, 0},
      {0, 1e30, -1e30, 1e20, INT32_MAX},           // saturates instead of overflowing
      {0, 1e30, -1e30, -1e20, INT32_MIN},
      {3, 1e30, -1e30, NAN, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Info(c.decimals, c.maximum, c.minimum).Store(c.value), c.stored) << c.value;
}

// ---- the channel list -----------------------------------------------------------------

TEST(ProtocolChannelList, DecimalsComeFromTheMaximumText) {
  auto r = Sampling(false, "a,b,c,d", "300.00,500.00,10,1.5.0", "0,0,-40000,0");
  const std::vector<ChannelInfo>& c = r->core.Channels();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0].decimalExponent, 2);
  EXPECT_EQ(c[1].decimalExponent, 1);
  EXPECT_EQ(c[2].decimalExponent, 0);
  EXPECT_EQ(c[2].minimum, -40000);
  EXPECT_EQ(c[3].decimalExponent, 0);  // two points: no decimals
  EXPECT_FLOAT_EQ(c[3].maximum, 1.5);
  EXPECT_FALSE(r->core.HasTimeColumn());
}

TEST(ProtocolChannelList, MissingOrUnevenDescriptionBuildsNothingUntilAFurtherMinimaLine) {
  RecordedCore r(true);
  r.core.BeginHandshake();
  std::vector<std::string> replies = HandshakeReplies(true, "a,b", "u,u", "1,2", "");
  replies.pop_back();
  r.FeedAll(replies);
  ASSERT_EQ(r.core.State(), kAwaitChannelMinima);
  EXPECT_EQ(r.Feed(""), kE_FAIL);
  EXPECT_FALSE(r.core.DescriptionComplete());
  EXPECT_EQ(r.Feed("0"), kE_FAIL);  // one minimum for two channels
  EXPECT_EQ(r.core.State(), kAwaitChannelMinima);
  // The stored line completes the description: host commands waiting for it go on.
  EXPECT_TRUE(r.core.DescriptionComplete());
  EXPECT_FALSE(r.core.ChannelsReady());
  EXPECT_TRUE(r.values.empty());  // no ChannelsBuilt
  EXPECT_EQ(r.core.CuffChannel(), -1);
  EXPECT_EQ(r.core.VprChannel(), -1);
  EXPECT_EQ(r.Feed("0,-1"), kS_OK);  // a further line replaces the minima
  EXPECT_EQ(r.core.State(), kReady);
  ASSERT_EQ(r.core.Channels().size(), 4u);
  EXPECT_EQ(r.values.size(), 4u);
  EXPECT_EQ(r.core.Channels()[1].minimum, -1);
}

TEST(ProtocolChannelList, UploadRatesMapPeriodsToListPositions) {
  struct Case {
    const char* rates;
    std::map<int32_t, int32_t> periods;
    int32_t uploadPeriod;
  } cases[] = {
      {"0.02,0.1,EndOfCycle,1,0.1", {{20000, 0}, {100000, 4}, {1000000, 3}}, 20000},
      {"0.019999,0.020001,0.5", {{20000, 1}, {500000, 2}}, 20000},  // both within 1 us of 20 ms
      {"EndOfCycle", {}, 0},
      {"", {}, 0},
      {"1e30", {{INT32_MAX, 0}}, 20000},  // saturates instead of overflowing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rates);
    RecordedCore r(false);
    r.core.BeginHandshake();
    r.FeedAll({"S", "V,1,0,0,1,Monitor", "F", "a", c.rates});
    EXPECT_EQ(r.core.UploadRates(), c.periods);
    EXPECT_EQ(r.core.UploadPeriod(), c.uploadPeriod);
    EXPECT_EQ(r.core.State(), kAwaitUploadEcho);  // a list without periods lets the handshake go on
  }
}

// ---- the published ring ---------------------------------------------------------------

std::vector<int32_t> Drain(ChannelRecord& r) {
  std::vector<int32_t> out;
  while (r.Buffered() > 0) {
    out.push_back(r.Front());
    r.PopFront();
  }
  return out;
}

// The middle one of three rings sharing a block: filled, wrapped and emptied, it leaves its
// neighbours' values alone.
TEST(DeviceChannelRecord, StartsEnabledAndEmptyAndAFullRingDropsNewValues) {
  ChannelRings rings;
  rings.Publish({Info(0, 100, 0), Info(0, 100, 0), Info(0, 100, 0)});
  ChannelRecord& r = *rings.At(1);
  rings.At(0)->Push(-1);
  rings.At(2)->Push(-3);
  EXPECT_TRUE(r.enabled.load());
  EXPECT_EQ(r.Buffered(), 0);
  for (int i = 0; i < ChannelRecord::kRingMask; ++i) r.Push(i % 1000);
  EXPECT_EQ(r.Buffered(), 32767);
  r.Push(5000);
  EXPECT_EQ(r.Buffered(), 32767);
  EXPECT_EQ(r.Front(), 0);

  r.PopFront();  // one slot free again: the next value is kept, across the wrap-around
  r.Push(6000);
  std::vector<int32_t> all = Drain(r);
  ASSERT_EQ(all.size(), 32767u);
  EXPECT_EQ(all.front(), 1);
  EXPECT_EQ(all[all.size() - 2], (ChannelRecord::kRingMask - 1) % 1000);
  EXPECT_EQ(all.back(), 6000);

  r.Push(7);
  r.Discard();
  EXPECT_EQ(r.Buffered(), 0);
  EXPECT_EQ(Drain(*rings.At(0)), std::vector<int32_t>{-1});
  EXPECT_EQ(Drain(*rings.At(2)), std::vector<int32_t>{-3});
}

// One producer and one consumer on one ring, as the reader thread and ReadLine use it.
TEST(DeviceChannelRecordThreaded, ProducerAndConsumerLoseAndDuplicateNothing) {
  constexpr int kCount = 100000;
  ChannelRings rings;
  rings.Publish({Info(0, 1e9, 0), Info(0, 1e9, 0)});
  ChannelRecord& r = *rings.At(1);
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      while (r.Buffered() == ChannelRecord::kRingMask) std::this_thread::yield();
      r.Push(i);
    }
  });
  int received = 0;
  int mismatches = 0;
  while (received < kCount) {
    if (r.Buffered() == 0) {
      std::this_thread::yield();
      continue;
    }
    if (r.Front() != received && ++mismatches < 5) ADD_FAILURE() << "slot " << received << ": " << r.Front();
    r.PopFront();
    ++received;
  }
  producer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(r.Buffered(), 0);
}

}  // namespace
}  // namespace vyra
