// The whole request loop over any byte stream, with any one platform call
// made to fail. Checked on every input: one exact reply per whole frame (save
// the one whose own encoding was failed), no handler run for a message that
// is answered false without dispatch, and only complete, valid documents in
// the files.
#include <algorithm>

#include "fake_platform.h"
#include "frames.h"
#include "fuzz_common.h"
#include "handlers/handlers.h"
#include "host/host.h"

using namespace tarnwick;
using testing::Op;

namespace {

bool dispatched(const std::optional<std::map<std::string, std::string>>& message) {
  if (!message) return false;
  const auto type = message->find("type");
  return type != message->end() &&
         (type->second == "ping" || type->second == "open" || type->second == "capture");
}

void checkStatusFile(const std::string& name, const std::string& content) {
  const auto document = nlohmann::json::parse(content, nullptr, false);
  fuzzing::require(document.is_object() && document.size() == 2, "a status file has two members");
  const auto browser = document.find("browser");
  fuzzing::require(browser != document.end() && browser->is_string() &&
                       name == browser->get<std::string>() + ".json",
                   "a status file names its own browser");
  fuzzing::require(std::find(allowedBrowsers.begin(), allowedBrowsers.end(),
                             browser->get<std::string>()) != allowedBrowsers.end(),
                   "only the five browsers are recorded");
  fuzzing::require(document.contains("lastSeen") && document["lastSeen"].is_number_float(),
                   "lastSeen is a floating-point number");
  fuzzing::require(content.find(' ') == std::string::npos && content.rfind("{\"browser\":", 0) == 0,
                   "a status file is compact, its keys sorted");
}

void checkCaptureFile(const std::string& content) {
  const auto document = nlohmann::json::parse(content, nullptr, false);
  fuzzing::require(document.is_object(), "the capture file is an object");
  for (const auto& [key, value] : document.items()) {
    fuzzing::require(key == "url" || key == "nonce" || key == "filename" || key == "referrer",
                     "the capture file holds only its four keys");
    fuzzing::require(value.is_string(), "every capture value is a string");
    fuzzing::require(key == "url" || key == "nonce" || !value.get<std::string>().empty(),
                     "optional capture fields are never empty");
  }
  fuzzing::require(document.contains("url") && document.contains("nonce"),
                   "the capture file has its url and nonce");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  testing::FakePlatform platform;
  // The first byte picks the call that fails (0: none), the second how the
  // stream is cut into reads.
  if (data[0] != 0) platform.failingCall = data[0];
  platform.pieceSizes = {static_cast<std::size_t>(data[1] % 13) + 1};
  platform.input.assign(reinterpret_cast<const char*>(data) + 2, size - 2);
  runHost(platform);

  const fuzzing::SplitStream frames = fuzzing::splitFrames(platform.input);
  const bool replyFailed = platform.failingCall && *platform.failingCall <= platform.calls.size() &&
                           platform.calls[*platform.failingCall - 1] == Op::Reply;
  const auto replies = testing::parseReplies(platform.output());
  fuzzing::require(replies.has_value(), "nothing but exact reply frames is written");
  if (replyFailed) {
    // The output is gone: the session ends with the frame whose reply failed.
    fuzzing::require(*platform.failingCall == platform.calls.size(),
                     "nothing runs after a failed reply");
    std::size_t consumed = 0;
    for (std::size_t j = 0; j <= replies->size(); ++j) consumed += 4 + frames.bodies.at(j).size();
    fuzzing::require(platform.inputOffset == consumed, "nothing is read after a failed reply");
  } else {
    fuzzing::require(replies->size() == frames.bodies.size(), "one reply per whole frame");
    fuzzing::require(platform.inputOffset == frames.consumed, "nothing read past a refused header");
  }

  // The calls made for each frame end with its reply.
  std::size_t frame = 0, reply = 0;
  std::vector<Op> segment;
  for (std::size_t i = 0; i < platform.calls.size(); ++i) {
    segment.push_back(platform.calls[i]);
    if (platform.calls[i] != Op::Reply) continue;
    const auto message = fuzzing::referenceDecode(frames.bodies.at(frame));
    if (!dispatched(message)) {
      fuzzing::require(segment.size() == 1, "no handler runs for an undispatched message");
      fuzzing::require(platform.failingCall == i + 1 || !(*replies)[reply],
                       "an undispatched message is answered false");
    }
    if (platform.failingCall != i + 1) ++reply;
    ++frame;
    segment.clear();
  }

  const std::string support = "/home/user/Library/Application Support/Tarnwick/";
  for (const auto& [path, content] : platform.files) {
    fuzzing::require(path.rfind(support, 0) == 0,
                     "nothing is written outside the support directory");
    const std::string name = path.substr(support.size());
    if (name == "capture-request.json") {
      checkCaptureFile(content);
    } else {
      fuzzing::require(name.rfind("BrowserStatus/", 0) == 0, "no other file is written");
      checkStatusFile(name.substr(14), content);
    }
  }
  for (const auto& url : platform.openedUrls) {
    fuzzing::require(url == "tarnwick://open", "only the application's URL is opened");
  }
  return 0;
}
