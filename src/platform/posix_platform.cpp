// The host's platform, over the operating-system layer.
#include <array>
#include <set>

#include "platform/operating_system.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/system.h"
#include "util/hex.h"

namespace tarnwick {
namespace {

// How long the opener is waited for before it is left to run on.
constexpr std::int64_t kOpenerWaitMilliseconds = 1000;

class SystemPlatform final : public Platform {
 public:
  SystemPlatform() : streamsUsable_(os::prepareStandardStreams().ok()) {}

  // A failed read is the end of the input.
  std::size_t readInput(std::span<char> into) override {
    std::size_t got = 0;
    if (!streamsUsable_ || !os::readSome(os::kStandardInput, into, &got).ok()) return 0;
    return got;
  }

  bool writeOutput(std::string_view bytes) override {
    return streamsUsable_ && os::writeAll(os::kStandardOutput, bytes).ok();
  }

  std::optional<std::string> homeDirectory() override { return os::homeDirectory(); }

  // Directories get 0777 less the umask, as the user's own files would.
  bool createDirectory(const std::string& path) override {
    return os::createDirectories(path).ok();
  }

  // The files hold browsing history, so they are private to the user.
  // Abandoned temporary files are cleared once per target and process, which
  // keeps the directory listing off a long session's path.
  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    const bool firstWrite = cleanedTargets_.insert(path).second;
    return os::writeFileAtomically(path, bytes, 0600, firstWrite).ok();
  }

  std::optional<std::string> newIdentifier() override {
    std::array<unsigned char, 16> bytes{};
    if (!os::fillRandom(bytes).ok()) return std::nullopt;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string text;
    text.reserve(36);
    for (const std::size_t start : {0UL, 4UL, 6UL, 8UL, 10UL}) {
      if (start > 0) text.push_back('-');
      const std::size_t end = start == 10 ? 16 : start == 0 ? 4 : start + 2;
      appendHex(text, std::span(bytes).subspan(start, end - start), HexCase::Upper);
    }
    return text;
  }

  double currentTime() override { return os::wallClockSeconds(); }

  // The opener is waited for about a second; one that keeps running (it
  // runs the application in the foreground) is left to the system, so the
  // host never collects zombies however long its session. It gets its
  // standard streams on /dev/null, no other descriptor of the host, default
  // signal handling and a session of its own, so nothing it or its children
  // do can reach the frame stream.
  void openUrl(std::string_view url) override {
    os::ProcessOptions options;
    options.arguments = {std::string(urlOpener(currentSystem())), std::string(url)};
    options.searchPath = true;
    options.grouping = os::Grouping::OwnSession;
    os::runDetached(options, kOpenerWaitMilliseconds);
  }

 private:
  bool streamsUsable_;
  std::set<std::string> cleanedTargets_;  // targets cleared of abandoned temporaries
};

}  // namespace

std::unique_ptr<Platform> makeSystemPlatform() { return std::make_unique<SystemPlatform>(); }

}  // namespace tarnwick
