#include "self_test.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/framing.h"
#include "platform/process.h"
#include "platform/system.h"
#include "util/hex.h"

namespace tarnwick::registration {
namespace {

constexpr std::string_view kPing = "{\"type\":\"ping\"}";
// The host's own promise: a reply within 2 s, and an exit within 2 s of its
// input closing.
constexpr std::int64_t kLimitMs = 2000;
// The browser waits for a reply for ever; the doctor waits this long before
// it calls a host hung.
constexpr std::int64_t kPatienceMs = 5000;
// The longest message the browser takes from a host
// (chrome/browser/extensions/api/messaging/native_message_process_host.cc,
// kMaximumNativeMessageSize).
constexpr std::uint32_t kBrowserMessageLimit = 1024 * 1024;
// What the self-test keeps of each stream: far more than a good host ever
// writes, and little enough that a host flooding its output costs nothing.
constexpr std::size_t kKeptBytes = 64 * 1024;

// Bytes as readable text: printable ASCII as it is, the rest as \xNN.
std::string shown(std::string_view bytes, std::size_t limit = 48) {
  std::string text;
  for (const char c : bytes.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(c);
    } else {
      text += "\\x";
      appendHex(text, std::span(&byte, 1));
    }
  }
  if (bytes.size() > limit) text += "...";
  return "\"" + text + "\"";
}

// What a browser started from the desktop hands down, reduced to what
// matters to a host; PATH as a desktop session sets it at the least. macOS's
// allocator setting goes along too: a sanitized host needs it to keep its
// standard error quiet there.
std::vector<std::string> browserEnvironment() {
  std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
  for (const char* name :
       {"HOME", "USER", "LOGNAME", "LANG", "TMPDIR", "DISPLAY", "WAYLAND_DISPLAY",
        "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "MallocNanoZone"}) {
    if (const std::optional<std::string> value = os::environmentVariable(name)) {
      environment.push_back(std::string(name) + "=" + *value);
    }
  }
  return environment;
}

}  // namespace

SelfTest selfTest(const std::string& host, const std::string& origin) {
  // Whatever a host leaves running in a session of its own becomes ours
  // when it exits, so that it can be found and stopped.
  static const bool adopting = os::adoptOrphans();
  os::ProcessOptions options;
  options.arguments = {host, origin};
  options.environment = browserEnvironment();
  options.workingDirectory = os::parentOf(host);
  options.input = options.output = options.errors = os::Stream::pipe();
  // A group of its own, so that a hung host and anything it started can be
  // stopped together.
  options.grouping = os::Grouping::OwnGroup;
  SelfTest result;
  os::Process child;
  os::Status started = os::Process::start(options, &child);
  if (!started.ok() && started.error() == ENOEXEC) {
    // execvp runs a file the kernel does not take as a program with the
    // shell, as a script (base/process/launch_posix.cc starts hosts so).
    options.arguments = {"/bin/sh", host, origin};
    started = os::Process::start(options, &child);
  }
  if (!started.ok()) {
    result.browserFailures.push_back("it could not be started: " + started.message());
    return result;
  }
  const std::int64_t begun = os::monotonicMilliseconds();
  const bool requestRefused = !child.write(frame(kPing)).ok();  // gone before it could read

  // The first message, as the browser reads it: a length in native byte
  // order, then that many bytes.
  os::Captured captured;
  const std::string& output = captured.output;
  const auto claimed = [&]() -> std::optional<std::uint32_t> {
    if (output.size() < 4) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, output.data(), 4);
    return length;
  };
  const auto whole = [&] {
    const std::optional<std::uint32_t> length = claimed();
    return length && (*length > kBrowserMessageLimit || output.size() >= 4 + std::size_t{*length});
  };
  // Until the message is whole or the output ends: a host that exits may
  // still have bytes in the pipe.
  child.collect(captured, begun + kPatienceMs, kKeptBytes,
                [&] { return whole() || child.output() < 0; });
  const std::int64_t answered = os::monotonicMilliseconds() - begun;
  const bool replied = whole();
  // A host that is gone without reading its request races the browser: the
  // browser writes the request as the host starts, and once the host has
  // exited that write fails and the extension gets an error instead of the
  // reply (native_message_process_host.cc, HandleWriteResult).
  const std::optional<std::size_t> unread = child.unreadInput();
  child.closeInput();
  child.collect(captured, os::monotonicMilliseconds() + kLimitMs, kKeptBytes,
                [&] { return child.hasExited() && child.output() < 0 && child.errors() < 0; });
  const bool exited = child.hasExited();
  // Whatever the host left running in its group goes with it, and a host
  // that does not exit is stopped.
  const int group = child.id();
  child.kill();
  const os::Exit exit = child.exit().value_or(os::Exit{});
  std::string ending;
  if (exited && !exit.exited) ending = "it was killed by " + os::signalName(exit.signal);
  if (exited && exit.exited && exit.status != 0) {
    ending = "it exited with status " + std::to_string(exit.status);
  }

  // Unread at the reply, and then gone: it never read it.
  const bool ignoredRequest = requestRefused || (exited && unread && *unread > 0);
  if (!replied) {
    std::string why = exited
                          ? "it ended without sending a whole reply"
                          : "it sent no whole reply within " + std::to_string(kPatienceMs / 1000) +
                                " s, so the extension would wait for ever (it was stopped)";
    if (!output.empty()) why += "; it sent only part of one: " + shown(output);
    if (!ending.empty()) why += "; " + ending;
    result.browserFailures.push_back(why);
  } else if (*claimed() > kBrowserMessageLimit) {
    result.browserFailures.push_back("its reply claims to be " + std::to_string(*claimed()) +
                                     " bytes long, more than the browser takes (" +
                                     std::to_string(kBrowserMessageLimit) + ")");
  } else if (ignoredRequest) {
    result.browserFailures.push_back(
        "it exited without reading its request, so the browser's write of the request fails "
        "whenever the host is quicker, and the extension then gets an error instead of the reply");
  } else {
    const std::string expected = frame(kReplyTrue);
    const std::size_t length = 4 + std::size_t{*claimed()};
    if (output.compare(0, length, expected) != 0) {
      result.contractBreaches.push_back("it replied with " + shown(output.substr(0, length)) +
                                        " instead of " + shown(expected));
    }
    if (answered > kLimitMs) {
      result.contractBreaches.push_back("it replied after " + std::to_string(answered / 1000) +
                                        "." + std::to_string(answered % 1000 / 100) +
                                        " s, where it must within 2 s");
    }
    if (output.size() > length || captured.outputDropped > 0) {
      result.contractBreaches.push_back("it wrote stray output after its reply: " +
                                        shown(std::string_view(output).substr(length)));
    }
    if (!exited) {
      result.contractBreaches.push_back(
          "it did not exit within 2 s of its input closing (it was stopped)");
    } else if (!ending.empty()) {
      result.contractBreaches.push_back(ending);
    }
  }
  if (!captured.errors.empty()) {
    result.contractBreaches.push_back("it wrote to standard error: " + shown(captured.errors, 120));
  }
  // Orphans: a daemon it started reaches us once its parent is gone; what
  // a stopped one leaves in turn, the next round finds.
  for (int round = 0; adopting && round < 5; ++round) {
    const std::vector<os::ChildProcess> strays = os::childProcesses();
    if (strays.empty()) break;
    for (const os::ChildProcess& stray : strays) {
      // One of the host's own group was stopped with it, or one that has
      // ended: it only needs reaping.
      if (stray.group != group && !stray.zombie) {
        result.contractBreaches.push_back(
            "it left a process running after it: " + std::to_string(stray.id) + " (" +
            shown(stray.command, 80) + "), which was stopped");
      }
      os::killChild(stray.id);
    }
  }
  return result;
}

}  // namespace tarnwick::registration
