// Every platform call of every request type made to fail in turn: the reply
// follows the failure rules and no file changes unless its write went through.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "fake_platform.h"
#include "frames.h"
#include "host/host.h"

namespace tarnwick::testing {
namespace {

const std::string kSupport = "/home/user/Library/Application Support/Tarnwick";
const std::string kStatusFile = kSupport + "/BrowserStatus/chrome.json";
const std::string kCaptureFile = kSupport + "/capture-request.json";

struct Request {
  const char* name;
  const char* body;
};

class FaultSweep : public ::testing::TestWithParam<Request> {
 protected:
  static FakePlatform prepared() {
    FakePlatform platform;
    platform.directories.insert({kSupport, kSupport + "/BrowserStatus"});
    platform.files = {{kStatusFile, "previous status"}, {kCaptureFile, "previous capture"}};
    platform.input = frame(GetParam().body);
    return platform;
  }

  // The 1-based position of the n-th call of `op`, or 0.
  static std::size_t position(const std::vector<Op>& calls, Op op, int n = 1) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == op && --n == 0) return i + 1;
    }
    return 0;
  }
};

TEST_P(FaultSweep, EachFailingCallHasItsSpecifiedOutcome) {
  const std::string type = nlohmann::json::parse(GetParam().body).at("type");
  const bool namesBrowser = std::string(GetParam().body).find("chrome") != std::string::npos;
  FakePlatform baseline = prepared();
  runHost(baseline);
  const std::vector<Op> calls = baseline.calls;
  ASSERT_EQ(baseline.output(), kOkTrue) << "the request must succeed when nothing fails";

  // Where the recorder's part ends and each file's write happens.
  const std::size_t statusWrite = namesBrowser ? position(calls, Op::WriteFile) : 0;
  const std::size_t captureWrite =
      type == "capture" ? position(calls, Op::WriteFile, namesBrowser ? 2 : 1) : 0;
  const std::size_t recorderEnd =
      type == "capture" ? position(calls, Op::NewIdentifier) : calls.size();

  for (std::size_t k = 1; k <= calls.size(); ++k) {
    SCOPED_TRACE("failing call " + std::to_string(k) + " of " + std::to_string(calls.size()));
    FakePlatform platform = prepared();
    platform.failingCall = k;
    runHost(platform);
    const Op failed = calls[k - 1];

    std::string expectedReply;
    if (failed == Op::Reply) {
      expectedReply = "";  // nothing can be sent
    } else if (type == "open" || failed == Op::Time || failed == Op::OpenUrl) {
      expectedReply = kOkTrue;  // open always succeeds; the clock cannot fail
    } else if (type == "capture") {
      // The recorder's failures never reach the capture's result; the
      // capture's own directory creation is not decisive either.
      expectedReply = k < recorderEnd || failed == Op::CreateDirectory ? kOkTrue : kOkFalse;
    } else {
      expectedReply = kOkFalse;
    }
    EXPECT_EQ(platform.output(), expectedReply);

    // A file changes only when its own write was reached and went through:
    // nothing before it failed except what is not decisive for it.
    const bool statusWritten =
        statusWrite != 0 && (k > statusWrite || (k < statusWrite && failed == Op::Time));
    const bool captureWritten =
        captureWrite != 0 &&
        (k > captureWrite ||
         (k < captureWrite &&
          (k < recorderEnd || failed == Op::CreateDirectory || failed == Op::Time)));
    if (statusWritten) {
      const auto status = nlohmann::json::parse(platform.files.at(kStatusFile));
      EXPECT_EQ(status, (nlohmann::json{{"browser", "chrome"}, {"lastSeen", platform.now}}));
    } else {
      EXPECT_EQ(platform.files.at(kStatusFile), "previous status");
    }
    if (captureWritten) {
      EXPECT_EQ(nlohmann::json::parse(platform.files.at(kCaptureFile)).at("url"),
                "https://example.test/");
    } else {
      EXPECT_EQ(platform.files.at(kCaptureFile), "previous capture");
    }
    EXPECT_EQ(platform.files.size(), 2u);
    EXPECT_EQ(platform.openedUrls.size(), type == "open" && failed != Op::OpenUrl ? 1u : 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, FaultSweep,
    ::testing::Values(
        Request{"ping", R"({"type":"ping","browser":"chrome"})"},
        Request{
            "capture",
            R"({"type":"capture","browser":"chrome","url":"https://example.test/","filename":"f"})"},
        Request{"captureWithoutBrowser", R"({"type":"capture","url":"https://example.test/"})"},
        Request{"open", R"({"type":"open","browser":"chrome"})"},
        Request{"openWithoutBrowser", R"({"type":"open"})"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace tarnwick::testing
