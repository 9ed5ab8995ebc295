// Files on POSIX systems, shared by the host's platform and the registration
// tool: making directories, replacing a file atomically and durably, writing
// to a descriptor, and the kernel's randomness. Each call reports the real
// cause of a failure as an errno value rather than leaving it to be guessed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::posix {

// Makes `path` a directory, with every missing parent. Succeeds (returns 0)
// when it is a directory afterwards, whether or not it was there before;
// otherwise returns the errno that stopped it (ENOTDIR when something else
// is in the way). Each directory it creates gets `mode` exactly, whatever the
// umask, when `mode` is given, and 0777 less the umask otherwise; the parent
// of each one it creates is synced, so that the new entry survives a crash.
int createDirectories(const std::string& path, std::optional<mode_t> mode = std::nullopt);

// Replaces the file at `path` with `bytes` in one step: a temporary file in
// the same directory, given `mode` through its descriptor before anything is
// written, synced, then renamed over the target, and the directory synced.
// Readers see the old content or the new, never a part, and never a file
// with another mode. Returns 0, or the errno of the step that failed, in
// which case the target is as it was and nothing else is left behind; the
// one exception is a failed sync of the directory after the rename, when the
// new content is in place but its durability was not confirmed. When
// `clearAbandoned` is set, temporary files left by writers that were killed
// before their rename are removed first.
int writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode,
                        bool clearAbandoned = true);

// Writes every byte to `fd`, retrying interrupted calls and waiting while a
// non-blocking descriptor is full. False when the descriptor fails.
bool writeAll(int fd, std::string_view bytes);

// Fills `bytes` from the kernel's random source; false when none is to be had.
bool fillRandom(unsigned char* bytes, std::size_t count);

}  // namespace tarnwick::posix
