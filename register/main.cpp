// tarnwick-register: makes the host known to Chrome, Edge, Chromium, Brave and
// Vivaldi by installing its native-messaging manifest, removes it again, and
// shows where it is registered.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include "locations.h"
#include "manifest.h"
#include "platform/platform.h"

using namespace tarnwick;
using namespace tarnwick::registration;

namespace {

constexpr const char* kUsage = R"(usage:
  tarnwick-register install --extension-id ID [--extension-id ID ...] [options]
  tarnwick-register uninstall [options]
  tarnwick-register status [options]

options:
  --extension-id ID  an extension allowed to start the host: 32 letters a-p,
                     bare or as chrome-extension://ID/ (repeat for several)
  --host PATH        the installed host (default: ../libexec/tarnwick/tarnwick-host
                     beside this program)
  --system           for every user of the machine instead of the current one
  --all              also for browsers that do not seem to be installed
  --dir DIR          only this manifest directory (other profiles, other browsers)
)";

struct Options {
  std::string command;
  std::vector<std::string> origins;
  std::string host;
  bool system = false;
  bool all = false;
  std::string directory;
};

[[noreturn]] void fail(const std::string& message, int status = 1) {
  std::cerr << "tarnwick-register: " << message << "\n";
  std::exit(status);
}

std::string manifestFile(const std::string& directory) {
  return directory + "/" + std::string(kHostName) + ".json";
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string defaultHost() {
  char buffer[PATH_MAX] = {};
#if defined(__APPLE__)
  uint32_t size = sizeof buffer;
  if (_NSGetExecutablePath(buffer, &size) != 0) return "";
#else
  if (::readlink("/proc/self/exe", buffer, sizeof buffer - 1) <= 0) return "";
#endif
  char resolved[PATH_MAX] = {};
  if (::realpath(buffer, resolved) == nullptr) return "";
  std::string self = resolved;
  const std::string bin = self.substr(0, self.rfind('/'));
  return bin.substr(0, bin.rfind('/')) + "/libexec/tarnwick/tarnwick-host";
}

Options parse(int argc, char** argv) {
  if (argc < 2) fail(std::string("no command given\n") + kUsage, 2);
  Options options;
  options.command = argv[1];
  if (options.command == "-h" || options.command == "--help") {
    std::cout << kUsage;
    std::exit(0);
  }
  if (options.command != "install" && options.command != "uninstall" &&
      options.command != "status") {
    fail("unknown command '" + options.command + "'\n" + kUsage, 2);
  }
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(argument + " needs a value", 2);
      return argv[++i];
    };
    if (argument == "--extension-id") {
      const std::string id = value();
      const std::optional<std::string> origin = extensionOrigin(id);
      if (!origin)
        fail("'" + id + "' is not an extension ID (32 letters a-p); nothing was written");
      options.origins.push_back(*origin);
    } else if (argument == "--host") {
      options.host = value();
    } else if (argument == "--dir") {
      options.directory = value();
    } else if (argument == "--system") {
      options.system = true;
    } else if (argument == "--all") {
      options.all = true;
    } else {
      fail("unknown option '" + argument + "'\n" + kUsage, 2);
    }
  }
  return options;
}

// The locations a command works on: the one directory given, or the
// browsers' own, per user or system-wide.
std::vector<Location> locationsFor(const Options& options, Platform& platform) {
  if (!options.directory.empty()) return {{"custom", options.directory, options.directory}};
  if (options.system) return systemLocations();
  const std::optional<std::string> home = platform.homeDirectory();
  if (!home) fail("no home directory for the current user");
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  const std::string configHome = xdg != nullptr && xdg[0] == '/' ? xdg : *home + "/.config";
  return userLocations(*home, configHome);
}

void reportSandboxed(Platform& platform) {
  const std::optional<std::string> home = platform.homeDirectory();
  for (const std::string& browser : sandboxedBrowsers(home.value_or(""))) {
    std::cout << "note: " << browser
              << " runs in a sandbox that cannot start native hosts registered here; "
                 "use a browser installed from a regular package for Tarnwick\n";
  }
}

int install(const Options& options, Platform& platform) {
  if (options.origins.empty()) fail("give at least one --extension-id; nothing was written");
  std::string host = options.host.empty() ? defaultHost() : options.host;
  if (host.empty() || host[0] != '/') fail("the host path must be absolute: '" + host + "'");
  if (!isExecutableFile(host)) fail("no executable host at " + host + "; nothing was written");
  const std::optional<std::string> manifest = manifestText(host, options.origins);
  if (!manifest) fail("the host path is not valid UTF-8; nothing was written");

  int written = 0;
  std::string skipped;
  for (const Location& location : locationsFor(options, platform)) {
    const bool present = ::access(location.configuration.c_str(), F_OK) == 0;
    if (!present && !options.all && options.directory.empty()) {
      skipped += (skipped.empty() ? "" : ", ") + location.browser;
      continue;
    }
    const std::string file = manifestFile(location.manifests);
    if (!platform.createDirectory(location.manifests) ||
        !platform.writeFileAtomically(file, *manifest) || ::chmod(file.c_str(), 0644) != 0) {
      fail("could not write " + file + ": " + std::strerror(errno), 3);
    }
    std::cout << "registered for " << location.browser << ": " << file << "\n";
    ++written;
  }
  if (!skipped.empty()) {
    std::cout << "skipped, not installed: " << skipped << " (--all registers for them too)\n";
  }
  if (options.system && options.directory.empty()) {
    for (const std::string& browser : browsersWithoutSystemLocation()) {
      std::cout << "note: " << browser
                << " documents no system-wide location; register it per user instead\n";
    }
  }
  reportSandboxed(platform);
  if (written == 0) {
    std::cout << "no browser found to register for; use --all, or --dir for another place\n";
  } else {
    std::cout << "undo with: tarnwick-register uninstall" << (options.system ? " --system" : "")
              << (options.directory.empty() ? "" : " --dir '" + options.directory + "'") << "\n";
  }
  return 0;
}

int uninstall(const Options& options, Platform& platform) {
  int removed = 0;
  for (const Location& location : locationsFor(options, platform)) {
    const std::string file = manifestFile(location.manifests);
    // Only this host's own manifest is removed, never a file that merely
    // has its name.
    if (!readManifest(file)) continue;
    if (::unlink(file.c_str()) != 0)
      fail("could not remove " + file + ": " + std::strerror(errno), 3);
    std::cout << "removed " << file << "\n";
    ++removed;
    // The directory goes too if the manifest was all it held.
    if (::rmdir(location.manifests.c_str()) == 0)
      std::cout << "removed " << location.manifests << "\n";
  }
  if (removed == 0) std::cout << "not registered anywhere here\n";
  return 0;
}

int status(const Options& options, Platform& platform) {
  int found = 0;
  for (const Location& location : locationsFor(options, platform)) {
    const std::string file = manifestFile(location.manifests);
    const std::optional<Registration> registration = readManifest(file);
    if (!registration) continue;
    ++found;
    std::cout << location.browser << ": " << file << "\n  host: " << registration->hostPath
              << (isExecutableFile(registration->hostPath) ? "" : "  (MISSING)") << "\n";
    for (const std::string& origin : registration->origins)
      std::cout << "  allows: " << origin << "\n";
  }
  if (found == 0) std::cout << "not registered anywhere here\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  const auto platform = makeSystemPlatform();
  if (options.command == "install") return install(options, *platform);
  if (options.command == "uninstall") return uninstall(options, *platform);
  return status(options, *platform);
}
