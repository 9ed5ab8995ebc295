// The command line of tarnwick-register, read into a plain value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/operating_system.h"
#include "platform/system.h"

namespace tarnwick::registration {

// The usage text that --help prints.
extern const std::string_view kUsage;

struct Options {
  std::string command;                // install, uninstall, status, doctor, ...
  bool help = false;                  // -h or --help: print the usage and stop
  std::vector<std::string> origins;   // chrome-extension://<id>/, from --extension-id
  std::string host;                   // --host, absolute; empty: the default
  std::vector<std::string> browsers;  // families named with --browser
  bool system = false;
  bool all = false;
  bool keepDirectories = false;
  std::optional<std::string> directory;  // --dir, absolute
  System os = currentSystem();           // whose locations
  bool osGiven = false;
  std::string root;                // "" for the machine's own
  std::optional<std::string> app;  // a macOS browser's .app, for unknown forks
  // This program by the path it was started by (main fills it in).
  std::string self;
};

// Reads `arguments` (the program's name left out). A usage error, which
// touches nothing and exits with status 2, is a failure whose message is one
// line. Refused: an unknown command or option, an option the command does
// not take, a single-value option given twice, contradictory options, empty
// values, and a --root that is no directory.
os::Status parseCommandLine(const std::vector<std::string>& arguments, Options* options);

}  // namespace tarnwick::registration
