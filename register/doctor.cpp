#include "doctor.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>

#include "host/framing.h"
#include "lenient_json.h"
#include "manifest.h"
#include "platform/operating_system.h"
#include "platform/process.h"
#include "platform/system.h"
#include "property_list.h"
#include "util/hex.h"

namespace tarnwick::registration {
namespace {

constexpr std::string_view kPing = "{\"type\":\"ping\"}";
// The host's own promise: a reply within 2 s, and an exit within 2 s of its
// input closing.
constexpr std::int64_t kLimitMs = 2000;
// The browser waits for a reply for ever; the doctor waits this long before
// it calls a host hung.
constexpr std::int64_t kPatienceMs = 5000;
// The longest message the browser takes from a host
// (chrome/browser/extensions/api/messaging/native_message_process_host.cc,
// kMaximumNativeMessageSize).
constexpr std::uint32_t kBrowserMessageLimit = 1024 * 1024;
// What the self-test keeps of each stream: far more than a good host ever
// writes, and little enough that a host flooding its output costs nothing.
constexpr std::size_t kKeptBytes = 64 * 1024;

// Bytes as readable text: printable ASCII as it is, the rest as \xNN.
std::string shown(std::string_view bytes, std::size_t limit = 48) {
  std::string text;
  for (const char c : bytes.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(c);
    } else {
      text += "\\x";
      appendHex(text, std::span(&byte, 1));
    }
  }
  if (bytes.size() > limit) text += "...";
  return "\"" + text + "\"";
}

// What a browser started from the desktop hands down, reduced to what
// matters to a host; PATH as a desktop session sets it at the least. macOS's
// allocator setting goes along too: a sanitized host needs it to keep its
// standard error quiet there.
std::vector<std::string> browserEnvironment() {
  std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
  for (const char* name :
       {"HOME", "USER", "LOGNAME", "LANG", "TMPDIR", "DISPLAY", "WAYLAND_DISPLAY",
        "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "MallocNanoZone"}) {
    if (const std::optional<std::string> value = os::environmentVariable(name)) {
      environment.push_back(std::string(name) + "=" + *value);
    }
  }
  return environment;
}

// Every directory from the root down to `path`'s parent must let other users
// through, or their browsers cannot reach the file. Under a `root` that
// stands for another system's "/", the walk ends at that root: what lies
// above it is not part of that system.
std::vector<std::string> unsearchableAncestors(const std::string& path, const std::string& root) {
  const bool underRoot = !root.empty() && path.compare(0, root.size() + 1, root + "/") == 0;
  std::vector<std::string> closed;
  for (std::string directory = os::parentOf(path);; directory = os::parentOf(directory)) {
    os::FileInfo info;
    if (os::fileInfo(directory, &info).ok() && !info.searchableByOthers()) {
      closed.push_back(directory);
    }
    if (directory == "/" || directory == "." || (underRoot && directory == root)) break;
  }
  return closed;
}

// Who but root can replace the system-wide manifest `file`: the file or a
// directory above it (up to `root`, when it stands for "/") owned by
// another user, or writable by its group or everyone. A tree staged under
// a root by an ordinary user is that user's to own.
std::vector<std::string> othersCanReplace(const std::string& file, const std::string& root) {
  const bool underRoot = !root.empty() && file.compare(0, root.size() + 1, root + "/") == 0;
  const unsigned trusted = underRoot && !os::runningAsRoot() ? os::userId() : 0;
  std::vector<std::string> found;
  std::string path = file;
  while (true) {
    os::FileInfo info;
    if (os::linkInfo(path, &info).ok() && info.link && path == file) {
      found.push_back("the manifest " + file + " is a symbolic link: whoever can change what " +
                      "it points to can redirect every user's browser: register again with " +
                      "`tarnwick-register install --system`");
    } else if (os::linkInfo(path, &info).ok()) {
      const std::string what = path == file ? "the manifest " : "the directory ";
      if (info.owner != trusted && info.owner != 0) {
        found.push_back(what + path + " belongs to user " + std::to_string(info.owner) +
                        ", who can point every user's browser at a program of their own: "
                        "chown root '" + path + "'");
      } else if (info.writableByOthers()) {
        found.push_back(what + path + " can be written by users other than its owner, who can " +
                        "point every user's browser at a program of their own: chmod go-w '" +
                        path + "'");
      }
    }
    if (path == "/" || path == "." || (underRoot && path == root)) break;
    path = os::parentOf(path);
  }
  return found;
}

// Every policy file of `directory`, in the order the browser applies them:
// each entry that is not a directory, hidden files and names without
// ".json" included, links followed, sorted by name
// (components/policy/core/common/config_dir_policy_loader.cc).
std::vector<std::string> policyFilesIn(const std::string& directory) {
  std::vector<std::string> files;
  std::vector<std::string> names;
  if (!os::listDirectory(directory, &names).ok()) return files;
  for (const std::string& name : names) {
    os::FileInfo info;
    const std::string file = directory + "/" + name;
    if (!os::fileInfo(file, &info).ok() || info.type != os::FileType::Directory) {
      files.push_back(file);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool listHolds(const nlohmann::json& list, std::string_view value) {
  if (!list.is_array()) return false;
  return std::any_of(list.begin(), list.end(), [&](const nlohmann::json& entry) {
    return entry.is_string() && entry.get<std::string>() == value;
  });
}

}  // namespace

SelfTest selfTest(const std::string& host, const std::string& origin) {
  // Whatever a host leaves running in a session of its own becomes ours
  // when it exits, so that it can be found and stopped.
  static const bool adopting = os::adoptOrphans();
  os::ProcessOptions options;
  options.arguments = {host, origin};
  options.environment = browserEnvironment();
  options.workingDirectory = os::parentOf(host);
  options.input = options.output = options.errors = os::Stream::pipe();
  // A group of its own, so that a hung host and anything it started can be
  // stopped together.
  options.grouping = os::Grouping::OwnGroup;
  SelfTest result;
  os::Process child;
  os::Status started = os::Process::start(options, &child);
  if (!started.ok() && started.error() == ENOEXEC) {
    // execvp runs a file the kernel does not take as a program with the
    // shell, as a script (base/process/launch_posix.cc starts hosts so).
    options.arguments = {"/bin/sh", host, origin};
    started = os::Process::start(options, &child);
  }
  if (!started.ok()) {
    result.browserFailures.push_back("it could not be started: " + started.message());
    return result;
  }
  const std::int64_t begun = os::monotonicMilliseconds();
  child.write(frame(kPing));

  // The first message, as the browser reads it: a length in native byte
  // order, then that many bytes.
  os::Captured captured;
  const std::string& output = captured.output;
  const auto claimed = [&]() -> std::optional<std::uint32_t> {
    if (output.size() < 4) return std::nullopt;
    std::uint32_t length = 0;
    std::memcpy(&length, output.data(), 4);
    return length;
  };
  const auto whole = [&] {
    const std::optional<std::uint32_t> length = claimed();
    return length && (*length > kBrowserMessageLimit || output.size() >= 4 + std::size_t{*length});
  };
  // Until the message is whole or the output ends: a host that exits may
  // still have bytes in the pipe.
  child.collect(captured, begun + kPatienceMs, kKeptBytes,
                [&] { return whole() || child.output() < 0; });
  const std::int64_t answered = os::monotonicMilliseconds() - begun;
  const bool replied = whole();
  child.closeInput();
  child.collect(captured, os::monotonicMilliseconds() + kLimitMs, kKeptBytes,
                [&] { return child.hasExited() && child.output() < 0 && child.errors() < 0; });
  const bool exited = child.hasExited();
  // Whatever the host left running in its group goes with it, and a host
  // that does not exit is stopped.
  const int group = child.id();
  child.kill();
  const os::Exit exit = child.exit().value_or(os::Exit{});
  std::string ending;
  if (exited && !exit.exited) ending = "it was killed by " + os::signalName(exit.signal);
  if (exited && exit.exited && exit.status != 0) {
    ending = "it exited with status " + std::to_string(exit.status);
  }

  if (!replied) {
    std::string why = exited ? "it ended without sending a whole reply"
                             : "it sent no whole reply within " +
                                   std::to_string(kPatienceMs / 1000) +
                                   " s, so the extension would wait for ever (it was stopped)";
    if (!output.empty()) why += "; it sent only part of one: " + shown(output);
    if (!ending.empty()) why += "; " + ending;
    result.browserFailures.push_back(why);
  } else if (*claimed() > kBrowserMessageLimit) {
    result.browserFailures.push_back("its reply claims to be " + std::to_string(*claimed()) +
                                     " bytes long, more than the browser takes (" +
                                     std::to_string(kBrowserMessageLimit) + ")");
  } else {
    const std::string expected = frame(kReplyTrue);
    const std::size_t length = 4 + std::size_t{*claimed()};
    if (output.compare(0, length, expected) != 0) {
      result.contractBreaches.push_back("it replied with " + shown(output.substr(0, length)) +
                                        " instead of " + shown(expected));
    }
    if (answered > kLimitMs) {
      result.contractBreaches.push_back("it replied after " + std::to_string(answered / 1000) +
                                        "." + std::to_string(answered % 1000 / 100) +
                                        " s, where it must within 2 s");
    }
    if (output.size() > length || captured.outputDropped > 0) {
      result.contractBreaches.push_back("it wrote stray output after its reply: " +
                                        shown(std::string_view(output).substr(length)));
    }
    if (!exited) {
      result.contractBreaches.push_back(
          "it did not exit within 2 s of its input closing (it was stopped)");
    } else if (!ending.empty()) {
      result.contractBreaches.push_back(ending);
    }
  }
  if (!captured.errors.empty()) {
    result.contractBreaches.push_back("it wrote to standard error: " + shown(captured.errors, 120));
  }
  // Orphans: a daemon it started reaches us once its parent is gone; what
  // a stopped one leaves in turn, the next round finds.
  for (int round = 0; adopting && round < 5; ++round) {
    const std::vector<os::ChildProcess> strays = os::childProcesses();
    if (strays.empty()) break;
    for (const os::ChildProcess& stray : strays) {
      // One of the host's own group was stopped with it; it only needs
      // reaping.
      if (stray.group != group) {
        result.contractBreaches.push_back("it left a process running after it: " +
                                          std::to_string(stray.id) + " (" +
                                          shown(stray.command, 80) + "), which was stopped");
      }
      os::killChild(stray.id);
    }
  }
  return result;
}

std::vector<std::string> gatekeeperProblems(const std::string& host) {
  std::vector<std::string> problems;
  if (host.find("/AppTranslocation/") != std::string::npos) {
    problems.push_back("the host " + host +
                       " runs from a randomised App Translocation copy, which moves on every "
                       "launch: move the Tarnwick app to /Applications, open it once, and "
                       "register again");
  }
  return problems;
}

// Gatekeeper lets a quarantined program run without the user's approval
// only when it is notarized, which the self-test that follows finds out.
std::optional<std::string> quarantineWarning(const std::string& host) {
  if (currentSystem() != System::MacOs ||
      quarantineOf(os::extendedAttribute(host, "com.apple.quarantine")) != Quarantine::HeldBack) {
    return std::nullopt;
  }
  return "warning: the host " + host +
         " is quarantined and not approved (com.apple.quarantine): macOS blocks it unless it is "
         "notarized; if the self-test fails, open the Tarnwick app once and allow it, or run "
         "xattr -d com.apple.quarantine '" +
         host + "'";
}

// The user-approved flag is the one Apple's own code checks
// (Security: OSX/libsecurity_utilities/lib/unix++.cpp, isUserApproved).
Quarantine quarantineOf(const std::optional<std::string>& attribute) {
  constexpr unsigned long kUserApproved = 0x0040;
  if (!attribute) return Quarantine::None;
  const std::string flags = attribute->substr(0, attribute->find(';'));
  if (flags.empty() || flags.size() > 8 ||
      flags.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return Quarantine::HeldBack;
  }
  return (std::stoul(flags, nullptr, 16) & kUserApproved) != 0 ? Quarantine::Approved
                                                               : Quarantine::HeldBack;
}

std::optional<std::string> upgradeProofPath(const std::string& host) {
  const std::size_t cellar = host.find("/Cellar/");
  if (cellar == std::string::npos) return std::nullopt;
  const std::size_t name = cellar + 8;
  const std::size_t version = host.find('/', name);
  if (version == std::string::npos || version == name) return std::nullopt;
  const std::size_t rest = host.find('/', version + 1);
  if (rest == std::string::npos || rest == version + 1) return std::nullopt;
  return host.substr(0, cellar) + "/opt/" + host.substr(name, version - name) + host.substr(rest);
}

Examination examineManifest(const std::string& file, bool systemWide, const std::string& root,
                            const std::vector<std::string>& extensionIds) {
  Examination result;
  const std::string registerAgain = ": register again with `tarnwick-register install`";
  std::string text;
  if (const os::Status read = readBoundedFile(file, &text); !read.ok()) {
    result.problems.push_back("the manifest " + file + " cannot be read (" + read.message() + ")" +
                              registerAgain);
    return result;
  }
  const Manifest manifest = checkManifest(text, kHostName);
  for (const std::string& rule : manifest.problems) {
    result.problems.push_back("the manifest " + file + " is refused: " + rule + registerAgain);
  }
  // The browser starts the host only for an extension that "allowed_origins"
  // matches (native_process_launcher.cc, MatchesSecurityOrigin).
  std::vector<std::string> allowed, forbidden;
  for (const std::string& id : extensionIds) {
    (manifest.allows(id) ? allowed : forbidden).push_back(id);
  }
  if (manifest.problems.empty() && !forbidden.empty()) {
    std::string ids;
    for (const std::string& id : forbidden) ids += (ids.empty() ? "" : ", ") + id;
    result.problems.push_back("the manifest " + file +
                              " does not allow the Tarnwick extension" +
                              (forbidden.size() == 1 ? " " : "s ") + ids +
                              " in \"allowed_origins\"" + registerAgain + " --extension-id ID");
  }
  os::FileInfo info;
  if (systemWide && os::fileInfo(file, &info).ok() && !info.readableByOthers()) {
    result.problems.push_back("the manifest " + file +
                              " is not readable by other users: chmod 644 '" + file + "'");
  }
  if (systemWide) {
    for (const std::string& closed : unsearchableAncestors(file, root)) {
      result.problems.push_back("the directory " + closed + " keeps other users out: chmod o+x '" +
                                closed + "'");
    }
    result.security = othersCanReplace(file, root);
  }
  const std::string& host = manifest.hostPath;
  if (host.empty() || host[0] != '/') return result;

  if (const os::Status found = os::fileInfo(host, &info); !found.ok()) {
    result.problems.push_back(
        "the host " + host + " named by " + file +
        (found.notFound() ? " does not exist" : " cannot be reached (" + found.message() + ")") +
        ": reinstall Tarnwick, or register the host where it is now with "
        "`tarnwick-register install --host PATH`");
    return result;
  }
  if (info.type != os::FileType::Regular) {
    result.problems.push_back("the host " + host +
                              " is not a regular file: register again with "
                              "`tarnwick-register install --host PATH`");
    return result;
  }
  if (!os::mayExecute(host) || (systemWide && !info.searchableByOthers())) {
    result.problems.push_back("the host " + host + " is not executable" +
                              (systemWide ? " by every user" : "") + ": chmod 755 '" + host + "'");
    return result;
  }
  if (systemWide) {
    for (const std::string& closed : unsearchableAncestors(host, root)) {
      result.problems.push_back("the directory " + closed +
                                " keeps other users from the host: chmod o+x '" + closed + "'");
    }
  }
  for (const std::string& problem : gatekeeperProblems(host)) result.problems.push_back(problem);
  if (const std::optional<std::string> warning = quarantineWarning(host)) {
    result.notes.push_back(*warning);
  }
  if (const std::optional<std::string> lasting = upgradeProofPath(host)) {
    result.notes.push_back("warning: " + host +
                           " is inside a versioned Homebrew keg, which the next upgrade "
                           "deletes: register again with `tarnwick-register install --host " +
                           *lasting + "`");
  }
  // A manifest the browser refuses starts nothing, so there is nothing to
  // test; otherwise the host is started as each allowed extension would.
  if (!manifest.problems.empty()) return result;
  result.notes.push_back("host: " + host);
  const auto joined = [](const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& part : parts) all += (all.empty() ? "" : "; ") + part;
    return all;
  };
  for (const std::string& id : allowed) {
    const std::string origin = "chrome-extension://" + id + "/";
    const SelfTest test = selfTest(host, origin);
    if (!test.browserFailures.empty()) {
      result.problems.push_back("the self-test of " + host + " as " + origin +
                                " failed: " + joined(test.browserFailures) +
                                ". Reinstall Tarnwick; if that does not help, report this line");
    } else {
      result.notes.push_back("self-test: started as " + origin +
                             " would start it, it replied");
    }
    if (!test.contractBreaches.empty()) {
      result.contract.push_back("broken (the browser does not check it): " +
                                joined(test.contractBreaches));
    } else if (test.browserFailures.empty()) {
      result.contract.push_back(
          "kept: exactly {\"ok\":true} within 2 s, nothing on standard error, a clean exit");
    }
  }
  return result;
}

namespace {

// The policies that decide whether the host may start. The browser honours
// them only as mandatory policy: it asks IsManagedPreference of each
// (chrome/browser/extensions/api/messaging/chrome_messaging_delegate.cc), so
// a recommended value (Linux's policies/recommended, a macOS preference the
// administrator has not forced) is never read here.
const char* const kPolicyNames[] = {"NativeMessagingUserLevelHosts", "NativeMessagingBlocklist",
                                    "NativeMessagingAllowlist"};

// For each policy, the value that decides it and the file it came from.
using Decided = std::map<std::string, std::pair<nlohmann::json, std::string>>;

void take(const nlohmann::json& document, const std::string& file, Decided& decided) {
  if (!document.is_object()) return;
  for (const char* name : kPolicyNames) {
    if (const auto value = document.find(name); value != document.end()) {
      decided[name] = {*value, file};
    }
  }
}

// A value of the wrong type counts as not set, as the policy schema drops it.
Policy judge(const Decided& decided) {
  Policy policy;
  const auto value = [&](const char* name) -> const nlohmann::json* {
    const auto found = decided.find(name);
    return found == decided.end() ? nullptr : &found->second.first;
  };
  const auto source = [&](const char* name) { return decided.at(name).second; };
  if (const nlohmann::json* userLevel = value("NativeMessagingUserLevelHosts");
      userLevel != nullptr && userLevel->is_boolean() && !userLevel->get<bool>()) {
    policy.userLevelHosts = false;
    policy.sources.push_back(source("NativeMessagingUserLevelHosts"));
  }
  const nlohmann::json* blocklist = value("NativeMessagingBlocklist");
  const nlohmann::json* allowlist = value("NativeMessagingAllowlist");
  const bool blocked =
      blocklist != nullptr && (listHolds(*blocklist, kHostName) || listHolds(*blocklist, "*"));
  const bool allowed = allowlist != nullptr && listHolds(*allowlist, kHostName);
  if (blocked && !allowed) {
    policy.blocked = true;
    const std::string file = source("NativeMessagingBlocklist");
    if (std::find(policy.sources.begin(), policy.sources.end(), file) == policy.sources.end()) {
      policy.sources.push_back(file);
    }
  }
  return policy;
}

// A bundle identifier as Apple allows one: letters, digits, "-" and ".".
bool isBundleIdentifier(const std::string& id) {
  return !id.empty() && id.find("..") == std::string::npos &&
         std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
         });
}

// The bundle identifier of the first of `browser`'s programs that is an .app
// here with one in its Info.plist (read with the plutil under `root`).
std::optional<std::string> bundleIdentifier(const Browser& browser, const std::string& root) {
  for (const std::string& program : browser.programs) {
    if (program.size() < 4 || program.compare(program.size() - 4, 4, ".app") != 0) continue;
    nlohmann::json info;
    if (!readPropertyList(program + "/Contents/Info.plist", root, &info).ok()) continue;
    const auto id = info.is_object() ? info.find("CFBundleIdentifier") : info.end();
    if (id != info.end() && id->is_string() && isBundleIdentifier(id->get<std::string>())) {
      return id->get<std::string>();
    }
  }
  return std::nullopt;
}

}  // namespace

// Each file is read as the browser reads policy files (lenient JSON with
// trailing commas; one that does not parse, or is not an object, is
// skipped), and for each policy the last file in sorted order that sets it
// decides: files are not merged value by value
// (components/policy/core/common/config_dir_policy_loader.cc).
Policy readPolicy(const std::string& directory) {
  Decided decided;
  if (directory.empty()) return {};
  Policy blocking;
  for (const std::string& file : policyFilesIn(directory)) {
    // The browser reads each file with a blocking read: on a FIFO that no
    // one writes it waits for ever, and its policies never load.
    os::FileInfo info;
    if (os::fileInfo(file, &info).ok() && info.type == os::FileType::Fifo) {
      blocking.blocking.push_back(file);
      continue;
    }
    std::string text;
    if (!readBoundedFile(file, &text).ok()) continue;
    if (const std::optional<nlohmann::json> json = readLenientJson(text, TrailingCommas::Allowed)) {
      take(*json, file, decided);
    }
  }
  Policy policy = judge(decided);
  policy.blocking = std::move(blocking.blocking);
  return policy;
}

// The browser reads its policies through CFPreferences, whose forced values
// are the managed preferences an administrator's profile installs, for the
// machine and for each user; for one key the user's come first, as
// CFPreferences searches the current user before any user
// (components/policy/core/common/policy_loader_mac.mm: a forced value is
// mandatory policy, any other recommended). Keys are merged across the two
// files, as CFPreferences merges its sources.
Policy readManagedPreferences(const std::string& domain, const PathContext& context,
                              std::vector<std::string>* unread) {
  const std::string managed = context.root + "/Library/Managed Preferences/";
  std::vector<std::string> files{managed + domain + ".plist"};
  if (!context.user.empty() && context.user.find('/') == std::string::npos) {
    files.push_back(managed + context.user + "/" + domain + ".plist");
  }
  Decided decided;
  for (const std::string& file : files) {
    nlohmann::json document;
    const os::Status read = readPropertyList(file, context.root, &document);
    if (read.ok()) {
      take(document, file, decided);
    } else if (!read.notFound()) {
      unread->push_back(file + ": " + read.message());
    }
  }
  return judge(decided);
}

bool isInstalled(const Browser& browser, const PathContext& context) {
  if (os::pathExists(browser.profile)) return true;
  if (std::any_of(browser.programs.begin(), browser.programs.end(), pathPresent)) return true;
  return !sandboxedInstallations(browser, context).empty();
}

Examination examineBrowser(const Browser& browser, const PathContext& context,
                           const std::vector<std::string>& extensionIds) {
  Examination result;
  for (const Sandboxed& sandbox : sandboxedInstallations(browser, context)) {
    if (sandbox.flatpak) {
      result.notes.push_back(
          "warning: " + browser.name + " is also installed as a Flatpak (" + sandbox.path +
          "): that one reads manifests in " + sandbox.hosts +
          " and starts a host inside its sandbox, where the host cannot reach Tarnwick's files "
          "unless the app is granted them; use " + browser.name +
          " from its regular package (.deb or .rpm) for Tarnwick");
    } else {
      result.problems.push_back(browser.name + " is installed as a Snap (" + sandbox.path +
                                "), whose sandbox cannot start native hosts: install " +
                                browser.name +
                                " from its regular package (.deb or .rpm) to use Tarnwick");
    }
  }
  Policy policy = readPolicy(browser.policies);
  // The recommended policies are read too, though none of them counts
  // here: a FIFO among them stops the browser just the same.
  if (browser.policies.size() > 8 &&
      browser.policies.compare(browser.policies.size() - 8, 8, "/managed") == 0) {
    const Policy recommended =
        readPolicy(browser.policies.substr(0, browser.policies.size() - 8) + "/recommended");
    policy.blocking.insert(policy.blocking.end(), recommended.blocking.begin(),
                           recommended.blocking.end());
  }
  if (!browser.policyDomain.empty()) {
    const std::optional<std::string> domain = browser.policyDomain == "{bundle}"
                                                  ? bundleIdentifier(browser, context.root)
                                                  : std::optional(browser.policyDomain);
    std::vector<std::string> unread;
    if (domain) {
      policy = readManagedPreferences(*domain, context, &unread);
    } else {
      result.notes.push_back(
          "reads no managed preferences here: no app of it with a bundle identifier was found");
    }
    for (const std::string& file : unread) {
      result.notes.push_back("could not read the managed preferences " + file +
                             "; what they set is not known here");
    }
  }
  std::string policyFiles;
  for (const std::string& source : policy.sources) policyFiles += " " + source;

  struct Candidate {
    std::string directory;
    bool systemWide;
  };
  // A relative per-user directory (CHROME_CONFIG_HOME set but empty, or a
  // relative one) is taken from whatever directory the browser was started
  // in: nothing can be said of it, and the browser cannot be relied on.
  if (!browser.userHosts.empty() && browser.userHosts[0] != '/') {
    result.problems.push_back(
        browser.name + " keeps its profile, and reads per-user manifests, in " +
        browser.userHosts + ", relative to the directory it happens to be started in, " +
        "as CHROME_CONFIG_HOME is set but empty or relative: unset it, or make it absolute");
  }
  std::vector<Candidate> lookup;
  std::vector<std::string> userLevel{browser.userHosts};
  userLevel.insert(userLevel.end(), browser.moreUserHosts.begin(), browser.moreUserHosts.end());
  for (const std::string& directory : userLevel) {
    if (policy.userLevelHosts) {
      lookup.push_back({directory, false});
    } else if (os::pathExists(manifestPath(directory))) {
      result.notes.push_back("ignores " + manifestPath(directory) +
                             ": the policy NativeMessagingUserLevelHosts is false (" +
                             policyFiles.substr(1) + ")");
    }
  }
  lookup.push_back({browser.systemHosts, true});
  for (const std::string& directory : browser.moreSystemHosts) lookup.push_back({directory, true});
  if (!browser.fallbackHosts.empty()) lookup.push_back({browser.fallbackHosts, false});

  // The browser takes the first manifest that exists and never falls back
  // from it, however broken it is or whatever it forbids.
  const Candidate* used = nullptr;
  for (const Candidate& candidate : lookup) {
    const std::string file = manifestPath(candidate.directory);
    if (!os::pathExists(file)) continue;
    if (used == nullptr) {
      used = &candidate;
      result.notes.push_back("uses " + file);
    } else {
      result.notes.push_back("hides " + file + ", which it reads only when the one above is gone");
    }
  }
  for (const std::string& file : policy.blocking) {
    result.problems.push_back("the policy file " + file +
                              " is a FIFO: the browser waits for ever to read it, so its policies "
                              "never load and it starts no host; remove it, or make it a file");
  }
  if (policy.blocked) {
    result.problems.push_back("the policy NativeMessagingBlocklist blocks " +
                              std::string(kHostName) + " (" + policyFiles.substr(1) +
                              "): ask the administrator to add it to NativeMessagingAllowlist");
  }
  if (used == nullptr) {
    std::string searched;
    for (const Candidate& candidate : lookup)
      searched += (searched.empty() ? "" : ", ") + candidate.directory;
    result.problems.push_back("no manifest in " + searched + ": register with `" +
                              (policy.userLevelHosts ? "tarnwick-register install"
                                                     : "sudo tarnwick-register install --system") +
                              "`");
    return result;
  }
  Examination manifest = examineManifest(manifestPath(used->directory), used->systemWide, context.root,
                                         extensionIds);
  result.problems.insert(result.problems.end(), manifest.problems.begin(), manifest.problems.end());
  result.notes.insert(result.notes.end(), manifest.notes.begin(), manifest.notes.end());
  result.contract = std::move(manifest.contract);
  result.security = std::move(manifest.security);
  return result;
}

}  // namespace tarnwick::registration
