// The built executable, driven through pipes as a browser drives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "frames.h"
#include "host/framing.h"
#include "process.h"

namespace tarnwick::testing {
namespace {

void expectCleanExit(const HostExit& result) {
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
}

TEST(Executable, EmptyInputEndsQuietly) {
  const HostExit result = runHostBinary({});
  expectCleanExit(result);
  EXPECT_EQ(result.output, "");
}

TEST(Executable, FramesInPiecesAndBurstsAreAnsweredInOrder) {
  const std::string body = R"({"type":"unknown","padding":")" + std::string(2000, 'x') + "\"}";
  const std::string first = frame(body);
  HostRun run;
  run.arguments = {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"};
  run.pauseMs = 5;
  run.pieces = {first.substr(0, 1), first.substr(1, 3)};  // header: one byte, then three
  for (std::size_t at = 4; at < first.size(); at += 250)
    run.pieces.push_back(first.substr(at, 250));
  run.pieces.push_back(frame("[]") + frame("nope") + frame("{\"type\":1}"));  // one burst
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkFalse, 4));
}

TEST(Executable, NonBlockingStreamsAreWaitedOn) {
  HostRun run;
  run.nonBlockingInput = true;
  run.nonBlockingOutput = true;
  run.pauseMs = 20;
  const std::string whole = frame("{}");
  run.pieces = {whole.substr(0, 2), whole.substr(2, 3), whole.substr(5), whole};
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkFalse, 2));
}

TEST(Executable, CutShortFrameGetsNoReply) {
  const std::string next = frame("{\"type\":\"x\"}");
  for (std::size_t cut : {std::size_t{2}, next.size() - 3}) {
    const HostExit result = runHostBinary({.pieces = {frame("{}"), next.substr(0, cut)}});
    expectCleanExit(result);
    EXPECT_EQ(result.output, kOkFalse);
  }
}

// With standard input on a regular file the shared file offset shows exactly
// how far the host read: up to the refused header and not one byte further.
TEST(Executable, RefusedLengthStopsReadingRightAfterTheHeader) {
  for (const std::string& refused :
       {lengthBytes(0), lengthBytes(kMaxInboundLength + 1), lengthBytes(0xFFFFFFFF)}) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const std::string before = frame("{}") + frame("[]");
    const std::string all = before + refused + frame("{}");
    ASSERT_EQ(::write(fileno(file), all.data(), all.size()), static_cast<ssize_t>(all.size()));
    ::lseek(fileno(file), 0, SEEK_SET);
    const HostExit result = runHostBinary({.inputDescriptor = fileno(file)});
    expectCleanExit(result);
    EXPECT_EQ(result.output, replies(kOkFalse, 2));
    EXPECT_EQ(::lseek(fileno(file), 0, SEEK_CUR), static_cast<off_t>(before.size() + 4));
    std::fclose(file);
  }
}

TEST(Executable, LargestBodiesAreAnswered) {
  const std::string deep = deepArray(kMaxInboundLength);
  const std::string longString =
      R"({"type":"nothing","url":")" + std::string(kMaxInboundLength - 27, 'u') + "\"}";
  ASSERT_EQ(longString.size(), kMaxInboundLength);
  const HostExit result = runHostBinary({.pieces = {frame(deep), frame(longString), frame("{}")}});
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkFalse, 3));
}

TEST(Executable, SurvivesItsReaderGoingAway) {
  HostRun run;
  run.closeOutputFirst = true;
  for (int i = 0; i < 50; ++i) run.pieces.push_back(frame("{}"));
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
}

}  // namespace
}  // namespace tarnwick::testing
