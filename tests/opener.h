// A stand-in for the desktop's URL opener: a script named like the real one
// that becomes opener_probe.c, which appends what it was given and what it
// inherited to a record, the same way on every system.
#pragma once

#include <string>

namespace tarnwick::testing {

// Writes `directory`/xdg-open (open on macOS). Each run appends six lines:
// its arguments, where its standard streams and descriptor
// `watchedDescriptor` lead ("/dev/null", "" when closed, else "other"), and
// "leader" when it leads its own session; then it runs `extra` (shell
// commands) as the same process.
void writeOpener(const std::string& directory, const std::string& record, int watchedDescriptor = 9,
                 const std::string& extra = "");

}  // namespace tarnwick::testing
