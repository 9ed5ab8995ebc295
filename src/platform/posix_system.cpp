// The operating-system layer on POSIX systems (Linux and macOS).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/system.h"
#include "util/hex.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>  // _NSGetExecutablePath
#include <stdlib.h>       // arc4random_buf
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#else
// The headers that cross-compile for macOS lack sys/xattr.h; this is
// libSystem's declaration.
extern "C" ssize_t getxattr(const char* path, const char* name, void* value, size_t size,
                            uint32_t position, int options);
#endif
#else
#include <sys/random.h>
#include <sys/xattr.h>
#endif

namespace tarnwick::os {
namespace {

class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int fd) : fd_(fd) {}
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  ~ScopedDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Waits until `fd` is ready for `events`; any outcome other than an
// interrupted wait lets the caller try its call again and see what it says.
void awaitReady(int fd, short events) {
  pollfd watched{fd, events, 0};
  while (::poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

int retryingFsync(int fd) {
  int result;
  do {
    result = ::fsync(fd);
  } while (result < 0 && errno == EINTR);
  return result;
}

// A written file's data must reach the disk before the rename that makes it
// the target does, or a crash could leave an empty or partial file under
// the target's name. On macOS fsync stops at the drive's cache, and a full
// flush (F_FULLFSYNC) costs tens of milliseconds per request on Apple's
// SSDs; F_BARRIERFSYNC orders the data before later writes, the rename
// included, which is what the replacement needs. File systems that refuse
// it get fsync.
Status syncFile(int fd) {
#if defined(__APPLE__)
  if (::fcntl(fd, F_BARRIERFSYNC) == 0) return {};
#endif
  return retryingFsync(fd) == 0 ? Status() : Status::fromErrno();
}

// A rename or a new entry is durable only once its directory is synced. Some
// file systems cannot sync a directory at all; there it is as durable as it
// will get.
Status syncDirectoryDescriptor(int dir) {
  if (retryingFsync(dir) == 0) return {};
  const int error = errno;
  if (error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP) return {};
  return Status::failure(error);
}

Status syncDirectoryAt(const std::string& path) {
  const ScopedDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() < 0 ? Status::fromErrno() : syncDirectoryDescriptor(dir.get());
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Makes one directory with `mode` exactly when it is given: the umask is
// set aside for the one call, so the directory never exists with another
// mode and nothing has to open it afterwards (which a mode the umask took
// the owner's bits from would refuse to anyone but root). Without a mode,
// 0777 less the umask.
int makeDirectory(const std::string& path, std::optional<unsigned> mode) {
  if (!mode) return ::mkdir(path.c_str(), 0777);
  const mode_t saved = ::umask(0);
  const int made = ::mkdir(path.c_str(), static_cast<mode_t>(*mode));
  const int error = errno;
  ::umask(saved);
  errno = error;
  return made;
}

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

class PosixTemporaryFile final : public TemporaryFile {
 public:
  PosixTemporaryFile(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  const std::string& name() const override { return name_; }
  Status write(std::string_view bytes) override {
    return writeAll(fd_.get(), bytes);
  }
  Status sync() override { return syncFile(fd_.get()); }

 private:
  ScopedDescriptor fd_;
  std::string name_;
};

// Everything happens relative to the directory opened once, so the
// temporary file, the rename and the sync all concern the same place.
class PosixDirectory final : public Directory {
 public:
  explicit PosixDirectory(int fd) : fd_(fd) {}

  Status createTemporary(const std::string& target, unsigned mode,
                         std::unique_ptr<TemporaryFile>* file) override {
    for (int attempt = 0; attempt < 8; ++attempt) {
      std::array<unsigned char, kNoiseDigits / 2> noise{};
      if (const Status random = fillRandom(noise); !random.ok()) {
        return Status::failure(random.error(), "no randomness for a temporary name");
      }
      std::string name = "." + target + ".";
      appendHex(name, noise, HexCase::Lower);
      const int fd = ::openat(fd_.get(), name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0) {
        if (errno == EEXIST) continue;
        return Status::fromErrno();
      }
      auto created = std::make_unique<PosixTemporaryFile>(fd, name);
      // Where locks are not supported the file goes unlocked; clean-ups
      // there cannot lock it either, so they leave it alone.
      int locked;
      do {
        locked = ::flock(fd, LOCK_EX);
      } while (locked < 0 && errno == EINTR);
      // The mode is set on the descriptor, before any byte is written, so
      // that it does not depend on the umask and no reader ever sees
      // another one.
      if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
        const Status failed = Status::fromErrno();
        ::unlinkat(fd_.get(), name.c_str(), 0);
        return failed;
      }
      *file = std::move(created);
      return {};
    }
    return Status::failure(EEXIST);
  }

  // A writer's lock goes with its process, so a lock that can be taken
  // marks a file whose writer was killed before its rename.
  void clearAbandoned(const std::string& target) override {
    const int listing = ::dup(fd_.get());
    if (listing < 0) return;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
      ::close(listing);
      return;
    }
    // The copy shares the directory's read position: an earlier listing
    // would leave it at the end.
    ::rewinddir(entries);
    while (const dirent* entry = ::readdir(entries)) {
      if (!isTemporaryOf(entry->d_name, target)) continue;
      const ScopedDescriptor abandoned(
          ::openat(fd_.get(), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (abandoned.get() >= 0 && ::flock(abandoned.get(), LOCK_EX | LOCK_NB) == 0) {
        ::unlinkat(fd_.get(), entry->d_name, 0);
      }
    }
    ::closedir(entries);
  }

  Status rename(const std::string& from, const std::string& to) override {
    return ::renameat(fd_.get(), from.c_str(), fd_.get(), to.c_str()) == 0 ? Status()
                                                                           : Status::fromErrno();
  }

  Status remove(const std::string& name) override {
    return ::unlinkat(fd_.get(), name.c_str(), 0) == 0 ? Status() : Status::fromErrno();
  }

  Status sync() override { return syncDirectoryDescriptor(fd_.get()); }

 private:
  ScopedDescriptor fd_;
};

}  // namespace

Status Status::failure(int error, std::string reason) {
  Status status;
  status.error_ = error != 0 ? error : EIO;
  status.reason_ = std::move(reason);
  return status;
}

Status Status::fromErrno() { return failure(errno); }

bool Status::notFound() const { return error_ == ENOENT; }

std::string Status::message() const {
  if (ok()) return "success";
  return reason_.empty() ? std::string(std::strerror(error_)) : reason_;
}

namespace {
void describe(const struct stat& status, FileInfo* info) {
  info->type = S_ISREG(status.st_mode)    ? FileType::Regular
               : S_ISDIR(status.st_mode)  ? FileType::Directory
               : S_ISFIFO(status.st_mode) ? FileType::Fifo
                                          : FileType::Other;
  info->mode = static_cast<unsigned>(status.st_mode & 07777);
  info->owner = static_cast<unsigned>(status.st_uid);
  info->link = S_ISLNK(status.st_mode);
}
}  // namespace

Status fileInfo(const std::string& path, FileInfo* info) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return Status::fromErrno();
  describe(status, info);
  return {};
}

Status linkInfo(const std::string& path, FileInfo* info) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return Status::fromErrno();
  describe(status, info);
  return {};
}

Status setMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0 ? Status() : Status::fromErrno();
}

Status setOwner(const std::string& path, unsigned owner) {
  return ::chown(path.c_str(), static_cast<uid_t>(owner), static_cast<gid_t>(-1)) == 0
             ? Status()
             : Status::fromErrno();
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

bool mayExecute(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

bool isExecutableFile(const std::string& path) {
  FileInfo info;
  return fileInfo(path, &info).ok() && info.type == FileType::Regular && mayExecute(path);
}

Status createDirectories(const std::string& path, std::optional<unsigned> mode) {
  if (path.empty()) return Status::failure(ENOENT);
  if (isDirectory(path)) return {};
  // Each ancestor in turn, then the path itself. A refused mkdir is not
  // decisive (an existing ancestor may answer EACCES rather than EEXIST):
  // what counts is whether the prefix is a directory afterwards. The first
  // one that is not names the real cause; everything below it would only
  // say ENOENT.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/') {
      if (makeDirectory(prefix, mode) == 0) {
        // The new entry is durable only once its parent is synced.
        if (Status synced = syncDirectoryAt(parentOf(prefix)); !synced.ok()) return synced;
      } else {
        const int error = errno;
        if (!isDirectory(prefix)) {
          struct stat info {};
          if (::stat(prefix.c_str(), &info) == 0) return Status::failure(ENOTDIR);
          if (::lstat(prefix.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
            return Status::failure(ENOENT, prefix + " is a symbolic link that leads nowhere");
          }
          return Status::failure(error);
        }
      }
    }
    if (end == std::string::npos) return {};
  }
}

Status openDirectory(const std::string& path, std::unique_ptr<Directory>* directory) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Status::fromErrno();
  *directory = std::make_unique<PosixDirectory>(fd);
  return {};
}

Status writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                           bool clearAbandoned) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return Status::failure(EINVAL);
  std::unique_ptr<Directory> directory;
  if (Status opened = openDirectory(parentOf(path), &directory); !opened.ok()) return opened;
  return replaceFile(*directory, path.substr(slash + 1), bytes, mode, clearAbandoned);
}

Status readRegularFile(const std::string& path, std::size_t limit, std::string* text) {
  const ScopedDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return Status::fromErrno();
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Status::fromErrno();
  if (!S_ISREG(info.st_mode)) return Status::failure(EINVAL, "not a regular file");
  const Status tooLarge =
      Status::failure(EFBIG, "larger than " + std::to_string(limit / 1024) + " KiB");
  if (static_cast<std::size_t>(info.st_size) > limit) return tooLarge;
  std::string read;
  char buffer[4096];
  while (true) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Status::fromErrno();
    if (got == 0) break;
    read.append(buffer, static_cast<std::size_t>(got));
    if (read.size() > limit) return tooLarge;  // it grew while being read
  }
  *text = std::move(read);
  return {};
}

Status removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? Status() : Status::fromErrno();
}

Status removeDirectory(const std::string& path) {
  return ::rmdir(path.c_str()) == 0 ? Status() : Status::fromErrno();
}

Status listDirectory(const std::string& path, std::vector<std::string>* names) {
  DIR* entries = ::opendir(path.c_str());
  if (entries == nullptr) return Status::fromErrno();
  names->clear();
  while (const dirent* entry = ::readdir(entries)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names->emplace_back(name);
  }
  ::closedir(entries);
  return {};
}

std::optional<std::string> extendedAttribute(const std::string& path, const std::string& name) {
  const auto get = [&](void* value, std::size_t size) {
#if defined(__APPLE__)
    return ::getxattr(path.c_str(), name.c_str(), value, size, 0, 0);
#else
    return ::getxattr(path.c_str(), name.c_str(), value, size);
#endif
  };
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = get(value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return value;
    }
    if (errno != ERANGE) return std::nullopt;  // it grew in between: again
  }
  return std::nullopt;
}

std::string absolutePath(const std::string& path) {
  std::error_code error;
  std::string result = std::filesystem::absolute(path, error).lexically_normal().string();
  if (error) result = path;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

Status resolvedPath(const std::string& path, std::string* resolved) {
  char buffer[PATH_MAX] = {};
  if (::realpath(path.c_str(), buffer) == nullptr) return Status::fromErrno();
  *resolved = buffer;
  return {};
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

Status prepareStandardStreams() {
  // A browser that has gone away must not kill the program with SIGPIPE;
  // the failed write says the same thing more quietly.
  ::signal(SIGPIPE, SIG_IGN);
  // A stream left closed would hand its number to the next file opened, and
  // output meant for the stream would land in that file.
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null = ::open("/dev/null", O_RDWR);  // takes the lowest free number: fd
    if (null < 0) return Status::fromErrno();
    if (null != fd) {
      ::close(null);
      return Status::failure(EBADF, "standard stream " + std::to_string(fd) + " stays closed");
    }
  }
  return {};
}

Status readSome(int fd, std::span<char> into, std::size_t* got) {
  *got = 0;
  while (true) {
    const ssize_t read = ::read(fd, into.data(), into.size());
    if (read >= 0) {
      *got = static_cast<std::size_t>(read);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      awaitReady(fd, POLLIN);
      continue;
    }
    return Status::fromErrno();
  }
}

Status writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        awaitReady(fd, POLLOUT);
        continue;
      }
      return Status::fromErrno();
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

Status fillRandom(std::span<unsigned char> bytes) {
#if defined(__APPLE__)
  arc4random_buf(bytes.data(), bytes.size());
  return {};
#else
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::fromErrno();
    }
    filled += static_cast<std::size_t>(got);
  }
  return {};
#endif
}

double wallClockSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::int64_t monotonicMilliseconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::optional<std::string> environmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

namespace {

// A field of the password-database entry of `uid`, when it has one.
std::optional<std::string> passwordEntry(uid_t uid, char* passwd::*field) {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 1024;
  for (int attempt = 0; attempt < 8; ++attempt, size *= 4) {
    std::vector<char> buffer(size);
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE) continue;
    if (error != 0 || found == nullptr || found->*field == nullptr) return std::nullopt;
    return std::string(found->*field);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home);
  }
  const std::optional<std::string> directory = passwordEntry(::getuid(), &passwd::pw_dir);
  if (!directory || directory->empty() || directory->front() != '/') return std::nullopt;
  return directory;
}

std::optional<std::string> userName() {
  const std::optional<std::string> name = passwordEntry(::geteuid(), &passwd::pw_name);
  if (!name || name->empty()) return std::nullopt;
  return name;
}

bool runningAsRoot() { return ::geteuid() == 0; }

unsigned userId() { return static_cast<unsigned>(::geteuid()); }

std::string executablePath() {
  char buffer[PATH_MAX] = {};
#if defined(__APPLE__)
  uint32_t size = sizeof buffer;
  if (_NSGetExecutablePath(buffer, &size) != 0) return "";
#else
  if (::readlink("/proc/self/exe", buffer, sizeof buffer - 1) <= 0) return "";
#endif
  char resolved[PATH_MAX] = {};
  return ::realpath(buffer, resolved) != nullptr ? resolved : buffer;
}

std::string invokedPath(const std::string& argumentZero) {
  if (argumentZero.find('/') != std::string::npos) {
    if (isExecutableFile(argumentZero)) return absolutePath(argumentZero);
  } else if (!argumentZero.empty()) {
    const std::string path = environmentVariable("PATH").value_or("");
    for (std::size_t start = 0; start <= path.size();) {
      std::size_t end = path.find(':', start);
      if (end == std::string::npos) end = path.size();
      const std::string directory = end == start ? "." : path.substr(start, end - start);
      if (isExecutableFile(directory + "/" + argumentZero)) {
        return absolutePath(directory + "/" + argumentZero);
      }
      start = end + 1;
    }
  }
  return executablePath();
}

std::string signalName(int number) {
  const char* name = ::strsignal(number);
  std::string text = name != nullptr ? name : "";
  // macOS's strsignal appends the number itself ("Killed: 9").
  const std::string suffix = ": " + std::to_string(number);
  if (text.size() > suffix.size() && text.ends_with(suffix))
    text.resize(text.size() - suffix.size());
  return "signal " + std::to_string(number) + (text.empty() ? "" : " (" + text + ")");
}

}  // namespace tarnwick::os
