// Where each browser looks for native-messaging host manifests, per system,
// as read from the browsers' own source. Both systems' tables are plain data,
// available (and tested) everywhere; only the choice of the one that applies
// depends on where the tool runs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/operating_system.h"

namespace tarnwick::registration {

// One browser build ("Chrome Beta"), one row of the tables; a member a row
// leaves out is empty. Paths in the table may start with a
// placeholder that `resolve` expands:
//   {config}  the configuration home of Chromium-based browsers on Linux:
//             $CHROME_CONFIG_HOME (when set at all: "." when it is empty),
//             else $XDG_CONFIG_HOME, else ~/.config
//   {xdg}     $XDG_CONFIG_HOME, else ~/.config
//   {helium}  $HELIUM_CONFIG_HOME, else {xdg}
//   {home}    the user's home directory
// A "*" in a program's path stands for any part of one name (a build in a
// versioned directory).
struct Browser {
  std::string key{};   // the family, as --browser takes it: "chrome"
  std::string name{};  // as shown: "Chrome Beta"
  // The browser's own configuration directory; its presence means that the
  // user has run the browser.
  std::string profile{};
  // Where the browser looks for manifests, in this order: per user (unless a
  // policy forbids it) then `moreUserHosts`, system-wide then
  // `moreSystemHosts`, then a fallback that only some read. Registering
  // writes the first of each scope; the others are read, never written.
  std::string userHosts{};
  std::string systemHosts{};
  std::string fallbackHosts{};  // empty when there is none
  std::vector<std::string> moreUserHosts{};
  std::vector<std::string> moreSystemHosts{};
  // Where its program lives once installed for the whole machine.
  std::vector<std::string> programs{};
  // Linux: the managed policy directory (JSON files), empty when not known.
  std::string policies{};
  // macOS: the preference domain whose managed values are the browser's
  // policies, or "{bundle}" for the app's own bundle identifier (the
  // CFBundleIdentifier of the Info.plist of the first of `programs` that is
  // an .app on this machine).
  std::string policyDomain{};
  // macOS: the installed app's Info.plist names the user data directory
  // (CrProductDirName), which then replaces `profile` and `userHosts`.
  bool profileFromApp = false;
  // Sandboxed packages of this build: Snap names and Flatpak application IDs.
  std::vector<std::string> snaps{};
  std::vector<std::string> flatpaks{};
};

// The table for `system`, placeholders unexpanded.
const std::vector<Browser>& browserTable(System system);

// What the placeholders stand for, and where "/" is: every path of the
// table that does not start with a placeholder (the system-wide directories,
// the programs, the policies, the sandboxes' directories) is taken under
// `root`, which is empty for the machine's own.
struct PathContext {
  std::string home;
  std::string configHome;     // {config}
  std::string xdgConfigHome;  // {xdg}
  std::string root{};
  std::string heliumConfigHome{};  // {helium}
  std::string user{};              // the login name, which names managed preferences
};

// The context of the current process: `home`, the effective user's login
// name, and the environment variables as the browsers read them (a variable that is set but empty
// is not used).
PathContext contextFromEnvironment(const std::string& home);

// `browser` with every placeholder expanded and every other path under the
// context's root.
Browser resolve(const Browser& browser, const PathContext& context);

// The families, as --browser takes them.
std::vector<std::string> browserKeys(System system);

// The manifest of the host in a manifest directory.
std::string manifestPath(const std::string& directory);

// Whether something is at `path`, where a "*" may stand for any part of a
// name (of any name but its first component).
bool pathPresent(const std::string& path);

// A Snap or Flatpak installation of a browser. Snap's browsers cannot start
// native hosts at all. A Flatpak browser does: it reads manifests under
// ~/.var/app/<app id>/config (its own XDG_CONFIG_HOME) and runs the host
// inside its sandbox, where the host reaches the user's files only as far
// as the user has granted the app.
struct Sandboxed {
  bool flatpak = false;  // else a Snap
  std::string path;      // what shows it is installed
  std::string hosts;     // Flatpak: the manifest directory it reads per user
};

// The Snap and Flatpak installations of `browser` found on this machine.
std::vector<Sandboxed> sandboxedInstallations(const Browser& browser, const PathContext& context);

}  // namespace tarnwick::registration
