// Samples from the monitor's line to the host's ReadLine buffer, through the exports.
#include <atomic>
#include <string>
#include <thread>

#include "integration/e2e_fixture.h"

namespace e2e {
namespace {

using vyra::sim::Profile;

// A sample line as the ventilator sends it (time column first) whose values mark line `j`.
std::string MarkerLine(int j) {
  return "99.000," + std::to_string(10 + j) + ".00," + std::to_string(20 + j) + ".0," + std::to_string(30 + j) + "," +
         std::to_string(40 + j) + ".0," + std::to_string(1500 + j) + "\r\n";
}
// What channel `k` (from 0) stores for MarkerLine(j).
int32_t MarkerValue(const std::vector<ExpectedChannel>& channels, size_t k, int j) {
  static const int base[] = {10, 20, 30, 40, 1500};
  return (base[k] + j) * PowerOfTen(channels[k].exponent);
}

// The unpaced monitor sends exactly kLines sample lines as fast as the line takes them, with
// noise lines between them, and then falls silent. Every channel must deliver every sample
// once, in rotation, and the counter channel must count without a gap.
TEST_F(E2eTest, EverySampleArrivesOnceInRotationAndFlushDiscards) {
  constexpr int kLines = 100000;
  vyra::sim::Options options;
  options.profile = Profile::kVentilator;
  options.timeColumn = true;
  options.bytesPerSecond = 0;
  options.uploadRates = "0.00002,0.005,0.01,0.02,0.05,0.1,EndOfCycle";
  options.initialRate = 0;
  options.fault = vyra::sim::Fault::kStall;
  options.faultAfterLines = kLines;
  vyra::sim::TreePort port;
  port.serial = "Z8001234";
  auto& monitor = AddMonitor(options, port);
  LayOut();

  const int index = Find("Z800");
  ASSERT_EQ(index, 0);
  ASSERT_EQ(Module().Initialise(index), 1);
  const auto expected = ExpectedChannels(Profile::kVentilator, false);
  ASSERT_EQ(Ask(index, 11).value, static_cast<int32_t>(expected.size()));
  const size_t channels = expected.size();
  const size_t counter = static_cast<size_t>(monitor.profile().counterChannel);
  const int32_t modulus = monitor.profile().counterModulus;
  const int32_t scale = PowerOfTen(expected[counter].exponent);

  ASSERT_EQ(Ask(index, 37).result, 1);
  std::atomic<bool> quiet{false};
  int noiseLines = 0;
  std::thread noise([&] {
    static const std::string junk[] = {std::string("\x01\x00\xff?#\r\n", 7), "\r\n", "   \r\n", "\x7f\x80\r\n"};
    for (; !quiet && !monitor.GetStats().stalled; ++noiseLines) {
      monitor.SendRaw(junk[noiseLines % 4]);
      std::this_thread::sleep_for(2ms);
    }
  });
  struct Join {
    std::atomic<bool>& quiet;
    std::thread& t;
    ~Join() {
      quiet = true;
      if (t.joinable()) t.join();
    }
  } joinNoise{quiet, noise};
  std::vector<char> buffer(65536);
  std::vector<int64_t> received(channels, 0);
  size_t due = 0;  // rotation position the next call must serve
  int64_t calls = 0;
  auto allDone = [&] {
    for (int64_t n : received)
      if (n < kLines) return false;
    return true;
  };
  while (!allDone()) {
    std::memset(buffer.data(), kFill, buffer.size());
    ASSERT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 10000), 1)
        << "stalled after " << calls << " calls; received per channel: " << received[0] << " " << received[1]
        << " " << received[2] << " " << received[3] << " " << received[4];
    ++calls;
    DataBlock block;
    ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), block)) << "call " << calls;
    ASSERT_EQ(block.channel, static_cast<int>(due) + 1) << "call " << calls;
    ASSERT_FALSE(block.values.empty()) << "call " << calls;
    const ExpectedChannel& ch = expected[due];
    for (size_t i = 0; i < block.values.size(); ++i) {
      const int32_t v = block.values[i];
      const int64_t n = received[due] + static_cast<int64_t>(i);
      if (due == counter) {
        ASSERT_EQ(v, static_cast<int32_t>(n % modulus) * scale) << "counter sample " << n;
      } else {
        ASSERT_GE(v, ch.scaledMin) << ch.name << " sample " << n;
        ASSERT_LE(v, ch.scaledMax) << ch.name << " sample " << n;
      }
    }
    received[due] += static_cast<int64_t>(block.values.size());
    ASSERT_LE(received[due], kLines) << ch.name << ": more samples than lines sent";
    due = (due + 1) % channels;
  }
  EXPECT_TRUE(Eventually([&] { return monitor.GetStats().stalled; }));
  quiet = true;
  noise.join();
  EXPECT_GT(noiseLines, 100);
  EXPECT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 300), 0) << buffer.data();

  // Three lines more: the due channel takes all three, the others keep theirs until the
  // flush throws them away; after it only a newer line is delivered, the rotation unchanged.
  for (int j = 1; j <= 3; ++j) monitor.SendRaw(MarkerLine(j));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 5000), 1);
  DataBlock marked;
  ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), marked));
  ASSERT_EQ(marked.channel, static_cast<int>(due) + 1);
  EXPECT_EQ(marked.values, (std::vector<int32_t>{MarkerValue(expected, due, 1), MarkerValue(expected, due, 2),
                                                 MarkerValue(expected, due, 3)}));
  due = (due + 1) % channels;
  std::this_thread::sleep_for(50ms);
  Module().FlushReadBuffer(index);
  EXPECT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 300), 0) << buffer.data();
  monitor.SendRaw(MarkerLine(4));
  ASSERT_EQ(Module().ReadLine(index, buffer.data(), static_cast<int>(buffer.size()), 5000), 1);
  DataBlock fresh;
  ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), fresh));
  EXPECT_EQ(fresh.channel, static_cast<int>(due) + 1);
  EXPECT_EQ(fresh.values, std::vector<int32_t>{MarkerValue(expected, due, 4)});

  // The identifier follows the device path; a second object for the same port agrees.
  int first = -1, second = -1;
  EXPECT_EQ(Module().GetUniqueID(index, &first), 1);
  EXPECT_EQ(Module().GetUniqueID(index, &second), 1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, ExpectedUniqueId(DevicePath(ports_[0])));
  EXPECT_EQ(Find("Z800"), -1) << "one port: the walk ends";
  const int again = Find("Z800");
  ASSERT_EQ(again, 1);
  int other = -1;
  EXPECT_EQ(Module().GetUniqueID(again, &other), 1);
  EXPECT_EQ(other, first);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// The monitor hangs up mid-stream: the device reports itself failed, what arrived before the
// hang-up is still delivered, and a new Initialise cannot reopen the vanished line.
TEST_F(E2eTest, HangUpFailsTheDeviceAndKeepsWhatArrived) {
  constexpr int kLines = 150;
  vyra::sim::Options options;
  options.profile = Profile::kOximeter;
  options.initialRate = 0;
  options.fault = vyra::sim::Fault::kHangUp;
  options.faultAfterLines = kLines;
  vyra::sim::TreePort port;
  port.serial = "VEZ0101";
  auto& monitor = AddMonitor(options, port);
  LayOut();

  ASSERT_EQ(Find("VEZ"), 0);
  ASSERT_EQ(Module().Initialise(0), 1);
  const int32_t count = Ask(0, 11).value;
  ASSERT_EQ(count, 3);
  ASSERT_EQ(Ask(0, 37).result, 1);
  ASSERT_TRUE(monitor.WaitForHangUp(30s));
  EXPECT_TRUE(Eventually([] { return Module().IsFailed(0) == 1; }));

  const size_t counter = static_cast<size_t>(monitor.profile().counterChannel);
  std::vector<char> buffer(65536);
  std::vector<std::vector<int32_t>> samples(static_cast<size_t>(count));
  while (Module().ReadLine(0, buffer.data(), static_cast<int>(buffer.size()), 300) == 1) {
    DataBlock block;
    ASSERT_TRUE(ParseDataLines(buffer.data(), buffer.size(), block));
    auto& s = samples[static_cast<size_t>(block.channel - 1)];
    s.insert(s.end(), block.values.begin(), block.values.end());
  }
  for (const auto& s : samples) EXPECT_EQ(s.size(), static_cast<size_t>(kLines));
  for (size_t i = 0; i < samples[counter].size(); ++i)
    ASSERT_EQ(samples[counter][i], static_cast<int32_t>(i % static_cast<size_t>(monitor.profile().counterModulus)));

  EXPECT_EQ(Module().Initialise(0), 0);
  EXPECT_EQ(Module().IsFailed(0), 1);
  EXPECT_EQ(LastError(-1).text, "The device is not responding or powered off.");
}

}  // namespace
}  // namespace e2e
