// The operating system, for every program of the project: files and
// directories, atomic replacement, the host's standard streams, randomness,
// clocks, the user, the program's own path and extended attributes.
// Processes are in process.h. This layer and its implementation are the only
// code that includes the system's headers or asks which system it runs on.
//
// Every call that can fail says why through a Status: success, or the errno
// of the step that failed (with a reason of its own where no errno fits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::os {

class Status {
 public:
  Status() = default;  // success
  // The failure that `error` (an errno value) names; `reason`, when given,
  // is what message() says instead of the system's text for it.
  static Status failure(int error, std::string reason = {});
  // The failure that errno names right now.
  static Status fromErrno();

  bool ok() const { return error_ == 0; }
  int error() const { return error_; }
  bool notFound() const;  // nothing is at the path (ENOENT)
  std::string message() const;

 private:
  int error_ = 0;
  std::string reason_;
};

// ---- Files and directories ------------------------------------------------

enum class FileType { Regular, Directory, Fifo, Other };

struct FileInfo {
  FileType type = FileType::Other;
  unsigned mode = 0;   // the permission bits, 07777 at most
  unsigned owner = 0;  // the owning user's id
  bool link = false;   // a symbolic link itself (only from linkInfo)
  bool readableByOthers() const { return (mode & 04) != 0; }
  bool searchableByOthers() const { return (mode & 01) != 0; }
  // Whether users other than the owner may replace what is in it: writable
  // by its group or by everyone, and not sticky (as /tmp is).
  bool writableByOthers() const { return (mode & 022) != 0 && (mode & 01000) == 0; }
};

// What is at `path`, following symbolic links; the failure says why nothing
// usable is (missing, a loop of links, no permission on the way).
Status fileInfo(const std::string& path, FileInfo* info);
// What is at `path` itself: a symbolic link is described, not followed.
Status linkInfo(const std::string& path, FileInfo* info);
// Sets the permission bits, or the owner (keeping the group), of `path`.
Status setMode(const std::string& path, unsigned mode);
Status setOwner(const std::string& path, unsigned owner);
bool pathExists(const std::string& path);
// Whether this process may execute the file at `path`.
bool mayExecute(const std::string& path);
// Whether `path` is a regular file (through links) that this process may
// execute.
bool isExecutableFile(const std::string& path);

// Makes `path` a directory, with every missing parent. Succeeds when it is a
// directory afterwards, whether or not it was there before; fails with
// ENOTDIR when something else is in the way. Each directory it creates gets
// `mode` exactly, whatever the umask, when `mode` is given (the umask is set
// aside for each mkdir, so call it with a mode only while no other thread
// creates files), and 0777 less the umask otherwise; the parent of each one
// it creates is synced, so that the new entry survives a crash.
Status createDirectories(const std::string& path, std::optional<unsigned> mode = std::nullopt);

// Replaces the file at `path` with `bytes` in one step: readers see the old
// content or the new, never a part, and never a file with another mode than
// `mode`, whatever the umask. On failure the target is as it was and nothing
// else is left behind, with one exception: a failed sync of the directory
// after the rename, when the new content is in place but its durability was
// not confirmed. With `clearAbandoned`, temporary files that writers killed
// before their rename left behind are removed first.
//
// Durability: on Linux the file and then the directory are fsync'ed. On macOS
// the file gets F_BARRIERFSYNC, which orders its data before the rename
// without flushing the drive's cache (so no empty or partial file can
// survive a crash), falling back to fsync where it is refused.
Status writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                           bool clearAbandoned = true);

// The steps that writeFileAtomically strings together, in one directory, so
// that a test can make any one of them fail. Names are entry names in the
// directory, never paths.
class TemporaryFile {
 public:
  virtual ~TemporaryFile() = default;  // closes the file and drops its lock
  virtual const std::string& name() const = 0;
  virtual Status write(std::string_view bytes) = 0;  // every byte, or a failure
  virtual Status sync() = 0;                         // its data on stable storage
};

class Directory {
 public:
  virtual ~Directory() = default;
  // A new file for `target`, created exclusively with a random name that
  // starts with "." and the target's name, given `mode` before anything is
  // written, and locked until it is closed.
  virtual Status createTemporary(const std::string& target, unsigned mode,
                                 std::unique_ptr<TemporaryFile>* file) = 0;
  // Removes the temporary files of `target` that no live writer holds.
  virtual void clearAbandoned(const std::string& target) = 0;
  virtual Status rename(const std::string& from, const std::string& to) = 0;
  virtual Status remove(const std::string& name) = 0;
  virtual Status sync() = 0;  // its entries on stable storage
};

Status openDirectory(const std::string& path, std::unique_ptr<Directory>* directory);

// The recipe of writeFileAtomically, over the steps of `directory`.
Status replaceFile(Directory& directory, const std::string& name, std::string_view bytes,
                   unsigned mode, bool clearAbandoned);

// The text of the regular file (a symbolic link to one is fine) at `path`,
// of at most `limit` bytes. It is opened without blocking, so that a FIFO or
// a device at that name neither hangs nor exhausts the reader; those fail
// as "not a regular file".
Status readRegularFile(const std::string& path, std::size_t limit, std::string* text);

Status removeFile(const std::string& path);
Status removeDirectory(const std::string& path);  // only an empty one

// The names of the entries of `path`, without "." and "..", unsorted.
Status listDirectory(const std::string& path, std::vector<std::string>* names);

// The value of the extended attribute `name` of the file at `path`, or
// nothing when it has none (or the system has no such attributes).
std::optional<std::string> extendedAttribute(const std::string& path, const std::string& name);

// `path` as an absolute path, resolved against the working directory,
// without "." and ".." components or a trailing "/"; no link is resolved.
std::string absolutePath(const std::string& path);

// `path` with every symbolic link, "." and ".." resolved (realpath(3)); the
// failure says why when something on the way is missing or unreachable.
Status resolvedPath(const std::string& path, std::string* resolved);

// The directory part of `path`, as dirname(1) says it: "/" for "/x", "." for
// a bare name.
std::string parentOf(const std::string& path);

// ---- The host's standard streams -----------------------------------------

// Makes the standard streams safe to use: SIGPIPE is ignored (a reader that
// has gone makes writes fail instead), and a standard stream that is closed
// is put on /dev/null, so its number is never handed to a file opened later.
// A failure means even that failed, and the streams must not be used.
Status prepareStandardStreams();

// Reads between 1 and into.size() bytes from `fd` into `into`, setting
// `got`, retrying interrupted reads and waiting while a non-blocking
// descriptor has nothing. At the end of the input `got` is 0 and the read
// succeeds.
Status readSome(int fd, std::span<char> into, std::size_t* got);

// Writes every byte to `fd`, retrying interrupted writes and waiting while a
// non-blocking descriptor is full.
Status writeAll(int fd, std::string_view bytes);

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;

// ---- Randomness, clocks, the user, the program -----------------------------

// Fills `bytes` from the kernel's random source; fails when none is to be had.
Status fillRandom(std::span<unsigned char> bytes);

// Seconds since 1970-01-01 00:00:00 UTC, with the fraction kept.
double wallClockSeconds();

// Milliseconds on a clock that never jumps, for deadlines.
std::int64_t monotonicMilliseconds();

// The value of an environment variable, or nothing when it is not set.
std::optional<std::string> environmentVariable(const std::string& name);

// $HOME when it is an absolute path, else the password entry of the real
// user; nothing when neither gives an absolute path.
std::optional<std::string> homeDirectory();

// The login name of the effective user, from the password database; nothing
// when it has no entry.
std::optional<std::string> userName();

bool runningAsRoot();  // the effective user is root
unsigned userId();     // the effective user's id

// This program's own path as the system reports it, every link resolved,
// or "" when it cannot.
std::string executablePath();

// The path this program was started by, with no link resolved (a link that
// upgrades keep stays the path): `argumentZero` made absolute when it names
// a path, looked up in PATH when it is a bare name; executablePath() when
// neither finds an executable file.
std::string invokedPath(const std::string& argumentZero);

// "signal 9 (Killed)".
std::string signalName(int number);

}  // namespace tarnwick::os
