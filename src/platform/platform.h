// The host's one window onto the operating system: standard streams, the
// home directory, directories, atomic file writes, identifiers, time and
// the desktop's URL opener. Everything the host does outside its own memory
// goes through a Platform, so tests can replace it with an in-memory fake.
// The system platform is a thin adapter over the operating-system layer of
// system.h and process.h.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// `base` and `relative` joined by one "/". A "/" inside `relative` separates
// directories; every other character, spaces included, stays as it is.
inline std::string joinPath(std::string_view base, std::string_view relative) {
  std::string path;
  path.reserve(base.size() + 1 + relative.size());
  path.append(base);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}

class Platform {
 public:
  virtual ~Platform() = default;

  // Reads between 1 and into.size() bytes from standard input into `into`
  // and returns how many. Never asks the stream for more than into.size().
  // Waits while no byte is available. Returns 0 once the input has ended or
  // can no longer be read; the two are not told apart.
  virtual std::size_t readInput(std::span<char> into) = 0;

  // Hands every byte to standard output, in order, before returning, with no
  // buffering of its own. Returns false when the stream can no longer take
  // bytes (its reader has gone); nothing is ever reported elsewhere.
  virtual bool writeOutput(std::string_view bytes) = 0;

  // The current user's home directory as an absolute path, asked afresh on
  // every call; nothing when no usable one exists.
  virtual std::optional<std::string> homeDirectory() = 0;

  // Makes `path` a directory, creating every missing parent. Succeeds when
  // the directory exists afterwards, whether or not it was there before;
  // fails when anything else stands in the way.
  virtual bool createDirectory(const std::string& path) = 0;

  // Replaces the file at `path` with `bytes` in one step: readers see the old
  // content or the new, never a part, and the new content will survive a
  // crash once this returns true. On failure the file is left exactly as it
  // was and nothing else is left behind, with one exception: when the
  // directory cannot be synced after the rename, the new content is in place
  // but the call still fails, since its durability was not confirmed. The
  // file is private to the user. Durable means whole after a crash or a
  // power loss: on macOS the data is ordered before the rename with
  // F_BARRIERFSYNC, not flushed through the drive's cache with F_FULLFSYNC
  // (tens of milliseconds on every request), which no replacement needs.
  virtual bool writeFileAtomically(const std::string& path, std::string_view bytes) = 0;

  // A fresh random version-4 UUID, upper-case, 8-4-4-4-12. Nothing when no
  // unpredictable randomness can be had.
  virtual std::optional<std::string> newIdentifier() = 0;

  // Seconds since 1970-01-01 00:00:00 UTC, with the fraction kept.
  virtual double currentTime() = 0;

  // Hands `url` to the desktop's opener for its scheme. Returns once the
  // hand-over is done or has been given up on; the outcome is not reported.
  virtual void openUrl(std::string_view url) = 0;
};

// The platform of the machine the host runs on. Making it prepares the
// standard streams (see os::prepareStandardStreams).
std::unique_ptr<Platform> makeSystemPlatform();

}  // namespace tarnwick
