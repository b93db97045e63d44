#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/channel_record.h"
#include "serial/dura_serial.h"
#include "support/dura_serial_access.h"

namespace vyra {
namespace {

std::unique_ptr<ChannelRecord> Record(int32_t decimals, double maximum, double minimum, const char* name = "chan") {
  return std::make_unique<ChannelRecord>(20000, decimals, name, maximum, minimum, "u");
}

TEST(ProtocolChannelRecord, DecimalExponentKeepsScaledRangeWithin32000) {
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
    auto r = Record(c.decimals, c.maximum, c.minimum);
    EXPECT_EQ(r->decimalExponent, c.exponent) << c.decimals << " decimals, " << c.minimum << ".." << c.maximum;
  }
}

TEST(ProtocolChannelRecord, KnownNamesTakeTheirDefaultRangeBeforeTheExponent) {
  auto r = Record(2, 300, 0, "Heart Rate");  // range becomes 0..1000: 10 x 1000 fits, 100 x 1000 not
  EXPECT_EQ(r->maximum, 1000);
  EXPECT_EQ(r->minimum, 0);
  EXPECT_EQ(r->decimalExponent, 1);
  EXPECT_EQ(r->name, "Heart Rate");
  EXPECT_EQ(r->title, "Heart Rate");
  EXPECT_TRUE(r->enabled.load());
  EXPECT_EQ(r->Buffered(), 0);
}

std::vector<int32_t> Drain(ChannelRecord& r) {
  std::vector<int32_t> out;
  while (r.Buffered() > 0) {
    out.push_back(r.Front());
    r.PopFront();
  }
  return out;
}

TEST(ProtocolChannelRecord, PushValueClampsRoundsAndScales) {
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
  for (const Case& c : cases) {
    auto r = Record(c.decimals, c.maximum, c.minimum);
    r->PushValue(c.value);
    EXPECT_EQ(r->lastValue, c.stored) << c.value;
    EXPECT_EQ(Drain(*r), std::vector<int32_t>{c.stored}) << c.value;
  }
}

TEST(ProtocolChannelRecord, RepeatLastValueAppendsTheLastComputedValue) {
  auto r = Record(0, 100, 0);
  r->RepeatLastValue();  // nothing pushed yet: 0
  r->PushValue(42);
  r->RepeatLastValue();
  r->RepeatLastValue();
  EXPECT_EQ(Drain(*r), (std::vector<int32_t>{0, 42, 42, 42}));
}

TEST(ProtocolChannelRecord, FullRingDropsNewValuesWhileLastValueFollows) {
  auto r = Record(0, 1e6, 0);
  for (int i = 0; i < ChannelRecord::kRingMask; ++i) r->PushValue(i % 1000);
  EXPECT_EQ(r->Buffered(), 32767);
  r->PushValue(5000);
  r->RepeatLastValue();
  EXPECT_EQ(r->Buffered(), 32767);
  EXPECT_EQ(r->lastValue, 5000);
  EXPECT_EQ(r->Front(), 0);

  r->PopFront();  // one slot free again: the next value is kept, across the wrap-around
  r->PushValue(6000);
  std::vector<int32_t> all = Drain(*r);
  ASSERT_EQ(all.size(), 32767u);
  EXPECT_EQ(all.front(), 1);
  EXPECT_EQ(all[all.size() - 2], (ChannelRecord::kRingMask - 1) % 1000);
  EXPECT_EQ(all.back(), 6000);

  r->PushValue(7);
  r->Discard();
  EXPECT_EQ(r->Buffered(), 0);
}

// One producer and one consumer on one ring, as the reader thread and ReadLine use it.
TEST(ProtocolChannelRecordThreaded, ProducerAndConsumerLoseAndDuplicateNothing) {
  constexpr int kCount = 100000;
  auto r = Record(0, 1e9, 0);
  std::thread producer([&] {
    for (int i = 0; i < kCount; ++i) {
      while (r->Buffered() == ChannelRecord::kRingMask) std::this_thread::yield();
      if (i % 7 == 3) {
        r->RepeatLastValue();  // repeats i - 1
      } else {
        r->PushValue(i);
      }
    }
  });
  int received = 0;
  int mismatches = 0;
  while (received < kCount) {
    if (r->Buffered() == 0) {
      std::this_thread::yield();
      continue;
    }
    int32_t expected = received % 7 == 3 ? received - 1 : received;
    if (r->Front() != expected && ++mismatches < 5) ADD_FAILURE() << "slot " << received << ": " << r->Front();
    r->PopFront();
    ++received;
  }
  producer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(r->Buffered(), 0);
}

class ProtocolChannelModel : public ::testing::Test {
 protected:
  std::unique_ptr<DuraSerial> Device(bool branded) {
    return std::make_unique<DuraSerial>(u"/dev/null-protocol-test",
                                        branded ? u"FTDIBUS\\VID_0403+PID_6001+BVLVYRA0042A\\0000" : u"z800");
  }
};

TEST_F(ProtocolChannelModel, TimeColumnMakesNoChannel) {
  auto d = Device(false);
  d->uploadPeriod = 20000;
  DuraSerialTestAccess::SetDescription(*d, u"Time,systol,diasto", u"s,mmHg,mmHg", u"100,300.00,300", u"0,0,0");
  ASSERT_TRUE(d->BuildChannels());
  EXPECT_TRUE(d->hasTimeColumn.load());
  ASSERT_EQ(d->ChannelCount(), 2);
  EXPECT_EQ(d->Channel(0)->name, "Systolic BP");
  EXPECT_EQ(d->Channel(1)->name, "Diastolic BP");
  EXPECT_EQ(d->Channel(0)->maximum, 500);  // the fixed range, not the reported 300
  EXPECT_EQ(d->Channel(0)->samplePeriod, 20000);
  EXPECT_EQ(d->cuffChannel.load(), -1);
}

TEST_F(ProtocolChannelModel, DecimalsComeFromTheMaximumText) {
  auto d = Device(false);
  DuraSerialTestAccess::SetDescription(*d, u"a,b,c,d", u"u,u,u,u", u"300.00,500.00,10,1.5.0", u"0,0,-40000,0");
  ASSERT_TRUE(d->BuildChannels());
  ASSERT_EQ(d->ChannelCount(), 4);
  EXPECT_EQ(d->Channel(0)->decimalExponent, 2);
  EXPECT_EQ(d->Channel(1)->decimalExponent, 1);
  EXPECT_EQ(d->Channel(2)->decimalExponent, 0);
  EXPECT_EQ(d->Channel(2)->minimum, -40000);
  EXPECT_EQ(d->Channel(3)->decimalExponent, 0);  // two points: no decimals
  EXPECT_FLOAT_EQ(d->Channel(3)->maximum, 1.5);
  EXPECT_FALSE(d->hasTimeColumn.load());
}

TEST_F(ProtocolChannelModel, BrandedDeviceGetsTheTwoWaveformChannelsLast) {
  auto d = Device(true);
  DuraSerialTestAccess::SetDescription(*d, u"systol,diasto,HR", u"mmHg,mmHg,bpm", u"300,300,900", u"0,0,0");
  ASSERT_TRUE(d->BuildChannels());
  ASSERT_EQ(d->ChannelCount(), 5);
  EXPECT_EQ(d->cuffChannel.load(), 3);  // host channel 4
  EXPECT_EQ(d->vprChannel.load(), 4);   // host channel 5
  for (int i : {3, 4}) {
    EXPECT_EQ(d->Channel(i)->maximum, 300);
    EXPECT_EQ(d->Channel(i)->minimum, 0);
    EXPECT_EQ(d->Channel(i)->decimalExponent, 0);
  }
  EXPECT_EQ(d->Channel(3)->name, "O-Cuff");
  EXPECT_EQ(d->Channel(4)->name, "VPR");
}

TEST_F(ProtocolChannelModel, MissingOrUnevenDescriptionBuildsNothing) {
  auto d = Device(true);
  DuraSerialTestAccess::SetDescription(*d, u"a,b", u"u,u", u"1,2", u"");
  EXPECT_FALSE(d->BuildChannels());
  DuraSerialTestAccess::SetDescription(*d, u"a,b", u"u,u", u"1,2", u"0");
  EXPECT_FALSE(d->BuildChannels());
  EXPECT_EQ(d->ChannelCount(), 0);
  EXPECT_FALSE(d->ChannelsReady());
  EXPECT_EQ(d->cuffChannel.load(), -1);
  DuraSerialTestAccess::SetDescription(*d, u"a,b", u"u,u", u"1,2", u"0,0");
  EXPECT_TRUE(d->BuildChannels());
  EXPECT_EQ(d->ChannelCount(), 4);
}

TEST_F(ProtocolChannelModel, UploadRatesMapPeriodsToListPositions) {
  auto d = Device(false);
  EXPECT_TRUE(d->ParseUploadRates(u"0.02,0.1,EndOfCycle,1,0.1"));
  EXPECT_EQ(d->uploadRates, (std::map<int32_t, int32_t>{{20000, 0}, {100000, 4}, {1000000, 3}}));
  EXPECT_EQ(d->uploadPeriod.load(), 20000);

  auto e = Device(false);
  EXPECT_TRUE(e->ParseUploadRates(u"0.019999,0.020001,0.5"));  // both within one microsecond of 20 ms
  EXPECT_EQ(e->uploadRates, (std::map<int32_t, int32_t>{{20000, 1}, {500000, 2}}));

  auto f = Device(false);
  EXPECT_FALSE(f->ParseUploadRates(u"EndOfCycle"));
  EXPECT_FALSE(f->ParseUploadRates(u""));
  EXPECT_EQ(f->uploadPeriod.load(), 0);
  EXPECT_TRUE(f->ParseUploadRates(u"1e30"));  // saturates instead of overflowing
  EXPECT_EQ(f->uploadRates.begin()->first, INT32_MAX);
}

}  // namespace
}  // namespace vyra
