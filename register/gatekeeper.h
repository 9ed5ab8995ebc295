// What macOS and Homebrew do to a host around the browser: Gatekeeper's
// translocation and quarantine, and the keg an upgrade deletes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnwick::registration {

// Problems of a macOS host path that would keep it from running: one inside
// an App Translocation mount.
std::vector<std::string> gatekeeperProblems(const std::string& host);

// A warning for a macOS host that is quarantined and not approved, which
// Gatekeeper blocks unless it is notarized; nothing for any other.
std::optional<std::string> quarantineWarning(const std::string& host);

// What the com.apple.quarantine attribute ("flags;time;agent;id", the flags
// in hexadecimal) says: no attribute, a download the user has approved (the
// flag 0x0040, which Gatekeeper sets when the user opens it and keeps), or
// one that Gatekeeper still holds back. An attribute that cannot be read is
// held back.
enum class Quarantine { None, Approved, HeldBack };
Quarantine quarantineOf(const std::optional<std::string>& attribute);

// For a host inside a versioned Homebrew keg (".../Cellar/NAME/VERSION/..."),
// which the next upgrade deletes, the same path through the formula's "opt"
// link, which upgrades keep; nothing for any other path.
std::optional<std::string> upgradeProofPath(const std::string& host);

}  // namespace tarnwick::registration
