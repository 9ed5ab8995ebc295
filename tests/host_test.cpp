// Framing and dispatch against the in-memory platform.
#include "host/host.h"

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "frames.h"
#include "host/framing.h"

namespace tarnwick::testing {
namespace {

class Framing : public ::testing::Test {
 protected:
  FakePlatform platform;

  std::string serve(const std::string& input) {
    platform.input = input;
    runHost(platform);
    return platform.output();
  }
};

TEST_F(Framing, RepliesAreExactBytesInTwoWrites) {
  EXPECT_TRUE(sendReply(platform, true));
  EXPECT_TRUE(sendReply(platform, false));
  const std::vector<std::string> expected{std::string("\x0B\x00\x00\x00", 4), R"({"ok":true})",
                                          std::string("\x0C\x00\x00\x00", 4), R"({"ok":false})"};
  EXPECT_EQ(platform.writes, expected);
}

TEST_F(Framing, EmptyInputWritesNothing) {
  EXPECT_EQ(serve(""), "");
  EXPECT_EQ(platform.readRequests, std::vector<std::size_t>{4});
}

// Each read asks for exactly the bytes still missing of the field being read,
// so nothing of the next frame is ever taken early.
TEST_F(Framing, ReadsNeverAskBeyondTheCurrentField) {
  platform.pieceSizes = {1};
  const std::string body = "[1,2]";
  EXPECT_EQ(serve(frame(body) + frame(body)), replies(kOkFalse, 2));
  const std::vector<std::size_t> oneField{4, 3, 2, 1, 5, 4, 3, 2, 1};
  std::vector<std::size_t> expected = oneField;
  expected.insert(expected.end(), oneField.begin(), oneField.end());
  expected.push_back(4);  // the read that finds the end of input
  EXPECT_EQ(platform.readRequests, expected);
}

TEST_F(Framing, PiecesOfAnySizeAreJoinedInOrder) {
  for (const auto& pieces : std::vector<std::vector<std::size_t>>{{1, 3}, {2}, {3, 1, 7}, {5000}}) {
    FakePlatform fresh;
    fresh.pieceSizes = pieces;
    fresh.input = frame(R"({"type":"nothing","padding":")" + std::string(300, 'x') + "\"}") +
                  frame("[]") + frame("not json");
    runHost(fresh);
    EXPECT_EQ(fresh.output(), replies(kOkFalse, 3));
    EXPECT_EQ(fresh.inputOffset, fresh.input.size());
  }
}

// A refused length ends the session at once: no reply, and not one byte past
// the header is read, so the frame after it is left in the stream.
class RefusedLength : public Framing, public ::testing::WithParamInterface<std::string> {};

TEST_P(RefusedLength, EndsTheLoopWithoutReadingTheBody) {
  const std::string before = frame("{}");
  EXPECT_EQ(serve(before + GetParam() + frame("{}")), kOkFalse);
  EXPECT_EQ(platform.inputOffset, before.size() + 4);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RefusedLength,
    ::testing::Values(std::string("\x00\x00\x00\x00", 4),    // zero
                      std::string("\x00\x00\x10\x00", 4),    // exactly 1 MiB
                      std::string("\xFF\xFF\xFF\xFF", 4),    // top bit set: large, not negative
                      std::string("\x00\x00\x00\x0B", 4)));  // 11 in the wrong byte order

TEST_F(Framing, ClosedOutputEndsTheLoop) {
  platform.outputClosed = true;
  serve(frame("{}") + frame("{}"));
  EXPECT_EQ(platform.inputOffset, frame("{}").size());
}

// Every body here is answered {"ok":false} without any handler running, and
// the frame after it is served as usual.
class Refused : public Framing, public ::testing::WithParamInterface<std::string> {};

TEST_P(Refused, AnsweredFalseWithoutRunningAHandler) {
  EXPECT_EQ(serve(frame(GetParam()) + frame("[]")), replies(kOkFalse, 2));
  // Writing the two replies is all it does.
  EXPECT_EQ(platform.calls, (std::vector<Op>{Op::Reply, Op::Reply}));
  EXPECT_TRUE(platform.openedUrls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Refused,
    ::testing::Values(
        // not JSON, or not strict JSON
        "not json", "{", "{\"type\":\"ping\"", "{\"type\":'ping'}", "{type:\"ping\"}",
        "{\"type\":\"ping\",}", "{\"type\":\"ping\"} x", "{\"type\":\"ping\"}{}",
        "/*c*/{\"type\":\"ping\"}", std::string("{\"type\":\"ping\"}\0", 16),
        // top levels that are not objects
        "[\"ping\"]", "[{\"type\":\"ping\"}]", "\"ping\"", "1", "null", "true",
        // invalid text inside strings
        "{\"type\":\"ping\",\"browser\":\"\xC3\"}", "{\"type\":\"p\xFFing\"}",
        "{\"type\":\"ping\",\"x\":\"\\uD800\"}", "{\"type\":\"ping\",\"x\":\"\\uDC00\"}",
        "{\"type\":\"ping\",\"x\":\"\t\"}", "{\"type\":\"ping\",\"x\":1e999}",
        // types that are not exactly one of the three
        "{}", "{\"browser\":\"chrome\"}", "{\"type\":\"PING\"}", "{\"type\":\"Ping\"}",
        "{\"type\":\" ping\"}", "{\"type\":\"ping \"}", "{\"type\":\"Open\"}",
        "{\"type\":\"open \"}", "{\"type\":\"capture\\u0000\"}", "{\"type\":\"\"}",
        "{\"Type\":\"ping\"}",
        // types that are not strings
        "{\"type\":1}", "{\"type\":true}", "{\"type\":null}", "{\"type\":[\"ping\"]}",
        "{\"type\":{\"ping\":1}}",
        // a later duplicate that is not a string replaces the string
        "{\"type\":\"ping\",\"type\":1}"));

}  // namespace
}  // namespace tarnwick::testing
