// Receive buffer and line cutting: what reaches the reply handler for a given byte stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/receive_buffer.h"

namespace vyra {
namespace {

struct Cut {
  std::vector<std::string> replies;
  CutResult result;
  bool terminatedByCrNul = true;
};

// Cuts everything held; replies whose text is in `failing` report a failure status.
Cut CutAll(ReceiveBuffer& buffer, const std::vector<std::string>& failing = {}) {
  Cut cut;
  cut.result = CutLines(buffer, [&](const char* bytes, int n) -> int32_t {
    std::string reply(bytes, static_cast<size_t>(n));
    cut.terminatedByCrNul = cut.terminatedByCrNul && bytes[n] == '\r' && bytes[n + 1] == '\0';
    cut.replies.push_back(reply);
    for (const auto& f : failing)
      if (f == reply) return static_cast<int32_t>(0x80004005u);
    return 0;
  });
  return cut;
}

void Feed(ReceiveBuffer& buffer, const std::string& bytes) {
  ASSERT_EQ(buffer.Append(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
}

TEST(ReceiveBuffer, AppendKeepsOneSlotFreeAndDropsTheExcess) {
  ReceiveBuffer buffer;
  std::string big(9000, 'a');
  EXPECT_EQ(buffer.Append(big.data(), 9000), ReceiveBuffer::kMaxHeld);
  EXPECT_EQ(buffer.Used(), 8191);
  EXPECT_EQ(buffer.Append("b", 1), 0);
  EXPECT_EQ(buffer.Append("b", -3), 0);
}

TEST(ReceiveBuffer, NextLineWithoutLineFeedConsumesNothing) {
  ReceiveBuffer buffer;
  Feed(buffer, "partial\r");
  const char* line = nullptr;
  int length = -1;
  EXPECT_EQ(buffer.NextLine(&line, &length), 0);
  EXPECT_EQ(buffer.Used(), 8);
  Feed(buffer, "\n");
  EXPECT_EQ(buffer.NextLine(&line, &length), 9);
  EXPECT_EQ(length, 8);
  EXPECT_STREQ(line, "partial\r");
  EXPECT_EQ(buffer.Used(), 0);
}

TEST(ReceiveBuffer, ConsumesCarriageReturnRightAfterLineFeed) {
  ReceiveBuffer buffer;
  Feed(buffer, "A\r\n\r\nB\r\n");
  const char* line = nullptr;
  int length = 0;
  EXPECT_EQ(buffer.NextLine(&line, &length), 4);  // "A\r", LF and the CR of the empty line
  EXPECT_EQ(length, 2);
  EXPECT_EQ(buffer.NextLine(&line, &length), 1);  // the empty line's LF
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buffer.NextLine(&line, &length), 3);
  EXPECT_STREQ(line, "B\r");
}

TEST(ReceiveBuffer, LineHeldAcrossReadsArrivesWhole) {
  ReceiveBuffer buffer;
  const std::string first(5000, 'x'), second(5000, 'y');
  // The second line's start is held behind the first; when its rest arrives the held part
  // moves to the front and the line is cut whole.
  Feed(buffer, first + "\r\n" + second.substr(0, 3000));
  EXPECT_EQ(CutAll(buffer).replies, std::vector<std::string>{first});
  EXPECT_EQ(buffer.Used(), 3000);
  Feed(buffer, second.substr(3000) + "\r\nS\r\n");
  EXPECT_EQ(CutAll(buffer).replies, (std::vector<std::string>{second, "S"}));
  EXPECT_EQ(buffer.Used(), 0);
}

struct CutCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> replies;
  int left;  // bytes still held afterwards
};

class ReceiveBufferCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(ReceiveBufferCut, DispatchesTheExpectedReplies) {
  const CutCase& c = GetParam();
  ReceiveBuffer buffer;
  Feed(buffer, c.bytes);
  Cut cut = CutAll(buffer);
  EXPECT_EQ(cut.replies, c.replies);
  EXPECT_EQ(cut.result.dispatched, static_cast<int>(c.replies.size()));
  EXPECT_EQ(cut.result.status, 0);
  EXPECT_TRUE(cut.terminatedByCrNul);
  EXPECT_EQ(buffer.Used(), c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ReceiveBufferCut,
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

TEST(ReceiveBuffer, FailedReplyDoesNotStopLaterLines) {
  ReceiveBuffer buffer;
  Feed(buffer, "F1\r\nok\r\nF2\r\nlast\r\n");
  Cut cut = CutAll(buffer, {"F1", "F2"});
  EXPECT_EQ(cut.replies, (std::vector<std::string>{"F1", "ok", "F2", "last"}));
  EXPECT_EQ(cut.result.status, static_cast<int32_t>(0x80004005u));  // the first failure
  EXPECT_EQ(buffer.Used(), 0);
}

TEST(ReceiveBuffer, OverlongLineIsDiscardedAndCuttingResumesAfterItsLineFeed) {
  ReceiveBuffer buffer;
  Feed(buffer, std::string(ReceiveBuffer::kMaxHeld, 'g'));
  Cut cut = CutAll(buffer);
  EXPECT_TRUE(cut.replies.empty());
  EXPECT_EQ(buffer.Used(), 0) << "a full buffer without LF must be emptied";
  // The rest of the garbage line, then real replies.
  Feed(buffer, std::string(100, 'g'));
  EXPECT_TRUE(CutAll(buffer).replies.empty());
  Feed(buffer, "gg\r\nV,1\r\nS\r\n");
  EXPECT_EQ(CutAll(buffer).replies, (std::vector<std::string>{"V,1", "S"}));
}

TEST(ReceiveBuffer, LongestLineThatFitsIsDispatched) {
  ReceiveBuffer buffer;
  std::string body(ReceiveBuffer::kMaxHeld - 2, 'v');  // body + CR + LF fill the buffer exactly
  Feed(buffer, body + "\r\n");
  Cut cut = CutAll(buffer);
  ASSERT_EQ(cut.replies.size(), 1u);
  EXPECT_EQ(cut.replies[0], body);
}

}  // namespace
}  // namespace vyra
