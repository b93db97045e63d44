#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "hostcmd_fixture.h"

namespace vyra {
namespace {

using hostcmd_test::DescribeChannels;
using hostcmd_test::MakeDevice;
using hostcmd_test::Reply;
using hostcmd_test::Sample;

class ReadLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DescribeChannels(*d, {"Alpha"});
    Sample(*d);
  }
  std::unique_ptr<DuraSerial> d = MakeDevice();
  char buffer[256] = {};
};

TEST_F(ReadLineTest, FirstAttemptIsMadeWhateverTheTimeOut) {
  for (int32_t timeout : {0, -1, INT32_MIN}) {
    d->Channel(0)->Push(timeout);
    ASSERT_TRUE(ReadLine(*d, buffer, sizeof buffer, timeout));
    EXPECT_EQ(std::string(buffer), "+1," + std::to_string(timeout) + "\n");
  }
}

TEST_F(ReadLineTest, NoDataGivesZeroAfterTheTimeOut) {
  for (int32_t timeout : {0, -5, 120}) {
    const int64_t start = NowMs();
    EXPECT_FALSE(ReadLine(*d, buffer, sizeof buffer, timeout));
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, timeout > 0 ? timeout : 0);
    EXPECT_EQ(buffer[0], '\0');
  }
}

TEST_F(ReadLineTest, DataArrivingDuringTheWaitIsDelivered) {
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Reply(*d, "77");  // a sample line: its value goes to the ring, the pass's end notifies
  });
  const bool delivered = ReadLine(*d, buffer, sizeof buffer, 60000);
  reader.join();
  EXPECT_TRUE(delivered);
  EXPECT_EQ(std::string(buffer), "+1,77\n");
}

TEST(HostNotification, EveryWaiterWakesOnNotify) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  std::atomic<bool> notified{false};
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    notified = true;
    d->NotifyHost();
  });
  // Two host threads wait at once (ReadLine and a host command, say); long enough that only
  // the one notification can end both waits in time.
  auto wait = [&] {
    const int64_t start = NowMs();
    const uint32_t now = d->WaitForHostNotificationUntil(seen, NowMs() + 60000);
    EXPECT_TRUE(notified.load());
    EXPECT_NE(now, seen);
    EXPECT_LT(NowMs() - start, 30000);
  };
  std::thread other(wait);
  wait();
  other.join();
  reader.join();
}

TEST(HostNotification, NotificationBeforeTheWaitIsNotLost) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  d->NotifyHost();
  const int64_t start = NowMs();
  EXPECT_EQ(d->WaitForHostNotificationUntil(seen, NowMs() + 60000), seen + 1);
  EXPECT_LT(NowMs() - start, 30000);
}

TEST(HostNotification, WaitEndsAfterItsTimeOut) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  // Timed finer than the device's millisecond clock: a deadline read from it starts up to a
  // millisecond late, which must not shorten the wait. Several waits, so one begun on a
  // millisecond's edge cannot hide that.
  for (int i = 0; i < 10; ++i) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d->WaitForHostNotificationUntil(seen, NowMs() + 5), seen);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5)) << "wait " << i;
  }
  EXPECT_EQ(d->WaitForHostNotificationUntil(seen, NowMs() - 1), seen);
}

}  // namespace
}  // namespace vyra
