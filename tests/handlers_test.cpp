// The three request handlers against the in-memory platform: their own
// rules. What each failing platform call does to every request is swept in
// fault_sweep_test.cpp.
#include "handlers/handlers.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "fake_platform.h"
#include "host/host.h"

namespace tarnwick::testing {
namespace {

const std::string kSupport = "/home/user/Library/Application Support/Tarnwick";
const std::string kStatus = kSupport + "/BrowserStatus";
const std::string kCapture = kSupport + "/capture-request.json";

std::string statusFile(const std::string& browser) { return kStatus + "/" + browser + ".json"; }

class Handlers : public ::testing::Test {
 protected:
  FakePlatform platform;

  nlohmann::json capture() const { return nlohmann::json::parse(platform.files.at(kCapture)); }
};

// --- browser status ---------------------------------------------------------

class NothingToRecord : public Handlers, public ::testing::WithParamInterface<MessageObject> {};

TEST_P(NothingToRecord, SucceedsWithoutTouchingThePlatform) {
  const auto directoriesBefore = platform.directories;
  EXPECT_TRUE(recordBrowserStatus(platform, GetParam()));
  EXPECT_TRUE(platform.calls.empty());
  EXPECT_TRUE(platform.files.empty());
  EXPECT_EQ(platform.directories, directoriesBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, NothingToRecord,
    ::testing::Values(MessageObject{}, MessageObject{{"type", "ping"}},
                      MessageObject{{"browser", "Chrome"}}, MessageObject{{"browser", "CHROME"}},
                      MessageObject{{"browser", ""}}, MessageObject{{"browser", " chrome"}},
                      MessageObject{{"browser", "chrome "}}, MessageObject{{"browser", "chrom"}},
                      MessageObject{{"browser", "chromeium"}}, MessageObject{{"browser", "safari"}},
                      MessageObject{{"browser", "../chrome"}},
                      MessageObject{{"browser", std::string("chrome\0", 7)}},
                      MessageObject{{"Browser", "chrome"}}));

TEST_F(Handlers, EachAllowedBrowserGetsItsOwnFile) {
  for (std::string_view name : allowedBrowsers) {
    const std::string browser(name);
    EXPECT_TRUE(
        recordBrowserStatus(platform, {{"browser", browser}, {"url", "x"}, {"type", "ping"}}));
    EXPECT_EQ(platform.files.at(statusFile(browser)),
              R"({"browser":")" + browser + R"(","lastSeen":1700000000.25})");
  }
  EXPECT_EQ(platform.files.size(), allowedBrowsers.size());
  EXPECT_TRUE(platform.directories.count(kSupport));
}

TEST_F(Handlers, LaterRecordReplacesOnlyItsOwnBrowsersFile) {
  ASSERT_TRUE(recordBrowserStatus(platform, {{"browser", "edge"}}));
  ASSERT_TRUE(recordBrowserStatus(platform, {{"browser", "brave"}}));
  platform.now = 1800000000.5;
  ASSERT_TRUE(recordBrowserStatus(platform, {{"browser", "edge"}}));
  EXPECT_EQ(platform.files.at(statusFile("edge")), R"({"browser":"edge","lastSeen":1800000000.5})");
  EXPECT_EQ(platform.files.at(statusFile("brave")),
            R"({"browser":"brave","lastSeen":1700000000.25})");
}

// A file where a directory must be fails the request and writes nothing,
// for the recorder and the capture alike.
TEST_F(Handlers, AFileInTheWayFailsTheRequest) {
  const auto record = [](Platform& p) { return recordBrowserStatus(p, {{"browser", "chrome"}}); };
  const auto capture = [](Platform& p) { return writeCaptureRequest(p, {{"url", "u"}}); };
  const std::pair<std::function<bool(Platform&)>, std::string> cases[] = {
      {record, kSupport}, {record, kStatus}, {capture, kSupport}};
  for (const auto& [request, blocked] : cases) {
    FakePlatform fresh;
    fresh.files[blocked] = "not a directory";
    EXPECT_FALSE(request(fresh)) << blocked;
    EXPECT_EQ(fresh.files.size(), 1u);
  }
}

// --- capture ----------------------------------------------------------------

// Without a string "url" the capture does nothing at all: not even the
// browser's status is recorded.
TEST_F(Handlers, CaptureWithoutStringUrlDoesNothing) {
  platform.files[kCapture] = "earlier";
  for (const MessageObject& message :
       {MessageObject{{"browser", "chrome"}}, MessageObject{{"URL", "x"}, {"browser", "chrome"}},
        MessageObject{{"url ", "x"}, {"browser", "chrome"}}}) {
    EXPECT_FALSE(writeCaptureRequest(platform, message));
  }
  EXPECT_TRUE(platform.calls.empty());
  EXPECT_EQ(platform.files, (std::map<std::string, std::string>{{kCapture, "earlier"}}));
}

TEST_F(Handlers, CaptureCopiesOnlyItsFieldsVerbatim) {
  ASSERT_TRUE(writeCaptureRequest(platform, {{"type", "capture"},
                                             {"url", "not a url at all"},
                                             {"filename", " "},
                                             {"referrer", "https://example.test/a?b#c"},
                                             {"browser", "chrome"},
                                             {"extra", "never written"}}));
  EXPECT_EQ(capture(), (nlohmann::json{{"url", "not a url at all"},
                                       {"nonce", "00000000-0000-4000-8000-000000000001"},
                                       {"filename", " "},
                                       {"referrer", "https://example.test/a?b#c"}}));
  EXPECT_TRUE(platform.files.count(statusFile("chrome")));
}

TEST_F(Handlers, CaptureLeavesOutEmptyOptionalFields) {
  // A non-string "filename" never reaches the message object at all.
  ASSERT_TRUE(writeCaptureRequest(platform, {{"url", ""}, {"filename", ""}, {"referrer", ""}}));
  EXPECT_EQ(capture(),
            (nlohmann::json{{"url", ""}, {"nonce", "00000000-0000-4000-8000-000000000001"}}));
}

TEST_F(Handlers, EveryCaptureGetsAFreshNonceAndReplacesTheLast) {
  ASSERT_TRUE(writeCaptureRequest(platform, {{"url", "first"}}));
  const std::string firstNonce = capture().at("nonce");
  ASSERT_TRUE(writeCaptureRequest(platform, {{"url", "second"}}));
  EXPECT_EQ(capture().at("url"), "second");
  EXPECT_NE(capture().at("nonce"), firstNonce);
}

TEST_F(Handlers, CaptureTextReadsBackUnchanged) {
  const std::string url = std::string("https://例え.test/\0?q=\"é\"\\", 29) + "\xF0\x9F\x98\x80";
  const std::string name = std::string("a\0b/../c\n\t", 10);
  ASSERT_TRUE(writeCaptureRequest(platform, {{"url", url}, {"filename", name}, {"referrer", "ü"}}));
  EXPECT_EQ(capture().at("url"), url);
  EXPECT_EQ(capture().at("filename"), name);
  EXPECT_EQ(capture().at("referrer"), "ü");
}

TEST_F(Handlers, CaptureDirectoryFailureLetsTheWriteDecide) {
  platform.failing = {Op::CreateDirectory};
  EXPECT_FALSE(writeCaptureRequest(platform, {{"url", "u"}}));  // no directory: the write fails
  platform.directories.insert(kSupport);
  EXPECT_TRUE(writeCaptureRequest(platform, {{"url", "u"}}));  // already there: it succeeds
  EXPECT_EQ(capture().at("url"), "u");
}

// --- dispatch to the handlers -------------------------------------------------

TEST_F(Handlers, PingRepliesWithTheRecordersResult) {
  EXPECT_TRUE(handleMessage(platform, {{"type", "ping"}}));
  EXPECT_TRUE(handleMessage(platform, {{"type", "ping"}, {"browser", "chromium"}}));
  EXPECT_TRUE(platform.files.count(statusFile("chromium")));
}

TEST_F(Handlers, OpenRecordsTheStatusThenHandsOverTheUrl) {
  EXPECT_TRUE(handleMessage(platform, {{"type", "open"}, {"browser", "chrome"}, {"url", "x"}}));
  EXPECT_TRUE(platform.files.count(statusFile("chrome")));
  ASSERT_EQ(platform.calls.back(), Op::OpenUrl);
  EXPECT_EQ(platform.calls.end()[-2], Op::WriteFile);
  EXPECT_EQ(platform.openedUrls, std::vector<std::string>{"tarnwick://open"});
}

TEST_F(Handlers, CaptureIsServedByItsHandlerAlone) {
  EXPECT_TRUE(handleMessage(platform, {{"type", "capture"}, {"url", "u"}, {"browser", "brave"}}));
  EXPECT_EQ(platform.count(Op::OpenUrl), 0u);
  EXPECT_EQ(platform.count(Op::WriteFile), 2u);  // the status, then the capture
  EXPECT_FALSE(handleMessage(platform, {{"type", "capture"}}));
}

}  // namespace
}  // namespace tarnwick::testing
