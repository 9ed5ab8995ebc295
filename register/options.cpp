#include "options.h"

#include <algorithm>
#include <cerrno>
#include <map>

#include "locations.h"
#include "manifest.h"

namespace tarnwick::registration {

const std::string_view kUsage = R"(usage:
  tarnwick-register install --extension-id ID [--extension-id ID ...] [options]
  tarnwick-register uninstall [options]
  tarnwick-register status [options]
  tarnwick-register doctor [options]
  tarnwick-register print-manifest --extension-id ID [--host PATH]
  tarnwick-register directories [--system] [--all] [--browser NAME ...]

options:
  --extension-id ID  an extension allowed to start the host: 32 letters a-p,
                     bare or as chrome-extension://ID/ (repeat for several);
                     for doctor, the extensions to check for (default: the
                     Tarnwick extensions this build was made for)
  --host PATH        the installed host (default: ../libexec/tarnwick/tarnwick-host
                     beside this program)
  --browser NAME     only this browser: chrome, chromium, edge, brave, vivaldi,
                     chrome-for-testing, thorium, helium or opera (repeat for
                     several)
  --system           for every user of the machine instead of the current one
  --all              also for browsers that do not seem to be installed
  --dir DIR          only this manifest directory (other profiles, other browsers)
  --keep-directories uninstall leaves manifest directories that it empties
  --os linux|macos   that system's locations instead of this one's
  --root DIR         the tree under DIR stands for / (a staged package, or
                     another system's disk); per-user places follow HOME
  --app PATH         a browser the tool does not know, by its .app (macOS)
)";

namespace {

os::Status usageError(const std::string& message) {
  return os::Status::failure(EINVAL, message + "; nothing was touched");
}

}  // namespace

os::Status parseCommandLine(const std::vector<std::string>& arguments, Options* options) {
  *options = Options{};
  if (arguments.empty()) return usageError("no command given (see --help)");
  options->command = arguments[0];
  if (options->command == "-h" || options->command == "--help") {
    options->help = true;
    return {};
  }
  // The options each command takes; any other is refused rather than
  // silently ignored.
  const std::string places = " --browser --dir --os --root --app";
  const std::map<std::string, std::string> commands{
      {"install", "--extension-id --host --system --all" + places},
      {"uninstall", "--system --keep-directories" + places},
      {"status", "--system" + places},
      {"doctor", "--system --extension-id" + places},
      {"print-manifest", " --extension-id --host"},
      {"directories", "--system --all" + places},
  };
  const auto command = commands.find(options->command);
  if (command == commands.end()) {
    return usageError("unknown command '" + options->command + "' (see --help)");
  }
  std::string anyCommandTakes = " ";
  for (const auto& [name, taken] : commands) anyCommandTakes += taken + " ";
  const auto among = [](const std::string& list, const std::string& option) {
    return (" " + list + " ").find(" " + option + " ") != std::string::npos;
  };
  std::vector<std::string> given;  // the single-value options seen
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (among(anyCommandTakes, argument) && !among(command->second, argument)) {
      return usageError(options->command + " does not take " + argument);
    }
    const bool single = argument == "--host" || argument == "--dir" || argument == "--os" ||
                        argument == "--root" || argument == "--app";
    if (single) {
      if (std::find(given.begin(), given.end(), argument) != given.end()) {
        return usageError(argument + " is given twice");
      }
      given.push_back(argument);
    }
    const bool takesValue = single || argument == "--extension-id" || argument == "--browser";
    if (takesValue && i + 1 >= arguments.size()) return usageError(argument + " needs a value");
    const std::string value = takesValue ? arguments[++i] : std::string();
    if (takesValue && value.empty()) return usageError(argument + " needs a value, not ''");
    if (argument == "--extension-id") {
      const std::optional<std::string> origin = extensionOrigin(value);
      if (!origin) return usageError("'" + value + "' is not an extension ID (32 letters a-p)");
      if (std::find(options->origins.begin(), options->origins.end(), *origin) ==
          options->origins.end()) {
        options->origins.push_back(*origin);
      }
    } else if (argument == "--host") {
      options->host = os::absolutePath(value);
    } else if (argument == "--dir") {
      options->directory = os::absolutePath(value);
    } else if (argument == "--browser") {
      if (std::find(options->browsers.begin(), options->browsers.end(), value) ==
          options->browsers.end()) {
        options->browsers.push_back(value);
      }
    } else if (argument == "--os") {
      if (value != "linux" && value != "macos") {
        return usageError("--os takes linux or macos, not '" + value + "'");
      }
      options->os = value == "linux" ? System::Linux : System::MacOs;
      options->osGiven = true;
    } else if (argument == "--root") {
      options->root = os::absolutePath(value);
      os::FileInfo info;
      if (!os::fileInfo(options->root, &info).ok() || info.type != os::FileType::Directory) {
        return usageError("--root " + options->root + " is no directory");
      }
      if (options->root == "/") options->root.clear();
    } else if (argument == "--app") {
      options->app = os::absolutePath(value);
    } else if (argument == "--system") {
      options->system = true;
    } else if (argument == "--all") {
      options->all = true;
    } else if (argument == "--keep-directories") {
      options->keepDirectories = true;
    } else {
      return usageError("unknown option '" + argument + "' (see --help)");
    }
  }
  if (options->directory && !options->browsers.empty()) {
    return usageError("--dir and --browser do not go together");
  }
  // --dir names the one place; nothing else can choose another. (The doctor
  // takes --system with it: judge that place as every user's.)
  if (options->directory && options->system && options->command != "doctor") {
    return usageError("--dir and --system do not go together (--dir names the one place)");
  }
  if (options->directory && options->all) return usageError("--dir and --all do not go together");
  if (options->app && (options->directory || !options->browsers.empty())) {
    return usageError("--app goes with neither --dir nor --browser");
  }
  if (options->app && options->os != System::MacOs) {
    return usageError(
        "--app takes a macOS browser's .app; on Linux give a browser's directory with --dir: "
        "the user data directory that chrome://version shows, with /NativeMessagingHosts");
  }
  const std::vector<std::string> keys = browserKeys(options->os);
  for (const std::string& browser : options->browsers) {
    if (std::find(keys.begin(), keys.end(), browser) == keys.end()) {
      std::string known;
      for (const std::string& key : keys) known += " " + key;
      return usageError("unknown browser '" + browser + "' (known:" + known + ")");
    }
  }
  return {};
}

}  // namespace tarnwick::registration
