// The platform on POSIX systems (Linux and macOS). This file is the only code
// of the host that talks to the operating system.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
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

#include "platform/platform.h"

#if defined(__APPLE__)
#include <stdlib.h>  // arc4random_buf
#else
#include <sys/random.h>
#endif

extern char** environ;

namespace tarnwick {
namespace {

constexpr int kInput = STDIN_FILENO;
constexpr int kOutput = STDOUT_FILENO;

// How long the host waits for the URL opener before leaving it to run on.
constexpr long kOpenerWaitNanoseconds = 1'000'000'000L;

#if defined(__APPLE__)
constexpr const char* kUrlOpener = "open";
#else
constexpr const char* kUrlOpener = "xdg-open";
#endif

// Waits until `fd` is ready for `events`; any outcome other than an
// interrupted wait lets the caller try its call again and see what it says.
void awaitReady(int fd, short events) {
  pollfd watched{fd, events, 0};
  while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

bool fillRandom(unsigned char* bytes, std::size_t count) {
#if defined(__APPLE__)
  arc4random_buf(bytes, count);
  return true;
#else
  std::size_t filled = 0;
  while (filled < count) {
    const ssize_t got = getrandom(bytes + filled, count - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
#endif
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitReady(fd, POLLOUT);
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Pushes a file's data and metadata to stable storage. On macOS plain fsync
// stops at the drive's cache; F_FULLFSYNC goes through it.
int syncToStorage(int fd) {
#if defined(__APPLE__)
  if (fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  int result;
  do {
    result = ::fsync(fd);
  } while (result < 0 && errno == EINTR);
  return result;
}

// The rename is durable only once the directory itself is synced. Some file
// systems cannot sync a directory at all; there the rename is as durable as
// it will get.
bool syncDirectory(int dir) {
  return syncToStorage(dir) == 0 || errno == EINVAL || errno == ENOTSUP;
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int fd) : fd_(fd) {}
  ScopedDescriptor(ScopedDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  ~ScopedDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  // Closes now rather than at the end of the scope. A written file has been
  // synced by then, so the sync, not the close, reports a failed write.
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Temporary files are named "." + target + "." + 16 hex digits, and locked by
// their writer from creation until the rename.
constexpr std::size_t kNoiseDigits = 16;

bool isTemporaryOf(std::string_view entry, std::string_view name) {
  if (entry.size() != name.size() + 2 + kNoiseDigits || entry[0] != '.' ||
      entry.substr(1, name.size()) != name || entry[name.size() + 1] != '.') {
    return false;
  }
  return entry.substr(name.size() + 2).find_first_not_of("0123456789abcdef") ==
         std::string_view::npos;
}

// Removes the temporary files of `name` that no live writer holds: those of
// a writer that was killed before its rename. A writer's lock goes with its
// process, so a lock that can be taken marks an abandoned file.
void removeAbandonedTemporaries(int dir, std::string_view name) {
  const int listing = ::dup(dir);
  if (listing < 0) return;
  DIR* entries = ::fdopendir(listing);
  if (entries == nullptr) {
    ::close(listing);
    return;
  }
  while (const dirent* entry = ::readdir(entries)) {
    if (!isTemporaryOf(entry->d_name, name)) continue;
    ScopedDescriptor abandoned(
        ::openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (abandoned.get() >= 0 && ::flock(abandoned.get(), LOCK_EX | LOCK_NB) == 0) {
      ::unlinkat(dir, entry->d_name, 0);
    }
  }
  ::closedir(entries);
}

// Creates and locks a new temporary file for `name` in `dir`, private to the
// user, and puts its name in `temporary`.
ScopedDescriptor createTemporary(int dir, const std::string& name, std::string& temporary) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::array<unsigned char, kNoiseDigits / 2> noise{};
    if (!fillRandom(noise.data(), noise.size())) break;
    temporary = "." + name + ".";
    for (unsigned char byte : noise) {
      static constexpr char kHex[] = "0123456789abcdef";
      temporary.push_back(kHex[byte >> 4]);
      temporary.push_back(kHex[byte & 0xF]);
    }
    ScopedDescriptor file(::openat(dir, temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      break;
    }
    // Where locks are not supported the file goes unlocked; clean-ups there
    // cannot lock it either, so they leave it alone.
    int locked;
    do {
      locked = ::flock(file.get(), LOCK_EX);
    } while (locked < 0 && errno == EINTR);
    return file;
  }
  return ScopedDescriptor(-1);
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
        awaitReady(kInput, POLLIN);
        continue;
      }
      return 0;
    }
    return 0;
  }

  bool writeOutput(std::string_view bytes) override { return writeAll(kOutput, bytes); }

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

  bool createDirectory(const std::string& path) override {
    if (isDirectory(path)) return true;
    // Make each missing ancestor in turn. Errors along the way are not
    // decisive (an existing ancestor may refuse mkdir with EACCES): the final
    // check is whether the whole path is now a directory.
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      ::mkdir(path.substr(0, slash).c_str(), 0777);
    }
    ::mkdir(path.c_str(), 0777);
    return isDirectory(path);
  }

  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return false;
    const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);

    // Everything happens relative to the directory opened once, so the
    // temporary file, the rename and the sync all concern the same place.
    ScopedDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return false;
    // Files abandoned by a killed writer are cleared once per target and
    // process, which keeps the directory listing off a long session's path.
    if (cleanedTargets_.insert(path).second) removeAbandonedTemporaries(dir.get(), name);

    for (int attempt = 0; attempt < 3; ++attempt) {
      std::string temporary;
      ScopedDescriptor file = createTemporary(dir.get(), name, temporary);
      if (file.get() < 0) return false;
      // The file is closed only after the rename: its lock tells other
      // writers that it is still in use until it has become the target.
      if (!writeAll(file.get(), bytes) || syncToStorage(file.get()) != 0) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return false;
      }
      if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) == 0) {
        file.close();
        return syncDirectory(dir.get());
      }
      if (errno != ENOENT) {
        ::unlinkat(dir.get(), temporary.c_str(), 0);
        return false;
      }
      // Another writer's clean-up took the new file for abandoned in the
      // moment before it was locked: write it again.
    }
    return false;
  }

  std::optional<std::string> newIdentifier() override {
    std::array<unsigned char, 16> bytes{};
    if (!fillRandom(bytes.data(), bytes.size())) return std::nullopt;
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
      std::string program = kUrlOpener;
      char* arguments[] = {program.data(), url.data(), nullptr};
      if (posix_spawnp(&child, kUrlOpener, &actions, &attributes, arguments, environ) != 0) {
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
