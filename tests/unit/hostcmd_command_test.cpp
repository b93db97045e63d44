#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "hostcmd_fixture.h"

namespace vyra {
namespace {

using hostcmd_test::MakeDevice;
using hostcmd_test::Reply;
using hostcmd_test::Sample;

constexpr char kGuard = '#';
constexpr int32_t kUntouched = -7;
constexpr const char* kRates = "0.01,0.02,0.05,EndOfCycle,1";  // positions 0, 1, 2 and 4

// Three channels; Beta's decimal and unit give it a set-up text of its own. Minima that do
// not match the names complete the description without building the list.
void DescribeForHost(DuraSerial& d, const std::string& rates = kRates, const std::string& minima = "0,0,0",
                     const std::string& version = "V,1,42,0,1,Monitor") {
  DuraSerialTestAccess::Handshake(
      d, HandshakeReplies(d.isBranded, "Alpha,Beta,Gamma", "u,%,u", "100,100.0,100", minima, version, rates));
}

// The host's side of one DeviceCommand call: a guarded buffer and a record.
struct HostCall {
  std::vector<char> storage;
  HostCommandRecord record{};
  bool result = false;

  HostCall(const HostCall&) = delete;
  HostCall& operator=(const HostCall&) = delete;
  explicit HostCall(uint32_t textSize = 64, uint32_t guard = 16) : storage(textSize + guard, kGuard) {
    record.text = storage.data();
    record.textSize = textSize;
    record.value = kUntouched;
    record.reserved0 = 0x5A5A;
    record.reserved1 = 0x5A5A;
  }
  HostCall& Run(DuraSerial& d, uint32_t code, int32_t argument = 0) {
    record.argument = argument;
    result = RunHostCommand(d, code, &record);
    return *this;
  }
  std::string Text() const { return std::string(storage.data(), strnlen(storage.data(), record.textSize)); }
  bool Untouched() const {
    for (char c : storage)
      if (c != kGuard) return false;
    return true;
  }
  bool GuardIntact() const {
    for (size_t i = record.textSize; i < storage.size(); ++i)
      if (storage[i] != kGuard) return false;
    return true;
  }
};

class HostCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DescribeForHost(*plain);
    DescribeForHost(*branded);
  }

  std::unique_ptr<DuraSerial> plain = MakeDevice(false);
  std::unique_ptr<DuraSerial> branded = MakeDevice(true);
};

TEST_F(HostCommandTest, TextAnswers) {
  struct Case {
    bool isBranded;
    uint32_t code;
    int32_t argument;
    const char* text;
  };
  const Case cases[] = {
      {false, 0, 0, "Monitor"},  {false, 2, 0, "Dura Scientific"}, {true, 2, 0, "Brinvale Ltd."},
      {false, 3, 0, "1.42.0.1"}, {false, 4, 0, "0042"},            {false, 21, 2, "Beta"},
      {false, 21, 3, "Gamma"},   {true, 21, 5, "VPR"},             {false, 30, 2, "0,0;1000,100;%;1;"},
      {false, 60, 3, "Gamma"},   {false, 39, 0, "text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code << " argument " << c.argument);
    HostCall call;
    call.Run(c.isBranded ? *branded : *plain, c.code, c.argument);
    EXPECT_TRUE(call.result);
    EXPECT_EQ(call.Text(), c.text);
    EXPECT_EQ(call.record.value, kUntouched);
    EXPECT_TRUE(call.GuardIntact());
  }
}

TEST_F(HostCommandTest, NumericAnswers) {
  struct Case {
    bool isBranded;
    uint32_t code;
    int32_t value;
  };
  const Case cases[] = {{false, 1, 2048}, {true, 1, 2048}, {false, 11, 3},     {true, 11, 5},
                        {false, 31, 20000}, {false, 45, 20000}, {false, 56, 1}, {true, 56, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code);
    HostCall call;
    call.Run(c.isBranded ? *branded : *plain, c.code);
    EXPECT_TRUE(call.result);
    EXPECT_EQ(call.record.value, c.value);
    EXPECT_TRUE(call.Untouched());
    EXPECT_EQ(call.record.reserved0, 0x5A5A);
    EXPECT_EQ(call.record.reserved1, 0x5A5A);
  }
}

TEST(HostCommandAnswers, EmptyTextAnswerLeavesTheBufferAndSucceeds) {
  // A version reply with an empty model field, on a path without a serial number.
  auto d = MakeDevice(false, u"\\\\.\\COM5");
  DescribeForHost(*d, kRates, "0,0,0", "V,1,42,0,1,,0");
  for (uint32_t code : {0u, 4u}) {
    SCOPED_TRACE(::testing::Message() << "code " << code);
    HostCall call;
    call.Run(*d, code);
    EXPECT_TRUE(call.result);
    EXPECT_TRUE(call.Untouched());
  }
}

TEST_F(HostCommandTest, UploadPeriodIsSetOnlyForAListedPeriod) {
  std::vector<std::string> frames;
  plain->commandObserver = [&](std::string_view f) { frames.emplace_back(f); };

  EXPECT_FALSE(HostCall().Run(*plain, 35, 30000).result);
  EXPECT_FALSE(HostCall().Run(*plain, 35, 20001).result);
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(HostCall().Run(*plain, 31).record.value, 20000);

  EXPECT_TRUE(HostCall().Run(*plain, 35, 50000).result);
  EXPECT_EQ(frames, std::vector<std::string>{":P2\n"});
  EXPECT_EQ(HostCall().Run(*plain, 31).record.value, 50000);
  EXPECT_EQ(HostCall().Run(*plain, 45).record.value, 50000);

  // Positions above 99 are sent whole: a further handshake lists 2 s at position 123.
  std::string rates;
  for (int i = 0; i < 123; ++i) rates += "EndOfCycle,";
  DescribeForHost(*plain, rates + "2");
  frames.clear();
  EXPECT_TRUE(HostCall().Run(*plain, 35, 2000000).result);
  EXPECT_EQ(frames, std::vector<std::string>{":P123\n"});
  EXPECT_EQ(plain->UploadPeriod(), 2000000);
}

TEST_F(HostCommandTest, PeriodLookupWhileASecondHandshakeAddsRates) {
  // The reader thread handles further handshakes, each adding to the list, while a host
  // thread sets the period (ThreadSanitizer sees an unguarded map at once).
  std::atomic<int> handshakes{0};
  std::atomic<bool> hostDone{false};
  std::thread reader([&] {
    for (int i = 1; !hostDone.load(); ++i) {
      DescribeForHost(*plain, "0.05,0.00" + std::to_string(i % 10));
      ++handshakes;
    }
  });
  int calls = 0, accepted = 0;
  for (; calls < 8 || handshakes.load() < 3; ++calls) accepted += HostCall().Run(*plain, 35, 50000).result;
  hostDone = true;
  reader.join();
  EXPECT_EQ(accepted, calls);
  EXPECT_TRUE(HostCall().Run(*plain, 35, 1000).result) << "a period the later lists added";
}

TEST_F(HostCommandTest, CurrentPeriodAnswerReappliesThePeriod) {
  std::vector<std::string> frames;
  plain->commandObserver = [&](std::string_view f) { frames.emplace_back(f); };
  ASSERT_TRUE(HostCall().Run(*plain, 35, 1000000).result);
  frames.clear();
  HostCall call;
  call.Run(*plain, 32);
  EXPECT_TRUE(call.result);
  EXPECT_EQ(call.Text(), "1000000");
  EXPECT_EQ(frames, std::vector<std::string>{":P4\n"});
  EXPECT_EQ(plain->UploadPeriod(), 1000000);

  // A list without the standard period the device starts at: the current period is not
  // listed, still answers and succeeds; nothing is sent.
  auto unlistedDevice = MakeDevice();
  DescribeForHost(*unlistedDevice, "0.01,0.05");
  unlistedDevice->commandObserver = [&](std::string_view f) { frames.emplace_back(f); };
  frames.clear();
  HostCall unlisted;
  unlisted.Run(*unlistedDevice, 32);
  EXPECT_TRUE(unlisted.result);
  EXPECT_EQ(unlisted.Text(), "20000");
  EXPECT_TRUE(frames.empty());
}

TEST_F(HostCommandTest, EnableFlagsFollowTheHost) {
  EXPECT_TRUE(HostCall().Run(*plain, 43, 2).result);
  EXPECT_TRUE(HostCall().Run(*plain, 41, 2).result);
  HostCall query;
  query.Run(*plain, 43, 2);
  EXPECT_FALSE(query.result);
  EXPECT_EQ(query.record.value, kUntouched);
  EXPECT_TRUE(HostCall().Run(*plain, 43, 1).result);
  EXPECT_TRUE(HostCall().Run(*plain, 43, 3).result);
  EXPECT_TRUE(HostCall().Run(*plain, 42, 2).result);
  EXPECT_TRUE(HostCall().Run(*plain, 43, 2).result);
}

TEST_F(HostCommandTest, ChannelNumberOutsideTheListFailsAndTouchesNothing) {
  for (uint32_t code : {21u, 30u, 41u, 42u, 43u, 60u}) {
    for (int32_t argument : {0, 4, -1, INT_MIN, INT_MAX}) {
      SCOPED_TRACE(::testing::Message() << "code " << code << " argument " << argument);
      HostCall call;
      call.Run(*plain, code, argument);
      EXPECT_FALSE(call.result);
      EXPECT_TRUE(call.Untouched());
      EXPECT_EQ(call.record.value, kUntouched);
    }
  }
  for (int32_t i = 0; i < plain->ChannelCount(); ++i) EXPECT_TRUE(plain->Channel(i)->enabled.load());
}

TEST_F(HostCommandTest, UnsupportedCodesWriteTheMessageAndFail) {
  for (uint32_t code : {5u, 12u, 33u, 36u, 40u, 44u, 57u, 61u, 0xFFFFFFFFu, static_cast<uint32_t>(-5)}) {
    SCOPED_TRACE(::testing::Message() << "code " << code);
    HostCall call;
    call.Run(*plain, code);
    EXPECT_FALSE(call.result);
    EXPECT_EQ(call.Text(), "^Unsupported VMC command");
    EXPECT_EQ(call.record.value, kUntouched);
    EXPECT_TRUE(call.GuardIntact());
  }
}

TEST_F(HostCommandTest, TextsAreCutToTheHostBuffer) {
  struct Case {
    uint32_t code;
    uint32_t size;
    const char* text;
  };
  const Case cases[] = {{2, 8, "Dura Sc"}, {2, 16, "Dura Scientific"}, {2, 15, "Dura Scientifi"},
                        {2, 1, ""},        {99, 5, "^Uns"},            {0, 4, "Mon"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code << " size " << c.size);
    HostCall call(c.size);
    call.Run(*plain, c.code);
    EXPECT_EQ(call.Text(), c.text);
    EXPECT_EQ(call.storage[std::strlen(c.text)], '\0');
    EXPECT_TRUE(call.GuardIntact());
  }

  // No buffer or a zero size: nothing is written, the answer still counts.
  HostCall none(0);
  none.Run(*plain, 2);
  EXPECT_TRUE(none.result);
  EXPECT_TRUE(none.Untouched());
  HostCommandRecord nullText{};
  nullText.textSize = 64;
  EXPECT_TRUE(RunHostCommand(*plain, 2, &nullText));
  EXPECT_FALSE(RunHostCommand(*plain, 5, &nullText));
}

TEST(HostCommandWait, MissingDescriptionFailsAndMarksTheDeviceNotResponding) {
  auto d = MakeDevice();
  for (uint32_t code : {39u, 1u, 21u, 5u}) {
    HostCall call;
    call.Run(*d, code, 1);
    EXPECT_FALSE(call.result);
    EXPECT_TRUE(call.Untouched());
    EXPECT_EQ(call.record.value, kUntouched);
  }
  EXPECT_TRUE(d->notResponding.load());
}

TEST(HostCommandWait, ChannelCommandsWaitForTheChannelList) {
  auto d = MakeDevice();
  d->timing.descriptionLimitMs = 60000;
  DescribeForHost(*d, kRates, "0,0");
  EXPECT_TRUE(HostCall().Run(*d, 39).result);  // needs only the description

  // The list is built from the four lines: a channel command waits for it, and the
  // reader's notification ends the wait, not the limit. The next line replaces the minima.
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    Reply(*d, "0,0,0");
  });
  const auto t0 = std::chrono::steady_clock::now();
  HostCall call;
  call.Run(*d, 11);
  const auto waited = std::chrono::steady_clock::now() - t0;
  reader.join();
  EXPECT_TRUE(call.result);
  EXPECT_EQ(call.record.value, 3);
  EXPECT_LT(waited, std::chrono::seconds(1));
  EXPECT_EQ(HostCall().Run(*d, 21, 2).Text(), "Beta");
}

// Close on another thread (the Initialise export re-opening a failed device) ends the
// description and sampling waits at once; neither marks the device as not responding.
TEST(HostCommandWait, CloseEndsTheWaits) {
  auto undescribed = MakeDevice();
  auto neverSampling = MakeDevice();
  DescribeForHost(*neverSampling);
  const struct {
    DuraSerial* device;
    uint32_t code;
  } cases[] = {{undescribed.get(), 39}, {neverSampling.get(), 37}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "code " << c.code);
    c.device->timing.descriptionLimitMs = 60000;
    c.device->timing.samplingLimitMs = 60000;
    c.device->timing.closeSettleMs = 0;
    std::atomic<bool> answered{false};
    std::thread closer([&] {  // again and again: a Close ends only the waits begun before it
      while (!answered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        c.device->Close();
      }
    });
    const auto t0 = std::chrono::steady_clock::now();
    HostCall call;
    call.Run(*c.device, c.code);
    const auto waited = std::chrono::steady_clock::now() - t0;
    answered = true;
    closer.join();
    EXPECT_FALSE(call.result);
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_FALSE(c.device->notResponding.load());
  }
}

// A list that is never built fails the channel commands without marking the device.
TEST(HostCommandWait, ListThatNeverComesFailsChannelCommandsOnly) {
  auto d = MakeDevice();
  DescribeForHost(*d, kRates, "0,0");
  HostCall call;
  call.Run(*d, 21, 1);
  EXPECT_FALSE(call.result);
  EXPECT_TRUE(call.Untouched());
  EXPECT_EQ(HostCall().Run(*d, 11).record.value, 0);
  EXPECT_FALSE(d->notResponding.load());
  EXPECT_EQ(HostCall().Run(*d, 39).Text(), "text");
}

class HostCommandSampling : public HostCommandTest {
 protected:
  // Plays the reader thread: once the host's request awaits it, hands over the echo.
  std::thread EchoWhen(int32_t awaited, std::string echo) {
    return std::thread([this, awaited, echo] {
      for (int i = 0; i < 10000 && plain->State() != awaited; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      Reply(*plain, echo);
    });
  }
};

TEST_F(HostCommandSampling, StartSucceedsWhenSamplingIsReached) {
  plain->timing.samplingLimitMs = 5000;
  std::thread reader = EchoWhen(kAwaitBeginEcho, "B");
  const bool started = HostCall().Run(*plain, 37).result;
  reader.join();
  EXPECT_TRUE(started);
  EXPECT_TRUE(plain->IsSampling());
}

TEST_F(HostCommandSampling, StartFailsWhenSamplingIsNeverReached) {
  HostCall call;
  call.Run(*plain, 37);
  EXPECT_FALSE(call.result);
  EXPECT_NE(plain->State(), kSampling);
}

TEST_F(HostCommandSampling, StopSucceedsOnceSamplingIsLeft) {
  EXPECT_TRUE(HostCall().Run(*plain, 38).result);  // never started

  Sample(*plain);
  ASSERT_TRUE(plain->IsSampling());
  plain->timing.samplingLimitMs = 5000;
  EXPECT_TRUE(HostCall().Run(*plain, 38).result);
  EXPECT_FALSE(plain->IsSampling());
}

}  // namespace
}  // namespace vyra
