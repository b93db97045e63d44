// Receive ring and line cutting: what reaches the reply handler for a given byte stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/receive_ring.h"

namespace vyra {
namespace {

struct Cut {
  std::vector<std::string> replies;
  CutResult result;
  bool terminatedByCrNul = true;
};

// Cuts everything held; replies whose text is in `failing` report a failure status.
Cut CutAll(ReceiveRing& ring, const std::vector<std::string>& failing = {}) {
  static char scratch[ReceiveRing::kSize];
  Cut cut;
  cut.result = CutLines(ring, scratch, [&](const char* bytes, int n) -> int32_t {
    std::string reply(bytes, static_cast<size_t>(n));
    cut.terminatedByCrNul = cut.terminatedByCrNul && bytes[n] == '\r' && bytes[n + 1] == '\0';
    cut.replies.push_back(reply);
    for (const auto& f : failing)
      if (f == reply) return static_cast<int32_t>(0x80004005u);
    return 0;
  });
  return cut;
}

void Feed(ReceiveRing& ring, const std::string& bytes) {
  ASSERT_EQ(ring.Append(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
}

TEST(SerialRing, AppendKeepsOneSlotFreeAndDropsTheExcess) {
  ReceiveRing ring;
  std::string big(9000, 'a');
  EXPECT_EQ(ring.Append(big.data(), 9000), ReceiveRing::kMaxHeld);
  EXPECT_EQ(ring.Used(), 8191);
  EXPECT_EQ(ring.Append("b", 1), 0);
  EXPECT_EQ(ring.Append("b", -3), 0);
}

TEST(SerialRing, TakeLineWithoutLineFeedConsumesNothing) {
  ReceiveRing ring;
  Feed(ring, "partial\r");
  char dest[ReceiveRing::kSize];
  EXPECT_EQ(ring.TakeLine(dest), 0);
  EXPECT_EQ(ring.Used(), 8);
  Feed(ring, "\n");
  int length = -1;
  EXPECT_EQ(ring.TakeLine(dest, &length), 9);
  EXPECT_EQ(length, 8);
  EXPECT_STREQ(dest, "partial\r");
  EXPECT_EQ(ring.Used(), 0);
}

TEST(SerialRing, ConsumesCarriageReturnRightAfterLineFeed) {
  ReceiveRing ring;
  Feed(ring, "A\r\n\r\nB\r\n");
  char dest[ReceiveRing::kSize];
  int length = 0;
  EXPECT_EQ(ring.TakeLine(dest, &length), 4);  // "A\r", LF and the CR of the empty line
  EXPECT_EQ(length, 2);
  EXPECT_EQ(ring.TakeLine(dest, &length), 1);  // the empty line's LF
  EXPECT_EQ(length, 0);
  EXPECT_EQ(ring.TakeLine(dest, &length), 3);
  EXPECT_STREQ(dest, "B\r");
}

TEST(SerialRing, LinesCrossingTheWrapArriveWhole) {
  ReceiveRing ring;
  char dest[ReceiveRing::kSize];
  std::string first(5000, 'x'), second(5000, 'y');
  Feed(ring, first + "\r\n");
  ASSERT_GT(ring.TakeLine(dest), 0);
  // The second line starts near the end of the storage and wraps; its LF is the last byte.
  Feed(ring, second + "\r\n");
  int length = 0;
  EXPECT_EQ(ring.TakeLine(dest, &length), 5002);
  EXPECT_EQ(std::string(dest, 5000), second);
  EXPECT_EQ(dest[5000], '\r');
  EXPECT_EQ(dest[5001], '\0');
}

struct CutCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> replies;
  int left;  // bytes still held afterwards
};

class SerialRingCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(SerialRingCut, DispatchesTheExpectedReplies) {
  const CutCase& c = GetParam();
  ReceiveRing ring;
  Feed(ring, c.bytes);
  Cut cut = CutAll(ring);
  EXPECT_EQ(cut.replies, c.replies);
  EXPECT_EQ(cut.result.dispatched, static_cast<int>(c.replies.size()));
  EXPECT_EQ(cut.result.status, 0);
  EXPECT_TRUE(cut.terminatedByCrNul);
  EXPECT_EQ(ring.Used(), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SerialRingCut,
    ::testing::Values(
        CutCase{"OneByteReply", "S\r\n", {"S"}, 0},
        CutCase{"LeadingWhiteSpaceRemoved", " \t\x0b\x0cS,1\r\n", {"S,1"}, 0},
        CutCase{"NoCarriageReturnDropped", "abc\nS\r\n", {"S"}, 0},
        CutCase{"SingleByteWithoutCrDropped", "a\nS\r\n", {"S"}, 0},
        CutCase{"EmptyLineDoesNotHoldBackLaterReplies", "\r\nA\r\nB\r\n", {"A", "B"}, 0},
        CutCase{"BlankLineSkipped", "A\r\n \t \r\nB\r\n", {"A", "B"}, 0},
        CutCase{"ReplyFollowedByEmptyLineStillDispatched", "A\r\n\r\nB\r\n\r\n", {"A", "B"}, 0},
        CutCase{"PartialLineWaits", "A\r\nB,2", {"A"}, 3},
        CutCase{"EmbeddedNulKeepsLength", std::string("a\0b\r\n", 5), {std::string("a\0b", 3)}, 0},
        CutCase{"BareLineFeedsOnly", "\n\n\n", {}, 0},
        CutCase{"CarriageReturnInsideReplyKept", "a\rb\r\n", {"a\rb"}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SerialRing, FailedReplyDoesNotStopLaterLines) {
  ReceiveRing ring;
  Feed(ring, "F1\r\nok\r\nF2\r\nlast\r\n");
  Cut cut = CutAll(ring, {"F1", "F2"});
  EXPECT_EQ(cut.replies, (std::vector<std::string>{"F1", "ok", "F2", "last"}));
  EXPECT_EQ(cut.result.status, static_cast<int32_t>(0x80004005u));  // the first failure
  EXPECT_EQ(ring.Used(), 0);
}

TEST(SerialRing, OverlongLineIsDiscardedAndCuttingResumesAfterItsLineFeed) {
  ReceiveRing ring;
  Feed(ring, std::string(ReceiveRing::kMaxHeld, 'g'));
  Cut cut = CutAll(ring);
  EXPECT_TRUE(cut.replies.empty());
  EXPECT_EQ(ring.Used(), 0) << "a full ring without LF must be emptied";
  // The rest of the garbage line, then real replies.
  Feed(ring, std::string(100, 'g'));
  EXPECT_TRUE(CutAll(ring).replies.empty());
  Feed(ring, "gg\r\nV,1\r\nS\r\n");
  EXPECT_EQ(CutAll(ring).replies, (std::vector<std::string>{"V,1", "S"}));
}

TEST(SerialRing, LongestLineThatFitsIsDispatched) {
  ReceiveRing ring;
  std::string body(ReceiveRing::kMaxHeld - 2, 'v');  // body + CR + LF fill the ring exactly
  Feed(ring, body + "\r\n");
  Cut cut = CutAll(ring);
  ASSERT_EQ(cut.replies.size(), 1u);
  EXPECT_EQ(cut.replies[0], body);
}

}  // namespace
}  // namespace vyra
