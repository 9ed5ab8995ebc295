// The machine a command works on: the browsers of the chosen system,
// resolved for this user and root, and the manifest directories a command
// chooses among them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "locations.h"
#include "options.h"
#include "platform/system.h"

namespace tarnwick::registration {

struct Machine {
  std::string home;
  PathContext context;
  std::vector<Browser> browsers;  // those selected with --browser (or --app), else all
  std::vector<Browser> all;       // every browser of this system
};

// The machine for `options`: fails when the user has no home directory.
os::Status loadMachine(const Options& options, Machine* machine);

// A manifest directory, with the browsers of the selection that it is for.
struct Target {
  std::string directory;
  std::vector<std::string> names;
};

// Where `install` with `options` writes; the builds left out for not being
// here go to `skipped`. Fails, naming the browser, when a per-user
// directory would be relative (an empty CHROME_CONFIG_HOME).
os::Status installTargets(const Options& options, const Machine& here, std::vector<Target>* targets,
                          std::vector<std::string>* skipped);

// The manifest directories a command looks at in one scope, with the
// browsers of the selection that read each.
std::vector<Target> directoriesInScope(const Options& options, const Machine& here,
                                       bool systemWide);

// The families (by their first build's name) among `browsers` that read
// `directory`, leaving out `except`.
std::vector<std::string> readersOf(const std::string& directory, bool systemWide,
                                   const std::vector<Browser>& browsers,
                                   const std::vector<std::string>& except = {});

// The builds among `skipped` to name, by family where a whole family is
// missing ("Chrome (any channel)").
std::vector<std::string> skippedNames(const Machine& here, const std::vector<std::string>& skipped);

// Whether some build of the family `key` in the selection is installed, and
// the family's first build.
bool anyInstalled(const Machine& here, const std::string& key);
const Browser& firstOf(const Machine& here, const std::string& key);

// "A", "A and B", "A, B and C".
std::string joined(const std::vector<std::string>& names);

// Whether `directory` is one a browser names (NativeMessagingHosts or
// native-messaging-hosts), which uninstall may remove once empty.
bool isHostsDirectory(const std::string& directory);

}  // namespace tarnwick::registration
