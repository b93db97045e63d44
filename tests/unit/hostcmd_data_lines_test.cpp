#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hostcmd_fixture.h"

namespace vyra {
namespace {

using hostcmd_test::DescribeChannels;
using hostcmd_test::MakeDevice;
using hostcmd_test::Reply;
using hostcmd_test::Sample;

constexpr char kGuard = '#';

struct Line {
  int channel;
  std::vector<int32_t> values;
  size_t bytes;  // with its '\n' and the NUL that follows it
};

// Reads back what ReadDataLines wrote; every line must be "+n(,v)*\n".
std::vector<Line> ParseLines(const char* text) {
  std::vector<Line> lines;
  std::string all(text);
  size_t start = 0;
  while (start < all.size()) {
    const size_t end = all.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "unterminated line";
    if (end == std::string::npos) break;
    std::string body = all.substr(start, end - start);
    EXPECT_EQ(body[0], '+');
    Line line{0, {}, end - start + 2};
    std::stringstream fields(body.substr(1));
    std::string field;
    std::getline(fields, field, ',');
    line.channel = std::stoi(field);
    while (std::getline(fields, field, ',')) line.values.push_back(static_cast<int32_t>(std::stoll(field)));
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

class DataLinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DescribeChannels(*d, {"Alpha", "Beta"});
    Sample(*d);
  }
  // Values go into a ring as the reader thread puts them there.
  ChannelRecord& Ch(int i) { return *d->Channel(i); }
  int32_t Next() const { return d->Rings().nextLine.load(); }
  // Calls ReadDataLines on `length` bytes of a larger guarded buffer.
  bool Read(int32_t length) {
    buffer.assign(static_cast<size_t>(length > 0 ? length : 0) + 32, kGuard);
    return ReadDataLines(*d, buffer.data(), length);
  }
  std::string Text() const { return buffer.data(); }
  bool GuardIntact(int32_t length) const {
    for (size_t i = static_cast<size_t>(length); i < buffer.size(); ++i)
      if (buffer[i] != kGuard) return false;
    return true;
  }

  std::unique_ptr<DuraSerial> d = MakeDevice();
  std::vector<char> buffer;
};

TEST_F(DataLinesTest, OneCallServesOneChannelThenPassesOn) {
  Ch(0).Push(5);
  Ch(0).Push(6);
  ASSERT_TRUE(Read(100));
  EXPECT_EQ(Text(), "+1,5,6\n");
  EXPECT_EQ(Next(), 1);

  Ch(1).Push(-40);
  Ch(1).Push(INT_MIN);
  Ch(1).Push(INT_MAX);
  ASSERT_TRUE(Read(100));
  EXPECT_EQ(Text(), "+2,-40,-2147483648,2147483647\n");
  EXPECT_EQ(Next(), 0);
}

TEST_F(DataLinesTest, DueChannelWithoutSamplesHoldsTheRotation) {
  Ch(0).Push(1);
  ASSERT_TRUE(Read(100));
  Ch(0).Push(2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(Read(100));
    EXPECT_EQ(buffer[0], '\0');
  }
  EXPECT_EQ(Ch(0).Buffered(), 1);
  Ch(1).Push(9);
  ASSERT_TRUE(Read(100));
  EXPECT_EQ(Text(), "+2,9\n");
  ASSERT_TRUE(Read(100));
  EXPECT_EQ(Text(), "+1,2\n");
}

TEST_F(DataLinesTest, SmallBuffers) {
  struct Case {
    int32_t length;
    const char* text;
    int32_t taken;
  };
  const Case cases[] = {{16, "", 0}, {17, "+1\n", 0}, {19, "+1\n", 0}, {20, "+1,5\n", 1}, {21, "+1,5\n", 1},
                        {22, "+1,5,6\n", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "length " << c.length);
    DiscardSamples(*d);
    d->Rings().nextLine = 0;
    Ch(0).Push(5);
    Ch(0).Push(6);
    EXPECT_TRUE(Read(c.length));
    EXPECT_EQ(Text(), c.text);
    EXPECT_EQ(Ch(0).Buffered(), 2 - c.taken);
    EXPECT_EQ(Next(), 1);
    EXPECT_TRUE(GuardIntact(c.length));
  }
}

TEST_F(DataLinesTest, NothingToGiveLeavesAnEmptyText) {
  EXPECT_TRUE(Read(0));
  EXPECT_EQ(buffer[0], kGuard);
  EXPECT_TRUE(Read(-5));
  EXPECT_FALSE(Read(100));  // no samples
  EXPECT_EQ(buffer[0], '\0');

  // Stop requested, stop echoed, start not yet echoed: only sampling gives lines.
  Ch(0).Push(1);
  const auto noLine = [&] {
    EXPECT_FALSE(d->IsSampling());
    EXPECT_FALSE(Read(100));
    EXPECT_EQ(buffer[0], '\0');
  };
  d->StopSampling();
  noLine();
  Reply(*d, "S");
  noLine();
  d->StartSampling();
  noLine();
  EXPECT_EQ(Ch(0).Buffered(), 1);
}

TEST(DataLinesNoChannels, SamplingWithoutChannelsGivesNoLine) {
  // A device that describes only its time column has an empty list.
  auto d = MakeDevice();
  DescribeChannels(*d, {"Time"});
  Sample(*d);
  ASSERT_TRUE(d->ChannelsReady());
  ASSERT_TRUE(d->IsSampling());
  char buffer[64];
  EXPECT_FALSE(ReadDataLines(*d, buffer, sizeof buffer));
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_FALSE(ReadLine(*d, buffer, sizeof buffer, 0));
  DiscardSamples(*d);
}

TEST_F(DataLinesTest, LongBacklogFillsTheBufferWithBoundedLines) {
  std::vector<int32_t> pushed;
  for (int i = 0; i < 5000; ++i) {
    pushed.push_back(i % 3 == 0 ? INT_MIN : i * 7919 - 20000000);
    Ch(0).Push(pushed.back());
  }
  ASSERT_TRUE(Read(10000));
  EXPECT_TRUE(GuardIntact(10000));
  const std::vector<Line> lines = ParseLines(buffer.data());
  ASSERT_GT(lines.size(), 3u);
  std::vector<int32_t> delivered;
  for (const Line& line : lines) {
    EXPECT_EQ(line.channel, 1);
    EXPECT_LE(line.bytes, 2044u);
    // Each line is filled as far as its limit allows; only the last meets the buffer's end.
    if (&line != &lines.back()) {
      EXPECT_GE(line.bytes, 2030u);
    }
    delivered.insert(delivered.end(), line.values.begin(), line.values.end());
  }
  EXPECT_LE(std::strlen(buffer.data()) + 1, 10000u);
  ASSERT_LE(delivered.size(), pushed.size());
  EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), pushed.begin()));
  EXPECT_EQ(Ch(0).Buffered(), static_cast<int32_t>(pushed.size() - delivered.size()));
  EXPECT_EQ(Next(), 1);  // the rest waits for the channel's next turn

  // The remainder follows in order once the channel is due again.
  Ch(1).Push(0);
  ASSERT_TRUE(Read(100000));
  ASSERT_TRUE(Read(100000));
  for (const Line& line : ParseLines(buffer.data())) delivered.insert(delivered.end(), line.values.begin(), line.values.end());
  EXPECT_EQ(delivered, pushed);
}

TEST_F(DataLinesTest, FlushEmptiesEveryRingAndKeepsTheRotation) {
  Ch(0).Push(1);
  Ch(1).Push(2);
  ASSERT_TRUE(Read(100));
  Ch(1).Push(3);
  DiscardSamples(*d);
  EXPECT_EQ(Ch(0).Buffered(), 0);
  EXPECT_EQ(Ch(1).Buffered(), 0);
  EXPECT_EQ(Next(), 1);
  EXPECT_FALSE(Read(100));
  Ch(1).Push(4);
  ASSERT_TRUE(Read(100));
  EXPECT_EQ(Text(), "+2,4\n");
}

// Samples taken from a ring are delivered even when sampling stops between two lines of one
// call: everything that left the ring is in the buffer, and the call reports it.
TEST_F(DataLinesTest, SamplesTakenBeforeSamplingStopsAreDelivered) {
  for (int round = 0; round < 40; ++round) {
    Sample(*d);
    DiscardSamples(*d);
    const int32_t start = Ch(0).readPosition.load();
    for (int i = 0; i < 20000; ++i) Ch(0).Push(round * 100000 + i);

    // Another host thread stops sampling once values have left the ring.
    std::thread stopper([&] {
      while (Ch(0).readPosition.load(std::memory_order_acquire) == start) std::this_thread::yield();
      d->StopSampling();
    });
    const bool result = Read(60000);
    stopper.join();

    const int32_t taken = 20000 - Ch(0).Buffered();
    std::vector<int32_t> delivered;
    for (const Line& line : ParseLines(buffer.data())) delivered.insert(delivered.end(), line.values.begin(), line.values.end());
    ASSERT_EQ(static_cast<int32_t>(delivered.size()), taken) << "round " << round;
    EXPECT_TRUE(result);
    for (int32_t i = 0; i < taken; ++i) ASSERT_EQ(delivered[i], round * 100000 + i);
  }
}

// A host that reads and flushes from two threads at once gets each value at most once and in
// order; the consumer side never runs ahead of what the reader thread wrote.
TEST_F(DataLinesTest, TwoHostThreadsReadingAndFlushingNeverSeeAValueTwice) {
  constexpr int32_t kValues = 1000000;
  std::atomic<bool> produced{false};
  // Acquire on the read position, as the reader thread does, before reusing a slot.
  auto Held = [](const ChannelRecord& ch) {
    return (ch.writePosition.load() - ch.readPosition.load(std::memory_order_acquire)) & ChannelRecord::kRingMask;
  };
  std::thread producer([&] {
    for (int32_t v = 0; v < kValues; ++v) {
      while (Held(Ch(0)) > 1000 || Held(Ch(1)) > 1000) std::this_thread::yield();
      Ch(0).Push(v);
      Ch(1).Push(v);  // the rotation waits on a channel without samples
    }
    produced = true;
  });
  auto consume = [&](bool flushes, std::vector<int32_t>& got) {
    std::vector<char> text(600);
    while (!produced || Ch(0).Buffered() > 0 || Ch(1).Buffered() > 0) {
      if (ReadDataLines(*d, text.data(), static_cast<int32_t>(text.size())))
        for (const Line& line : ParseLines(text.data()))
          if (line.channel == 1) got.insert(got.end(), line.values.begin(), line.values.end());
      if (flushes) DiscardSamples(*d);
    }
  };
  std::vector<int32_t> first, second;
  std::thread flusher([&] { consume(true, second); });
  consume(false, first);
  flusher.join();
  producer.join();

  for (const auto* got : {&first, &second})
    for (size_t i = 1; i < got->size(); ++i) ASSERT_LT((*got)[i - 1], (*got)[i]) << "at " << i;
  std::vector<bool> seen(kValues, false);
  for (const auto* got : {&first, &second})
    for (int32_t v : *got) {
      ASSERT_TRUE(v >= 0 && v < kValues) << v;
      ASSERT_FALSE(seen[v]) << v << " handed out twice";
      seen[v] = true;
    }
  EXPECT_FALSE(first.empty());
}

}  // namespace
}  // namespace vyra
