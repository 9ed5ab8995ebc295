// A stand-in for the desktop's URL opener: a shell script named like the real
// one, which appends what it was given and what it inherited to a record.
#pragma once

#include <string>

namespace tarnwick::testing {

// Writes `directory`/xdg-open (open on macOS). It records its arguments, where its standard
// streams and descriptor `watchedDescriptor` lead, and whether it leads its
// own session, then runs `extra` (shell commands).
void writeOpener(const std::string& directory, const std::string& record, int watchedDescriptor = 9,
                 const std::string& extra = "");

}  // namespace tarnwick::testing
