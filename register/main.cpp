// tarnwick-register: makes the host known to the Chromium-family browsers by
// installing its native-messaging manifest, removes it again, shows where it
// is registered, and finds out why a browser would not start it.
#include <algorithm>
#include <cerrno>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "doctor.h"
#include "locations.h"
#include "manifest.h"
#include "platform/process.h"
#include "platform/system.h"
#include "property_list.h"
#include "util/hex.h"

using namespace tarnwick;
using namespace tarnwick::registration;

namespace {

constexpr std::string_view kUsage = R"(usage:
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

struct Options {
  std::string command;
  std::vector<std::string> origins;
  std::string host;
  std::vector<std::string> browsers;  // families named with --browser
  bool system = false;
  bool all = false;
  bool keepDirectories = false;
  std::optional<std::string> directory;
  System os = currentSystem();  // whose locations
  bool osGiven = false;
  std::string root;                // "" for the machine's own
  std::optional<std::string> app;  // a macOS browser's .app, for unknown forks
};

// The tool's own output. What it computed (paths above all, which come from
// HOME, manifests and directory listings) is printed with its control
// characters escaped as \xNN, so that a NUL or a newline in a name can
// neither hide nor fake a line; the tool's own literal text passes as is.
class Output {
 public:
  explicit Output(std::ostream& stream) : stream_(stream) {}
  Output& operator<<(const char* text) {
    stream_ << text;
    return *this;
  }
  Output& operator<<(const std::string& text) {
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7F) {
        stream_ << "\\x" << hexDigit(byte >> 4U) << hexDigit(byte);
      } else {
        stream_ << c;
      }
    }
    return *this;
  }
  template <typename Number>
  requires std::is_arithmetic_v<Number> Output& operator<<(Number number) {
    stream_ << number;
    return *this;
  }

 private:
  std::ostream& stream_;
};

Output out(std::cout);
Output err(std::cerr);

// A command that cannot go on: `main` prints the message as one line and
// exits with the status. Nothing is touched after it is raised.
struct Refusal {
  std::string message;
  int status = 1;
};

[[noreturn]] void fail(const std::string& message, int status = 1) {
  throw Refusal{message, status};
}

// `text` as one word of the POSIX shell.
std::string shellQuote(const std::string& text) {
  if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_./:=@%+,-") == std::string::npos) {
    return text;
  }
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// This program, by the path it was started by, so that the default host is
// found beside the link a package manager keeps (Homebrew's "opt" link, say)
// rather than inside a versioned directory that the next upgrade deletes.
std::string selfPath = {};

std::string hostBeside(const std::string& tool) {
  const std::string bin = tool.substr(0, tool.rfind('/'));
  return bin.substr(0, bin.rfind('/')) + "/libexec/tarnwick/tarnwick-host";
}

// The host beside this tool. Homebrew links only bin/ into its prefix, so a
// tool started as PREFIX/bin/tarnwick-register is followed to its keg
// (PREFIX/Cellar/NAME/VERSION), and the keg is named through PREFIX/opt/NAME,
// the link that upgrades keep. Otherwise the host beside the path as
// invoked, then beside the tool's real place; the first that is there wins.
std::string defaultHost() {
  if (selfPath.empty()) return "";
  std::vector<std::string> candidates;
  std::string real;
  if (os::resolvedPath(selfPath, &real).ok()) {
    if (const std::optional<std::string> lasting = upgradeProofPath(real)) {
      candidates.push_back(hostBeside(*lasting));
    }
  }
  candidates.push_back(hostBeside(selfPath));
  if (!real.empty()) candidates.push_back(hostBeside(real));
  for (const std::string& candidate : candidates) {
    if (os::isExecutableFile(candidate)) return candidate;
  }
  return candidates.front();
}

Options parse(int argc, char** argv) {
  if (argc < 2) fail(std::string("no command given\n") + std::string(kUsage), 2);
  Options options;
  options.command = argv[1];
  if (options.command == "-h" || options.command == "--help") {
    throw Refusal{"", 0};
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
  const auto command = commands.find(options.command);
  if (command == commands.end()) {
    fail("unknown command '" + options.command + "'\n" + std::string(kUsage), 2);
  }
  std::string anyCommandTakes = " ";
  for (const auto& [name, taken] : commands) anyCommandTakes += taken + " ";
  const auto among = [](const std::string& list, const std::string& option) {
    return (" " + list + " ").find(" " + option + " ") != std::string::npos;
  };
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (among(anyCommandTakes, argument) && !among(command->second, argument)) {
      fail(options.command + " does not take " + argument + "; nothing was touched", 2);
    }
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(argument + " needs a value; nothing was touched", 2);
      return argv[++i];
    };
    if (argument == "--extension-id") {
      const std::string id = value();
      const std::optional<std::string> origin = extensionOrigin(id);
      if (!origin) {
        fail("'" + id + "' is not an extension ID (32 letters a-p); nothing was touched", 2);
      }
      if (std::find(options.origins.begin(), options.origins.end(), *origin) ==
          options.origins.end()) {
        options.origins.push_back(*origin);
      }
    } else if (argument == "--host") {
      options.host = value();
    } else if (argument == "--dir") {
      const std::string directory = value();
      if (directory.empty()) fail("--dir needs a directory, not ''; nothing was touched", 2);
      options.directory = os::absolutePath(directory);
    } else if (argument == "--browser") {
      const std::string browser = value();
      if (std::find(options.browsers.begin(), options.browsers.end(), browser) ==
          options.browsers.end()) {
        options.browsers.push_back(browser);
      }
    } else if (argument == "--os") {
      const std::string name = value();
      if (name != "linux" && name != "macos") {
        fail("--os takes linux or macos, not '" + name + "'; nothing was touched", 2);
      }
      options.os = name == "linux" ? System::Linux : System::MacOs;
      options.osGiven = true;
    } else if (argument == "--root") {
      const std::string root = value();
      if (root.empty()) fail("--root needs a directory, not ''; nothing was touched", 2);
      options.root = os::absolutePath(root);
      if (options.root == "/") options.root.clear();
    } else if (argument == "--app") {
      const std::string app = value();
      if (app.empty()) fail("--app needs a browser's .app, not ''; nothing was touched", 2);
      options.app = os::absolutePath(app);
    } else if (argument == "--system") {
      options.system = true;
    } else if (argument == "--all") {
      options.all = true;
    } else if (argument == "--keep-directories") {
      options.keepDirectories = true;
    } else {
      fail("unknown option '" + argument + "'\n" + std::string(kUsage), 2);
    }
  }
  if (options.directory && !options.browsers.empty()) {
    fail("--dir and --browser do not go together; nothing was touched", 2);
  }
  if (options.app && (options.directory || !options.browsers.empty())) {
    fail("--app goes with neither --dir nor --browser; nothing was touched", 2);
  }
  if (options.app && options.os != System::MacOs) {
    fail(
        "--app takes a macOS browser's .app; on Linux give a browser's directory with --dir: "
        "the user data directory that chrome://version shows, with /NativeMessagingHosts; "
        "nothing was touched",
        2);
  }
  const std::vector<std::string> keys = browserKeys(options.os);
  for (const std::string& browser : options.browsers) {
    if (std::find(keys.begin(), keys.end(), browser) == keys.end()) {
      std::string known;
      for (const std::string& key : keys) known += " " + key;
      fail("unknown browser '" + browser + "' (known:" + known + "); nothing was touched", 2);
    }
  }
  return options;
}

// The state every command works from: the browsers of this system, resolved
// for this user.
struct Machine {
  std::string home;
  PathContext context;
  std::vector<Browser> browsers;  // those selected with --browser, else all
  std::vector<Browser> all;       // every browser of this system
};

// A browser the tables do not know, by its .app: Chromium's rule, with the
// user data directory that the app's Info.plist names as CrProductDirName
// (chrome/common/chrome_paths_mac.mm), else the bundle's own name, and
// Chromium's system-wide directory, as in every build not branded Google's
// (chrome/common/chrome_paths.cc), and the app's own bundle identifier as its
// policies' preference domain.
// The user data directory that the app at `app` names in its Info.plist
// (CrProductDirName, relative to ~/Library/Application Support), when it
// names a usable one.
std::optional<std::string> productDirectory(const std::string& app, const std::string& root) {
  nlohmann::json info;
  if (!readPropertyList(app + "/Contents/Info.plist", root, &info).ok() || !info.is_object() ||
      !info.contains("CrProductDirName") || !info["CrProductDirName"].is_string()) {
    return std::nullopt;
  }
  const std::string product = info["CrProductDirName"].get<std::string>();
  const bool usable = !product.empty() && product.find('\n') == std::string::npos &&
                      product.find("..") == std::string::npos && product[0] != '/';
  return usable ? std::optional(product) : std::nullopt;
}

Browser appBrowser(const std::string& app, const std::string& root) {
  std::string bundle = app.substr(app.rfind('/') + 1);
  if (bundle.size() > 4 && bundle.compare(bundle.size() - 4, 4, ".app") == 0) {
    bundle.resize(bundle.size() - 4);
  }
  const std::string profile =
      "{home}/Library/Application Support/" + productDirectory(app, root).value_or(bundle);
  return Browser{.key = "app",
                 .name = bundle,
                 .profile = profile,
                 .userHosts = profile + "/NativeMessagingHosts",
                 .systemHosts = "/Library/Application Support/Chromium/NativeMessagingHosts",
                 .programs = {app},
                 .policyDomain = "{bundle}"};
}

Machine machine(const Options& options) {
  Machine result;
  const std::optional<std::string> home = os::homeDirectory();
  if (!home) fail("no home directory for the current user; nothing was touched");
  result.home = *home;
  result.context = contextFromEnvironment(*home);
  result.context.root = options.root;
  if (options.app) {
    Browser app = resolve(appBrowser(*options.app, options.root), result.context);
    app.programs = {*options.app};  // the path as given, not under the root
    result.browsers.push_back(app);
    result.all.push_back(app);
  }
  for (const Browser& browser : browserTable(options.os)) {
    result.all.push_back(resolve(browser, result.context));
    if (browser.profileFromApp) {
      // An installed app names its own user data directory.
      Browser& resolved = result.all.back();
      for (const std::string& program : resolved.programs) {
        if (!program.ends_with(".app")) continue;
        if (const std::optional<std::string> product = productDirectory(program, options.root)) {
          resolved.profile = result.home + "/Library/Application Support/" + *product;
          resolved.userHosts = resolved.profile + "/NativeMessagingHosts";
          break;
        }
      }
    }
    if (options.app) continue;
    if (options.browsers.empty() || std::find(options.browsers.begin(), options.browsers.end(),
                                              browser.key) != options.browsers.end()) {
      result.browsers.push_back(result.all.back());
    }
  }
  return result;
}

// The directories `browser` reads in one scope.
std::vector<std::string> readsIn(const Browser& browser, bool systemWide) {
  std::vector<std::string> directories{systemWide ? browser.systemHosts : browser.userHosts};
  const std::vector<std::string>& more =
      systemWide ? browser.moreSystemHosts : browser.moreUserHosts;
  directories.insert(directories.end(), more.begin(), more.end());
  if (!systemWide && !browser.fallbackHosts.empty()) directories.push_back(browser.fallbackHosts);
  return directories;
}

// The families (by their first build's name) among `browsers` that read
// `directory`, leaving out `except`.
std::vector<std::string> readersOf(const std::string& directory, bool systemWide,
                                   const std::vector<Browser>& browsers,
                                   const std::vector<std::string>& except = {}) {
  std::vector<std::string> names, keys;
  for (const Browser& browser : browsers) {
    const std::vector<std::string> reads = readsIn(browser, systemWide);
    if (std::find(reads.begin(), reads.end(), directory) == reads.end()) continue;
    if (std::find(except.begin(), except.end(), browser.key) != except.end()) continue;
    if (std::find(keys.begin(), keys.end(), browser.key) != keys.end()) continue;
    keys.push_back(browser.key);
    names.push_back(browser.name);
  }
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  }
  return text;
}

bool isHostsDirectory(const std::string& directory) {
  const std::string name = directory.substr(directory.rfind('/') + 1);
  return name == "NativeMessagingHosts" || name == "native-messaging-hosts";
}

void refuseUnderSudo(const Options& options, const char* what) {
  const std::optional<std::string> sudoUser = os::environmentVariable("SUDO_USER");
  if (options.system || options.directory || !sudoUser || !os::runningAsRoot()) return;
  fail(std::string("run through sudo, a per-user ") + what + " would act on root's home, not " +
       *sudoUser + "'s: use --system for every user, or run it without sudo; nothing was touched");
}

// What to do about a refused write of every user's registration.
std::string needsRoot(const Options& options, const os::Status& failure) {
  if (!options.system || os::runningAsRoot()) return "";
  if (failure.error() != EACCES && failure.error() != EPERM) return "";
  return " (registering for every user needs root: run it with sudo)";
}

std::string undoCommand(const Options& options) {
  std::string command =
      shellQuote(selfPath.empty() ? "tarnwick-register" : selfPath) + " uninstall";
  if (options.system) command += " --system";
  for (const std::string& browser : options.browsers) command += " --browser " + browser;
  if (options.directory) command += " --dir " + shellQuote(*options.directory);
  if (options.osGiven) command += options.os == System::Linux ? " --os linux" : " --os macos";
  if (!options.root.empty()) command += " --root " + shellQuote(options.root);
  if (options.app) command += " --app " + shellQuote(*options.app);
  return command;
}

bool anyInstalled(const Machine& here, const std::string& key) {
  return std::any_of(here.browsers.begin(), here.browsers.end(), [&](const Browser& browser) {
    return browser.key == key && isInstalled(browser, here.context);
  });
}

const Browser& firstOf(const Machine& here, const std::string& key) {
  return *std::find_if(here.browsers.begin(), here.browsers.end(),
                       [&](const Browser& browser) { return browser.key == key; });
}

// The builds not here, by family where a whole family is missing.
std::vector<std::string> skippedNames(const Machine& here,
                                      const std::vector<std::string>& skipped) {
  std::vector<std::string> names;
  for (const Browser& browser : here.browsers) {
    if (std::find(skipped.begin(), skipped.end(), browser.name) == skipped.end()) continue;
    if (!anyInstalled(here, browser.key) && &browser != &firstOf(here, browser.key)) continue;
    names.push_back(!anyInstalled(here, browser.key) ? browser.name + " (any channel)"
                                                     : browser.name);
  }
  return names;
}

struct Target {
  std::string directory;
  std::vector<std::string> names;  // the browsers it is written for
};

// Where `install` with `options` writes, with the browsers each place is
// for; the browsers left out for not being here go to `skipped`.
std::vector<Target> installTargets(const Options& options, const Machine& here,
                                   std::vector<std::string>& skipped) {
  std::vector<Target> targets;
  if (options.directory) {
    targets.push_back({*options.directory, {}});
    return targets;
  }
  for (const Browser& browser : here.browsers) {
    const bool present =
        options.system ? std::any_of(browser.programs.begin(), browser.programs.end(), pathPresent)
                       : isInstalled(browser, here.context);
    if (!present && !options.all && options.browsers.empty()) {
      if (std::find(skipped.begin(), skipped.end(), browser.name) == skipped.end()) {
        skipped.push_back(browser.name);
      }
      continue;
    }
    const std::string& directory = options.system ? browser.systemHosts : browser.userHosts;
    // Relative only through the environment (an empty CHROME_CONFIG_HOME):
    // it would land wherever this tool happens to run.
    if (directory.empty() || directory[0] != '/') {
      fail("the per-user directory of " + browser.name + " would be " + directory +
           ", relative to wherever the browser starts, as CHROME_CONFIG_HOME is set but empty "
           "or relative: unset it, or make it absolute; nothing was touched");
    }
    auto target = std::find_if(targets.begin(), targets.end(),
                               [&](const Target& t) { return t.directory == directory; });
    if (target == targets.end()) {
      targets.push_back({directory, {browser.name}});
    } else {
      target->names.push_back(browser.name);
    }
  }
  return targets;
}

// The directories `install` with the same options would write, one a line,
// for packagers who need to know them beforehand.
int directories(const Options& options) {
  const Machine here = machine(options);
  std::vector<std::string> skipped;
  for (const Target& target : installTargets(options, here, skipped)) {
    out << target.directory << "\n";
  }
  return 0;
}

// Whether `file` already holds exactly `text` with the mode install gives.
// Such a manifest is left alone (same file, same time): an application may
// register again at every start, which is what keeps manifests from
// pointing at a host that an upgrade moved, and then nothing is rewritten.
bool alreadyInPlace(const std::string& file, const std::string& text) {
  std::string current;
  os::FileInfo info;
  return readBoundedFile(file, &current).ok() && current == text &&
         os::fileInfo(file, &info).ok() && info.mode == 0644;
}

int install(const Options& options) {
  if (options.origins.empty()) fail("give at least one --extension-id; nothing was touched", 2);
  refuseUnderSudo(options, "install");
  const std::string host = os::absolutePath(options.host.empty() ? defaultHost() : options.host);
  if (!os::isExecutableFile(host)) fail("no executable host at " + host + "; nothing was touched");
  const std::optional<std::string> manifest = manifestText(host, options.origins);
  if (!manifest) fail("the host path is not valid UTF-8; nothing was touched");

  const Machine here = machine(options);
  std::vector<std::string> skipped;
  const std::vector<Target> targets = installTargets(options, here, skipped);

  // Every place is tried, and every failure reported with its own cause.
  int written = 0, failed = 0;
  for (const Target& target : targets) {
    const std::string file = manifestPath(target.directory);
    const bool unchanged = alreadyInPlace(file, *manifest);
    os::Status done;
    // An uninstall running at the same time may take the directory away
    // between its making and the write: then it is made again.
    for (int attempt = 0; attempt < 3 && !unchanged; ++attempt) {
      done = os::createDirectories(target.directory, 0755);
      if (done.ok()) done = os::writeFileAtomically(file, *manifest, 0644);
      if (!done.notFound()) break;
    }
    if (!done.ok()) {
      err << "tarnwick-register: could not write " << file << ": " << done.message()
          << needsRoot(options, done) << "\n";
      ++failed;
      continue;
    }
    ++written;
    out << "registered" << (target.names.empty() ? "" : " for " + joined(target.names)) << ": "
        << file << (unchanged ? " (unchanged)" : "") << "\n";
    if (!options.browsers.empty()) {
      const std::vector<std::string> others =
          readersOf(target.directory, options.system, here.all, options.browsers);
      if (!others.empty()) out << "  this file is also read by " << joined(others) << "\n";
    }
  }
  if (!skipped.empty()) {
    out << "skipped, not installed: " << joined(skippedNames(here, skipped))
        << " (--all registers for them too)\n";
  }
  for (const Browser& browser : here.browsers) {
    for (const Sandboxed& sandbox : sandboxedInstallations(browser, here.context)) {
      if (sandbox.flatpak) {
        out << "note: " << browser.name << " is installed as a Flatpak (" << sandbox.path
            << "), which reads manifests in " << sandbox.hosts
            << " and runs the host inside its sandbox, away from Tarnwick's files; use "
            << browser.name << " from its regular package for Tarnwick\n";
      } else {
        out << "note: " << browser.name << " is installed as a Snap (" << sandbox.path
            << "), whose sandbox cannot start native hosts; use " << browser.name
            << " from its regular package for Tarnwick\n";
      }
    }
  }
  // The undo command is printed as it must be pasted: shell-quoted, so any
  // character of a path stays inside its quotes.
  if (written > 0) std::cout << "undo with: " << undoCommand(options) << "\n";
  if (failed > 0) {
    err << "tarnwick-register: " << failed << " of " << targets.size() << " registrations failed\n";
    return 1;
  }
  if (written == 0) {
    out << "no browser found to register for; use --all, --browser NAME, or --dir for "
           "another place\n";
  }
  return 0;
}

// The manifest directories a command looks at, with the browsers of the
// selection that read each.
std::vector<Target> directoriesInScope(const Options& options, const Machine& here,
                                       bool systemWide) {
  if (options.directory) return {{*options.directory, {}}};
  std::vector<Target> targets;
  for (const Browser& browser : here.browsers) {
    for (const std::string& directory : readsIn(browser, systemWide)) {
      if (std::none_of(targets.begin(), targets.end(),
                       [&](const Target& t) { return t.directory == directory; })) {
        targets.push_back({directory, readersOf(directory, systemWide, here.browsers)});
      }
    }
  }
  return targets;
}

int uninstall(const Options& options) {
  refuseUnderSudo(options, "uninstall");
  const Machine here = machine(options);
  std::vector<Browser> installedOthers;
  for (const Browser& browser : here.all) {
    if (isInstalled(browser, here.context)) installedOthers.push_back(browser);
  }
  int removed = 0, failed = 0;
  for (const Target& target : directoriesInScope(options, here, options.system)) {
    const std::string file = manifestPath(target.directory);
    std::string text;
    const os::Status read = readBoundedFile(file, &text);
    // Only this host's own manifest is removed, never a file that merely has
    // its name.
    if (!read.ok() && os::pathExists(file)) {
      out << "left " << file << " alone: " << read.message() << "\n";
    }
    if (!read.ok() || !isOurManifest(text)) continue;
    if (!options.browsers.empty()) {
      const std::vector<std::string> others =
          readersOf(target.directory, options.system, installedOthers, options.browsers);
      if (!others.empty()) {
        out << "kept " << file << ": " << joined(others)
            << " reads it too (name it with --browser to remove it as well)\n";
        continue;
      }
    }
    const os::Status unlinked = os::removeFile(file);
    // Gone already: another uninstall running at the same time took it.
    if (unlinked.notFound()) continue;
    if (!unlinked.ok()) {
      err << "tarnwick-register: could not remove " << file << ": " << unlinked.message()
          << needsRoot(options, unlinked) << "\n";
      ++failed;
      continue;
    }
    out << "removed " << file << "\n";
    ++removed;
    // A manifest directory of the browsers' own goes too once empty; a
    // directory given with --dir is the user's and stays.
    if (!options.directory && !options.keepDirectories && isHostsDirectory(target.directory) &&
        os::removeDirectory(target.directory).ok()) {
      out << "removed " << target.directory << "\n";
    }
  }
  if (removed == 0 && failed == 0) out << "not registered anywhere here\n";
  return failed > 0 ? 1 : 0;
}

int status(const Options& options) {
  const Machine here = machine(options);
  int found = 0;
  for (const bool systemWide : {false, true}) {
    if (options.directory && systemWide) break;
    // --system: only what every user gets
    if (options.system && !systemWide && !options.directory) continue;
    for (const Target& target : directoriesInScope(options, here, systemWide)) {
      const std::string file = manifestPath(target.directory);
      std::string text;
      const os::Status read = readBoundedFile(file, &text);
      if (!read.ok() || !isOurManifest(text)) {
        if (os::pathExists(file) && !read.ok()) {
          out << file << ": unreadable (" << read.message() << ")\n";
        }
        continue;
      }
      ++found;
      const Manifest manifest = checkManifest(text, kHostName);
      out << (target.names.empty() ? "" : joined(target.names) + ": ") << file
          << (systemWide ? " (every user)" : "") << "\n  host: " << manifest.hostPath
          << (os::isExecutableFile(manifest.hostPath) ? "" : "  (MISSING)") << "\n";
      for (const std::string& origin : manifest.origins) out << "  allows: " << origin << "\n";
      for (const std::string& problem : manifest.problems) {
        out << "  BROKEN: " << problem << "\n";
      }
    }
  }
  if (found == 0) out << "not registered anywhere here\n";
  return 0;
}

void printExamination(const std::string& subject, const Examination& examination) {
  out << subject << ": " << (examination.healthy() ? "healthy" : "FAILS") << "\n";
  for (const std::string& note : examination.notes) out << "  " << note << "\n";
  for (const std::string& problem : examination.problems) out << "  problem: " << problem << "\n";
  for (const std::string& line : examination.contract) out << "  host contract: " << line << "\n";
}

// The extensions the doctor checks for: those named with --extension-id,
// else the installed list beside the tool (PREFIX/share/tarnwick/
// extension-ids, one ID a line), else the list this build was made with.
std::vector<std::string> extensionIdsToCheck(const Options& options) {
  std::vector<std::string> ids;
  const auto add = [&](const std::string& origin) {
    const std::string id = origin.substr(19, 32);  // chrome-extension://<id>/
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  };
  for (const std::string& origin : options.origins) add(origin);
  if (!ids.empty() || selfPath.empty()) return ids;
  std::string listed;
  const std::string bin = selfPath.substr(0, selfPath.rfind('/'));
  const std::string file = bin.substr(0, bin.rfind('/')) + "/share/tarnwick/extension-ids";
  if (!readBoundedFile(file, &listed).ok()) listed = TARNWICK_EXTENSION_IDS;
  std::string line;
  for (const char c : listed + "\n") {
    if (c == '\n' || c == ',') {
      if (const std::optional<std::string> origin = extensionOrigin(line)) add(*origin);
      line.clear();
    } else if (c != '\r' && c != ' ') {
      line.push_back(c);
    }
  }
  return ids;
}

int doctor(const Options& options) {
  const std::vector<std::string> ids = extensionIdsToCheck(options);
  if (ids.empty()) fail("no Tarnwick extension ID is known here: name one with --extension-id", 2);
  if (options.directory) {
    const Examination examination =
        examineManifest(manifestPath(*options.directory), options.system, options.root, ids);
    printExamination(*options.directory, examination);
    out << "doctor: "
        << (examination.healthy() ? "the manifest there would start the host"
                                  : "the manifest there would not start the host")
        << "\n";
    return examination.healthy() ? 0 : 1;
  }
  const Machine here = machine(options);
  std::vector<std::string> healthy, failing;
  for (const Browser& browser : here.browsers) {
    // The builds that are here; of a family named with --browser but not
    // here at all, its main build, so that the answer says what is missing.
    if (!isInstalled(browser, here.context) &&
        (options.browsers.empty() || anyInstalled(here, browser.key) ||
         &browser != &firstOf(here, browser.key))) {
      continue;
    }
    Examination examination = examineBrowser(browser, here.context, ids);
    if (!isInstalled(browser, here.context)) {
      examination.notes.insert(examination.notes.begin(), "not installed here");
    }
    printExamination(browser.name, examination);
    (examination.healthy() ? healthy : failing).push_back(browser.name);
  }
  if (healthy.empty() && failing.empty()) {
    out << "doctor: no browser found; name one with --browser\n";
    return 1;
  }
  if (failing.empty()) {
    out << "doctor: healthy: " << joined(healthy) << " would start the host\n";
    return 0;
  }
  out << "doctor: " << joined(failing) << (failing.size() == 1 ? " would" : " would each")
      << " fail to start the host"
      << (healthy.empty() ? "" : "; " + joined(healthy) + " would start it") << "\n";
  return 1;
}

int printManifest(const Options& options) {
  if (options.origins.empty()) fail("give at least one --extension-id", 2);
  const std::string host = os::absolutePath(options.host.empty() ? defaultHost() : options.host);
  const std::optional<std::string> manifest = manifestText(host, options.origins);
  if (!manifest) fail("the host path is not valid UTF-8");
  std::cout << *manifest;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A host or a reader that is gone is reported, not fatal; and no pipe or
  // file of the doctor's may take the number of a closed standard stream.
  os::prepareStandardStreams();
  try {
    selfPath = os::invokedPath(argc > 0 ? argv[0] : "");
    const Options options = parse(argc, argv);
    if (options.command == "install") return install(options);
    if (options.command == "uninstall") return uninstall(options);
    if (options.command == "doctor") return doctor(options);
    if (options.command == "print-manifest") return printManifest(options);
    if (options.command == "directories") return directories(options);
    return status(options);
  } catch (const Refusal& refusal) {
    if (refusal.status == 0) {
      std::cout << kUsage;
    } else {
      std::cerr << "tarnwick-register: " << refusal.message << "\n";
    }
    return refusal.status;
  } catch (const std::exception& error) {
    err << "tarnwick-register: unexpected failure: " << error.what() << "\n";
    return 1;
  }
}
