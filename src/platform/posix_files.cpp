#include "platform/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

#if defined(__APPLE__)
#include <stdlib.h>  // arc4random_buf
#else
#include <sys/random.h>
#endif

namespace tarnwick::posix {
namespace {

class ScopedDescriptor {
 public:
  explicit ScopedDescriptor(int fd) : fd_(fd) {}
  ScopedDescriptor(ScopedDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ScopedDescriptor(const ScopedDescriptor&) = delete;
  ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
  ~ScopedDescriptor() { close(); }
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

// Waits until `fd` is ready for `events`; any outcome other than an
// interrupted wait lets the caller try its call again and see what it says.
void awaitReady(int fd, short events) {
  pollfd watched{fd, events, 0};
  while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
  }
}

// Pushes a file's data and metadata to stable storage. On macOS plain fsync
// stops at the drive's cache; F_FULLFSYNC goes through it (and fails on file
// systems that cannot do it, where fsync is the best there is).
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

// A rename or a new entry is durable only once its directory is synced. Some
// file systems cannot sync a directory at all; there it is as durable as it
// will get. Returns 0 or the errno.
int syncDirectory(int dir) {
  if (syncToStorage(dir) == 0 || errno == EINVAL || errno == ENOTSUP) return 0;
  return errno;
}

int syncDirectoryAt(const std::string& path) {
  ScopedDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.get() < 0 ? errno : syncDirectory(dir.get());
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Gives a directory just created its exact mode (through a descriptor, so a
// name swapped in the meantime is never followed) and makes its entry in the
// parent durable.
int settleNewDirectory(const std::string& path, std::optional<mode_t> mode) {
  if (mode) {
    ScopedDescriptor dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.get() < 0 || ::fchmod(dir.get(), *mode) != 0) return errno;
  }
  return syncDirectoryAt(parentOf(path));
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

// Creates and locks a new temporary file for `name` in `dir` and puts its
// name in `temporary`; on failure the descriptor is -1 and errno says why.
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

}  // namespace

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

int createDirectories(const std::string& path, std::optional<mode_t> mode) {
  if (path.empty()) return ENOENT;
  if (isDirectory(path)) return 0;
  // Each ancestor in turn, then the path itself. A refused mkdir is not
  // decisive (an existing ancestor may answer EACCES rather than EEXIST):
  // what counts is whether the prefix is a directory afterwards. The first
  // one that is not names the real cause; everything below it would only
  // say ENOENT.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/') {
      if (::mkdir(prefix.c_str(), mode.value_or(0777)) == 0) {
        if (const int error = settleNewDirectory(prefix, mode); error != 0) return error;
      } else {
        const int error = errno;
        if (!isDirectory(prefix)) {
          struct stat info {};
          return ::stat(prefix.c_str(), &info) == 0 ? ENOTDIR : error;
        }
      }
    }
    if (end == std::string::npos) return 0;
  }
}

int writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                        bool clearAbandoned) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash + 1 == path.size()) return EINVAL;
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);

  // Everything happens relative to the directory opened once, so the
  // temporary file, the rename and the sync all concern the same place.
  ScopedDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return errno;
  if (clearAbandoned) removeAbandonedTemporaries(dir.get(), name);

  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string temporary;
    ScopedDescriptor file = createTemporary(dir.get(), name, temporary);
    if (file.get() < 0) return errno != 0 ? errno : EIO;
    // The mode is set on the descriptor, before any byte is written, so that
    // it does not depend on the umask and no reader ever sees another one.
    // The file is closed only after the rename: its lock tells other writers
    // that it is still in use until it has become the target.
    if (::fchmod(file.get(), mode) != 0 || !writeAll(file.get(), bytes) ||
        syncToStorage(file.get()) != 0) {
      const int error = errno;
      ::unlinkat(dir.get(), temporary.c_str(), 0);
      return error;
    }
    if (::renameat(dir.get(), temporary.c_str(), dir.get(), name.c_str()) == 0) {
      file.close();
      return syncDirectory(dir.get());
    }
    const int error = errno;
    if (error != ENOENT) {
      ::unlinkat(dir.get(), temporary.c_str(), 0);
      return error;
    }
    // Another writer's clean-up took the new file for abandoned in the
    // moment before it was locked: write it again.
  }
  return EAGAIN;
}

}  // namespace tarnwick::posix
