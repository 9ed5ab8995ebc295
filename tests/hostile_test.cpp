// The executable in hostile surroundings: closed or odd standard streams, few
// descriptors, no usable home directory, and being killed at any moment.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "frames.h"
#include "process.h"
#include "scratch.h"

namespace tarnwick::testing {
namespace {

constexpr uid_t kNobody = 65534;

ino_t inodeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

class Hostile : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  const std::string support = scratch / "Library/Application Support/Tarnwick";

  HostRun session(std::vector<std::string> bodies) {
    HostRun run;
    for (const auto& body : bodies) run.pieces.push_back(frame(body));
    run.environment = {{"HOME", scratch.path()}, {"PATH", "/nowhere"}};
    return run;
  }
};

const char* const kCapture =
    R"({"type":"capture","browser":"chrome","url":"https://example.test/"})";

// A standard stream the host starts without is put on /dev/null: its number
// is never handed to a file the host opens (where replies would land), and
// every request is still carried out.
TEST_F(Hostile, ClosedStandardStreamsNeverCaptureFiles) {
  const std::string second =
      R"({"type":"capture","browser":"chrome","url":"https://example.test/2"})";
  for (int closed : {1, 2}) {
    HostRun run = session({kCapture, second});
    run.closedDescriptors = {closed};
    const HostExit result = runHostBinary(run);
    EXPECT_TRUE(result.exited && result.status == 0);
    const auto capture = nlohmann::json::parse(readFile(support + "/capture-request.json"));
    EXPECT_EQ(capture.at("url"), "https://example.test/2") << "stream " << closed << " closed";
    EXPECT_EQ(nlohmann::json::parse(readFile(support + "/BrowserStatus/chrome.json")).size(), 2u);
  }
  HostRun run = session({kCapture});
  run.closedDescriptors = {0};
  const HostExit result = runHostBinary(run);
  expectCleanExit(result);
  EXPECT_EQ(result.output, "");
}

// With hardly any descriptors to spare the writes fail and say so; nothing
// crashes and nothing is left behind. Below 4 the loader itself cannot start
// the host. The sanitizers' runtime needs a pipe of its own on top, and
// another one while a file is open: its check of each new dynamic type
// probes memory through a pipe, and without one it reports a fault that is
// not there.
TEST_F(Hostile, TinyDescriptorLimitFailsRequestsCleanly) {
#if defined(TARNWICK_SANITIZED)
  constexpr rlim_t kFewest = 7;
#else
  constexpr rlim_t kFewest = 4;
#endif
  for (rlim_t limit : {kFewest, kFewest + 1, kFewest + 2}) {
    HostRun run = session({kCapture, R"({"type":"ping","browser":"edge"})", R"({"type":"open"})"});
    run.descriptorLimit = limit;
    const HostExit result = runHostBinary(run);
    expectCleanExit(result);
    const std::optional<std::vector<bool>> answers = parseReplies(result.output);
    ASSERT_TRUE(answers) << "limit " << limit;
    ASSERT_EQ(answers->size(), 3u);
    EXPECT_TRUE(answers->back());  // "open"
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch.path())) {
      if (entry.is_regular_file()) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
        EXPECT_TRUE(nlohmann::json::accept(readFile(entry.path().string()))) << entry.path();
      }
    }
  }
}

// Without an absolute HOME the user's own entry decides. For a user whose
// home directory does not exist the requests fail; nothing is written in the
// working directory.
TEST_F(Hostile, UnusableHomeAnswersFalse) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the host as another user";
  // The build may sit where the other user cannot reach; a copy here can.
  std::filesystem::permissions(scratch.path(), std::filesystem::perms::all);
  const std::string host = scratch / "tarnwick-host";
  std::filesystem::copy_file(hostBinary(), host);
  std::filesystem::permissions(host, std::filesystem::perms::all);
  for (std::optional<std::string> home :
       {std::optional<std::string>(), std::optional<std::string>("relative/home"),
        std::optional<std::string>("")}) {
    HostRun run = session({kCapture, R"({"type":"ping","browser":"edge"})"});
    run.environment["HOME"] = home;
    run.user = kNobody;
    run.program = host;
    const HostExit result = runHostBinary(run);
    expectCleanExit(result);
    EXPECT_EQ(result.output, kOkFalse + kOkFalse);
  }
  EXPECT_FALSE(std::filesystem::exists("/nonexistent"));
  EXPECT_FALSE(std::filesystem::exists("relative"));
  EXPECT_FALSE(std::filesystem::exists("Library"));
}

// The host is killed at random moments while it writes captures and
// statuses as fast as it can. After every kill each file is absent or a
// whole document, and the temporary files of killed writers are cleared by
// the next writer of the same file.
TEST_F(Hostile, KilledAtAnyMomentLeavesOnlyWholeFiles) {
  std::string stream;
  for (int i = 0; i < 400; ++i) {
    const std::string url = "https://example.test/" + std::to_string(i) + "/" +
                            std::string(static_cast<std::size_t>(i % 7) * 9000, 'p');
    stream += frame(i % 2 ? R"({"type":"ping","browser":"edge"})"
                          : R"({"type":"capture","browser":"chrome","url":")" + url + "\"}");
  }
  std::mt19937 random(20261209);
  constexpr int kKills = 40;
  int filesChecked = 0, torn = 0;
  std::size_t mostStrays = 0;
  const std::vector<std::string> documents = {"capture-request.json", "BrowserStatus/chrome.json",
                                              "BrowserStatus/edge.json"};
  for (int kill_ = 0; kill_ < kKills; ++kill_) {
    std::atomic<pid_t> host{0};
    HostRun run = session({});
    run.pieces = {stream, stream, stream};
    run.timeoutSeconds = 30;
    const int delayMs = std::uniform_int_distribution<int>(0, 40)(random);
    // The kill comes a random moment after this host's first capture is in
    // place, however slowly the host starts.
    const std::string capture = support + "/capture-request.json";
    const ino_t before = inodeOf(capture);
    std::thread killer([&] {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while ((host == 0 || inodeOf(capture) == before) &&
             std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      ::kill(host, SIGKILL);
    });
    run.onStart = [&](pid_t pid) { host = pid; };
    const HostExit result = runHostBinary(run);
    killer.join();
    ASSERT_FALSE(result.exited) << "the host finished before it was killed";
    std::size_t strays = 0;
    for (const auto& directory : {support, support + "/BrowserStatus"}) {
      for (const std::string& name : listDirectory(directory)) strays += name[0] == '.';
    }
    mostStrays = std::max(mostStrays, strays);
    for (const std::string& document : documents) {
      const std::string path = support + "/" + document;
      if (!std::filesystem::exists(path)) continue;
      ++filesChecked;
      const auto parsed = nlohmann::json::parse(readFile(path), nullptr, false);
      const bool whole = parsed.is_object() && parsed.size() == 2 &&
                         (parsed.contains("nonce") || parsed.contains("lastSeen"));
      torn += !whole;
    }
  }
  std::cout << kKills << " kills, " << filesChecked << " files checked, " << torn
            << " torn, at most " << mostStrays << " abandoned temporary files at once\n";
  EXPECT_EQ(torn, 0);
  EXPECT_GE(filesChecked, 2 * kKills);
  EXPECT_LE(mostStrays, documents.size());  // at most one per file: the last killed writer's

  // A whole session afterwards clears whatever the last kill left.
  const HostExit result = runHostBinary(session({kCapture, R"({"type":"ping","browser":"edge"})"}));
  expectCleanExit(result);
  for (const auto& directory : {support, support + "/BrowserStatus"}) {
    for (const std::string& name : listDirectory(directory)) EXPECT_NE(name[0], '.') << name;
  }
}

}  // namespace
}  // namespace tarnwick::testing
