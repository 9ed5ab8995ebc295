// The host's one window onto the operating system: standard streams, JSON,
// the home directory, directories, atomic file writes, identifiers, time and
// the desktop's URL opener. Everything the host does outside its own memory
// goes through a Platform, so tests can replace it with an in-memory fake.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

// The members of a request that anything reads; a decoded request keeps
// these and no other.
inline constexpr std::string_view kRequestKeys[] = {"type", "browser", "url", "filename",
                                                    "referrer"};

// A decoded request: those of its kRequestKeys members, at the top level of
// the JSON object, whose values are strings. A member whose value is a
// number, boolean, null, array or object is not a string field and is absent
// here, so it can never be taken for one. When a key repeats, the last
// occurrence wins.
using MessageObject = std::map<std::string, std::string, std::less<>>;

// The value of a string field, or nothing when `key` is absent or not a
// string. Keys match exactly, case included.
std::optional<std::string_view> stringField(const MessageObject& message, std::string_view key);

// A flat object to encode: members in the order given, each a string, a
// number or a boolean. It only views its text, which must outlive it.
using JsonValue = std::variant<std::string_view, double, bool>;
using JsonObject = std::vector<std::pair<std::string_view, JsonValue>>;

enum class KeyOrder { AsGiven, Sorted };

// `base` and `relative` joined by one "/". A "/" inside `relative` separates
// directories; every other character, spaces included, stays as it is.
std::string joinPath(std::string_view base, std::string_view relative);

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

  // Decodes strict JSON text (RFC 8259, UTF-8, a leading byte order mark
  // allowed). The top level must be an object or an array: an array decodes
  // to an empty message. Invalid UTF-8, raw NUL bytes, lone surrogate
  // escapes, numbers too large for a double, trailing bytes and top-level
  // scalars fail, as does anything that is not JSON. Nesting of any depth is
  // handled without building the nested values. The text is taken whole,
  // so that the request's longest member can keep its buffer, not a copy.
  virtual std::optional<MessageObject> decodeJson(std::string text);

  // Compact UTF-8 JSON text of `object`: no whitespace between tokens,
  // numbers as the shortest text that reads back as the same double. Fails
  // for text that is not valid UTF-8 and for numbers JSON cannot hold.
  virtual std::optional<std::string> encodeJson(const JsonObject& object, KeyOrder order);

  // The current user's home directory as an absolute path, asked afresh on
  // every call; nothing when no usable one exists.
  virtual std::optional<std::string> homeDirectory() = 0;

  // Makes `path` a directory, creating every missing parent. Succeeds when
  // the directory exists afterwards, whether or not it was there before;
  // fails when anything else stands in the way.
  virtual bool createDirectory(const std::string& path) = 0;

  // Replaces the file at `path` with `bytes` in one step: readers see the old
  // content or the new, never a part, and the new content is on stable
  // storage before this returns true. On failure the file is left exactly as
  // it was and nothing else is left behind, with one exception: when the
  // directory cannot be synced after the rename, the new content is in place
  // but the call still fails, since its durability was not confirmed. The
  // file is private to the user.
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

// The platform of the machine the host runs on.
std::unique_ptr<Platform> makeSystemPlatform();

}  // namespace tarnwick
