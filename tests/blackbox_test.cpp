// The built executable, driven through pipes as a browser drives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "frames.h"
#include "host/framing.h"
#include "opener.h"
#include "process.h"
#include "scratch.h"

namespace tarnwick::testing {
namespace {

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

// Non-blocking streams make reads and writes fail with EAGAIN: input that
// arrives slowly, and output whose pipe fills up while nobody reads it.
TEST(Executable, NonBlockingStreamsAreWaitedOn) {
  HostRun run;
  run.nonBlockingInput = true;
  run.nonBlockingOutput = true;
  run.pauseMs = 20;
  run.outputReadDelayMs = 300;
  const std::string whole = frame("{}");
  run.pieces = {whole.substr(0, 2), whole.substr(2, 3), whole.substr(5)};
  constexpr int kFrames = 10000;  // 120 kB of replies, more than a pipe holds
  run.pieces.push_back(replies(whole, kFrames - 1));
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkFalse, kFrames));
}

// The input ends: at once, or inside the next frame's header or body. Each
// whole frame is answered, a cut one is not, and the host exits quietly.
TEST(Executable, EndOfInputAnywhereEndsQuietly) {
  const std::string next = frame("{\"type\":\"x\"}");
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {frame("{}") + next.substr(0, 2), kOkFalse},
      {frame("{}") + next.substr(0, next.size() - 3), kOkFalse},
  };
  for (const auto& [input, output] : cases) {
    const HostExit result = runHostBinary({.pieces = {input}});
    expectCleanExit(result);
    EXPECT_EQ(result.output, output) << input.size() << " bytes in";
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

namespace tarnwick::testing {
namespace {

// The executable serving real requests, with its home directory and its URL
// opener in a scratch directory.
class EndToEnd : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  const std::string support = scratch / "Library/Application Support/Tarnwick";
  const std::string record = scratch / "opener-record";

  void SetUp() override {
    std::filesystem::create_directory(scratch / "bin");
    writeOpener(scratch / "bin", record);
  }

  HostRun session(std::vector<std::string> bodies) {
    HostRun run;
    for (const auto& body : bodies) run.pieces.push_back(frame(body));
    run.environment = {{"HOME", scratch.path()}, {"PATH", scratch / "bin:/usr/bin:/bin"}};
    return run;
  }

  nlohmann::json readJson(const std::string& relative) {
    return nlohmann::json::parse(readFile(support + "/" + relative));
  }

  int openerRuns() {
    const std::string text = readFile(record);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n') / 6);
  }
};

TEST_F(EndToEnd, AllThreeRequestsDoTheirWork) {
  const double before = static_cast<double>(time(nullptr));
  const HostExit result = runHostBinary(session({
      R"({"type":"ping","browser":"chrome"})",
      R"({"type":"capture","browser":"edge","url":"https://example.test/é?a=1&b=\u0000",)"
      R"("filename":"report.pdf","referrer":"","extra":1})",
      R"({"type":"open","browser":"brave"})",
      R"({"type":"ping","browser":"opera"})",
      R"({"type":"capture"})",
  }));
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkTrue, 4) + kOkFalse);

  const nlohmann::json chrome = readJson("BrowserStatus/chrome.json");
  EXPECT_EQ(chrome.at("browser"), "chrome");
  EXPECT_GE(chrome.at("lastSeen").get<double>(), before);
  EXPECT_EQ(readJson("BrowserStatus/edge.json").at("browser"), "edge");
  EXPECT_EQ(readJson("BrowserStatus/brave.json").at("browser"), "brave");
  EXPECT_EQ(listDirectory(support + "/BrowserStatus"),
            (std::vector<std::string>{"brave.json", "chrome.json", "edge.json"}));

  const nlohmann::json capture = readJson("capture-request.json");
  EXPECT_EQ(capture.size(), 3u);
  EXPECT_EQ(capture.at("url"), std::string("https://example.test/é?a=1&b=\0", 31));
  EXPECT_EQ(capture.at("filename"), "report.pdf");
  EXPECT_TRUE(std::regex_match(capture.at("nonce").get<std::string>(), std::regex(kNoncePattern)));
  EXPECT_EQ(listDirectory(support),
            (std::vector<std::string>{"BrowserStatus", "capture-request.json"}));

  EXPECT_EQ(readFile(record).substr(0, 21), "args:tarnwick://open\n");
  EXPECT_EQ(openerRuns(), 1);
}

TEST_F(EndToEnd, NoisyOpenerNeverReachesTheFrameStream) {
  writeOpener(scratch / "bin", record, 9,
              "echo out; echo err >&2; printf 'xxxx' > /dev/stdout; printf 'e' > /dev/stderr");
  const HostExit result =
      runHostBinary(session({R"({"type":"open"})", R"({"type":"open"})", R"({"type":"open"})"}));
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkTrue, 3));
  EXPECT_EQ(openerRuns(), 3);
}

TEST_F(EndToEnd, UnusableHomeFailsTheRequestAndWritesNothing) {
  writeFile(scratch / "file", "");
  HostRun run = session({R"({"type":"ping","browser":"chrome"})", R"({"type":"capture","url":"u"})",
                         R"({"type":"open","browser":"chrome"})"});
  run.environment["HOME"] = scratch / "file";
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, kOkFalse + kOkFalse + kOkTrue);
  EXPECT_EQ(readFile(scratch / "file"), "");
}

TEST_F(EndToEnd, MissingOpenerStillAnswers) {
  HostRun run = session({R"({"type":"open","browser":"vivaldi"})"});
  run.environment["PATH"] = scratch / "nowhere";
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, kOkTrue);
  EXPECT_EQ(readJson("BrowserStatus/vivaldi.json").at("browser"), "vivaldi");
}

// An opener that runs on (as one that starts the application in the
// foreground does) holds the host up for about a second, not until it ends,
// and the host's children do not linger as zombies (found with ps, on every
// system).
TEST_F(EndToEnd, LingeringOpenerNeitherHangsTheHostNorLeavesZombies) {
  writeOpener(scratch / "bin", record, 9, "echo $$ >> '" + scratch / "pids" + "'; sleep 60");
  HostRun run = session({R"({"type":"open"})", R"({"type":"open"})"});
  run.pieces.push_back("");  // keep the session open while the host's children are examined
  run.whileRunning = [&](pid_t host) {
    // A zombie never goes away by itself, so the children must all be gone
    // once the host has answered.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((openerRuns() < 2 || !childrenOf(host).empty()) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(childrenOf(host).empty());
  };
  const auto start = std::chrono::steady_clock::now();
  const HostExit result = runHostBinary(run);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  expectCleanExit(result);
  EXPECT_EQ(result.output, replies(kOkTrue, 2));
  EXPECT_LT(elapsed, std::chrono::seconds(20)) << "the host waited for its opener to finish";
  std::istringstream pids(readFile(scratch / "pids"));
  int count = 0;
  for (pid_t pid; pids >> pid; ++count)
    EXPECT_EQ(kill(pid, SIGKILL), 0) << "opener was not left running";
  EXPECT_EQ(count, 2);
}

// Several hosts replace the same files at once while a reader keeps decoding
// them: every read finds a whole, valid document.
TEST_F(EndToEnd, ConcurrentWritersNeverShowAPartialFile) {
  constexpr int kHosts = 3;
  constexpr int kRequests = 40;
  std::vector<std::string> bodies;
  for (int i = 0; i < kRequests; ++i) {
    bodies.push_back(R"({"type":"capture","browser":"chrome","url":"https://example.test/)" +
                     std::to_string(i) + "/" + std::string(static_cast<std::size_t>(i) * 100, 'p') +
                     "\"}");
  }
  std::atomic<bool> writing{true};
  std::atomic<int> wholeReads{0}, badReads{0};
  std::thread reader([&] {
    while (writing) {
      for (const char* name : {"capture-request.json", "BrowserStatus/chrome.json"}) {
        std::ifstream in(support + "/" + name, std::ios::binary);
        if (!in) continue;
        const std::string text((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        const auto parsed = nlohmann::json::parse(text, nullptr, false);
        const bool whole =
            !parsed.is_discarded() &&
            (parsed.contains("nonce") ? parsed.size() == 2 && parsed.contains("url")
                                      : parsed.size() == 2 && parsed.contains("lastSeen"));
        (whole ? wholeReads : badReads)++;
      }
    }
  });
  std::vector<std::thread> hosts;
  std::vector<HostExit> results(kHosts);
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back(
        [&, h] { results[static_cast<std::size_t>(h)] = runHostBinary(session(bodies)); });
  }
  for (auto& host : hosts) host.join();
  writing = false;
  reader.join();
  for (const HostExit& result : results) {
    expectCleanExit(result);
    EXPECT_EQ(result.output, replies(kOkTrue, kRequests));
  }
  EXPECT_EQ(badReads, 0);
  EXPECT_GT(wholeReads, 0);
  EXPECT_EQ(listDirectory(support),
            (std::vector<std::string>{"BrowserStatus", "capture-request.json"}));
  EXPECT_EQ(listDirectory(support + "/BrowserStatus"), std::vector<std::string>{"chrome.json"});
}

}  // namespace
}  // namespace tarnwick::testing
