#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "hostcmd_fixture.h"

namespace vyra {
namespace {

using hostcmd_test::AddChannels;
using hostcmd_test::Describe;
using hostcmd_test::MakeDevice;
using hostcmd_test::Push;

class ReadLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Describe(*d);
    AddChannels(*d, {"Alpha"});
    d->acquisitionState = kSampling;
  }
  std::unique_ptr<DuraSerial> d = MakeDevice();
  char buffer[256] = {};
};

TEST_F(ReadLineTest, FirstAttemptIsMadeWhateverTheTimeOut) {
  for (int32_t timeout : {0, -1, INT32_MIN}) {
    Push(*d->channels[0], timeout);
    ASSERT_TRUE(d->ReadLine(buffer, sizeof buffer, timeout));
    EXPECT_EQ(std::string(buffer), "+1," + std::to_string(timeout) + "\n");
  }
}

TEST_F(ReadLineTest, NoDataGivesZeroAfterTheTimeOut) {
  for (int32_t timeout : {0, -5, 120}) {
    const int64_t start = NowMs();
    EXPECT_FALSE(d->ReadLine(buffer, sizeof buffer, timeout));
    const int64_t elapsed = NowMs() - start;
    EXPECT_GE(elapsed, timeout > 0 ? timeout : 0);
    EXPECT_EQ(buffer[0], '\0');
  }
}

TEST_F(ReadLineTest, DataArrivingDuringTheWaitIsDelivered) {
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Push(*d->channels[0], 77);
    d->NotifyHost();
  });
  const bool delivered = d->ReadLine(buffer, sizeof buffer, 60000);
  reader.join();
  EXPECT_TRUE(delivered);
  EXPECT_EQ(std::string(buffer), "+1,77\n");
}

TEST(HostNotification, WaiterWakesOnNotify) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  std::atomic<bool> notified{false};
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    notified = true;
    d->NotifyHost();
  });
  // Long enough that only the notification can end the wait in time.
  const int64_t start = NowMs();
  const uint32_t now = d->WaitForHostNotification(seen, 60000);
  const int64_t elapsed = NowMs() - start;
  reader.join();
  EXPECT_TRUE(notified.load());
  EXPECT_NE(now, seen);
  EXPECT_LT(elapsed, 30000);
}

TEST(HostNotification, NotificationBeforeTheWaitIsNotLost) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  d->NotifyHost();
  const int64_t start = NowMs();
  EXPECT_EQ(d->WaitForHostNotification(seen, 60000), seen + 1);
  EXPECT_LT(NowMs() - start, 30000);
}

TEST(HostNotification, WaitEndsAfterItsTimeOut) {
  auto d = MakeDevice();
  const uint32_t seen = d->HostSequence();
  const int64_t start = NowMs();
  EXPECT_EQ(d->WaitForHostNotification(seen, 50), seen);
  EXPECT_GE(NowMs() - start, 50);
  EXPECT_EQ(d->WaitForHostNotification(seen, 0), seen);
}

}  // namespace
}  // namespace vyra
