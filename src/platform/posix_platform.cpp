// The platform on POSIX systems (Linux and macOS). This file is the only code
// of the host that talks to the operating system.
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "platform/operating_system.h"
#include "platform/platform.h"
#include "platform/posix_files.h"

extern char** environ;

namespace tarnwick {
namespace {

constexpr int kInput = STDIN_FILENO;
constexpr int kOutput = STDOUT_FILENO;

// How long the host waits for the URL opener before leaving it to run on.
constexpr long kOpenerWaitNanoseconds = 1'000'000'000L;

constexpr std::string_view kUrlOpener = urlOpener(currentSystem());

// Waits until `fd` has input; any outcome other than an interrupted wait lets
// the caller try its read again and see what it says.
void awaitInput(int fd) {
  pollfd watched{fd, POLLIN, 0};
  while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

class PosixPlatform final : public Platform {
 public:
  PosixPlatform() {
    // A browser that has gone away must not kill the host with SIGPIPE; the
    // failed write says the same thing more quietly.
    ::signal(SIGPIPE, SIG_IGN);
    // A host started with a standard stream closed would hand that number to
    // the next file it opens, and replies would land in the user's files.
    // Closed streams are put on /dev/null; if even that fails, nothing is
    // served.
    for (int fd = 0; fd < 3 && streamsUsable_; ++fd) {
      if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
      const int null = ::open("/dev/null", O_RDWR);  // takes the lowest free number: fd
      streamsUsable_ = null == fd;
      if (null >= 0 && null != fd) ::close(null);
    }
  }

  std::size_t readInput(std::span<char> into) override {
    while (streamsUsable_) {
      const ssize_t got = ::read(kInput, into.data(), into.size());
      if (got > 0) return static_cast<std::size_t>(got);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        awaitInput(kInput);
        continue;
      }
      return 0;
    }
    return 0;
  }

  bool writeOutput(std::string_view bytes) override { return posix::writeAll(kOutput, bytes); }

  std::optional<std::string> homeDirectory() override {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
      return std::string(home);
    }
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 1024;
    for (int attempt = 0; attempt < 8; ++attempt, size *= 4) {
      std::vector<char> buffer(size);
      passwd entry{};
      passwd* found = nullptr;
      const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
      if (error == ERANGE) continue;
      if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
      }
      return std::string(found->pw_dir);
    }
    return std::nullopt;
  }

  // Directories get 0777 less the umask, as the user's own files would.
  bool createDirectory(const std::string& path) override {
    return posix::createDirectories(path) == 0;
  }

  // The files hold browsing history, so they are private to the user.
  // Abandoned temporary files are cleared once per target and process, which
  // keeps the directory listing off a long session's path.
  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    const bool firstWrite = cleanedTargets_.insert(path).second;
    return posix::writeFileAtomically(path, bytes, 0600, firstWrite) == 0;
  }

  std::optional<std::string> newIdentifier() override {
    std::array<unsigned char, 16> bytes{};
    if (!posix::fillRandom(bytes.data(), bytes.size())) return std::nullopt;
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
      text.push_back(kHex[bytes[i] >> 4]);
      text.push_back(kHex[bytes[i] & 0xF]);
    }
    return text;
  }

  double currentTime() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  // The opener is started by a short-lived go-between process, which waits
  // for it for about a second and then exits. The host waits only for the
  // go-between: an opener that keeps running (one that runs the application
  // in the foreground) is left to the system to reap, so the host never
  // collects zombies however long its session.
  void openUrl(std::string_view url) override {
    std::string text(url);
    const pid_t goBetween = fork();
    if (goBetween < 0) return;
    if (goBetween == 0) {
      const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
      const pid_t opener = spawnOpener(text);
      if (opener > 0) awaitExit(opener);
      _exit(0);
    }
    int status = 0;
    while (waitpid(goBetween, &status, 0) < 0 && errno == EINTR) {
    }
  }

 private:
  // Starts the opener with its standard streams on /dev/null, no other
  // descriptor of the host, default signal handling and a session of its own,
  // so nothing it or its children do can reach the frame stream.
  static pid_t spawnOpener(std::string& url) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
      posix_spawn_file_actions_destroy(&actions);
      return -1;
    }
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    bool ready = posix_spawnattr_setflags(&attributes, flags) == 0 &&
                 posix_spawnattr_setsigdefault(&attributes, &defaults) == 0 &&
                 posix_spawnattr_setsigmask(&attributes, &noneBlocked) == 0;
    for (int fd = 0; fd < 3 && ready; ++fd) {
      ready = posix_spawn_file_actions_addopen(&actions, fd, "/dev/null",
                                               fd == 0 ? O_RDONLY : O_WRONLY, 0) == 0;
    }
#if !defined(__APPLE__)
    ready = ready && posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0;
#endif
    pid_t child = -1;
    if (ready) {
      std::string program(kUrlOpener);
      char* arguments[] = {program.data(), url.data(), nullptr};
      if (posix_spawnp(&child, program.c_str(), &actions, &attributes, arguments, environ) != 0) {
        child = -1;
      }
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  // Waits for `child` to exit, for about a second at most.
  static void awaitExit(pid_t child) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long pause = 500'000;  // nanoseconds; doubled up to 20 ms
    while (true) {
      int status = 0;
      const pid_t done = waitpid(child, &status, WNOHANG);
      if (done == child || (done < 0 && errno != EINTR)) return;
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const long elapsed =
          (now.tv_sec - start.tv_sec) * 1'000'000'000L + (now.tv_nsec - start.tv_nsec);
      if (elapsed >= kOpenerWaitNanoseconds) return;
      timespec nap{0, pause};
      nanosleep(&nap, nullptr);
      pause = pause < 20'000'000L ? pause * 2 : pause;
    }
  }

  bool streamsUsable_ = true;
  std::set<std::string> cleanedTargets_;  // targets cleared of abandoned temporaries
};

}  // namespace

std::unique_ptr<Platform> makeSystemPlatform() { return std::make_unique<PosixPlatform>(); }

}  // namespace tarnwick
