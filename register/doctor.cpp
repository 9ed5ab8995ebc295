#include "doctor.h"

#include <algorithm>
#include <string>

#include "app_bundle.h"
#include "manifest.h"
#include "platform/system.h"

namespace tarnwick::registration {
namespace {

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
                        "chown root '" +
                        path + "'");
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

}  // namespace

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
    result.problems.push_back("the manifest " + file + " does not allow the Tarnwick extension" +
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
      result.notes.push_back("self-test: started as " + origin + " would start it, it replied");
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

bool isInstalled(const Browser& browser, const PathContext& context) {
  if (os::pathExists(browser.profile)) return true;
  if (std::any_of(browser.programs.begin(), browser.programs.end(), pathPresent)) return true;
  return !sandboxedInstallations(browser, context).empty();
}

Lookup lookUp(const Browser& browser, bool userLevelHosts,
              const std::function<bool(const std::string& file)>& exists) {
  Lookup lookup;
  std::vector<std::string> userLevel{browser.userHosts};
  userLevel.insert(userLevel.end(), browser.moreUserHosts.begin(), browser.moreUserHosts.end());
  for (const std::string& directory : userLevel) {
    if (userLevelHosts) {
      lookup.searched.push_back({directory, false});
    } else if (exists(manifestPath(directory))) {
      lookup.ignored.push_back(manifestPath(directory));
    }
  }
  lookup.searched.push_back({browser.systemHosts, true});
  for (const std::string& directory : browser.moreSystemHosts) {
    lookup.searched.push_back({directory, true});
  }
  if (!browser.fallbackHosts.empty()) lookup.searched.push_back({browser.fallbackHosts, false});
  // The browser takes the first manifest that exists and never falls back
  // from it, however broken it is or whatever it forbids.
  for (const Lookup::Place& place : lookup.searched) {
    const std::string file = manifestPath(place.directory);
    if (!exists(file)) continue;
    if (lookup.used) {
      lookup.hidden.push_back(file);
    } else {
      lookup.used = place;
    }
  }
  return lookup;
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
          "unless the app is granted them; use " +
          browser.name + " from its regular package (.deb or .rpm) for Tarnwick");
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

  // A relative per-user directory (CHROME_CONFIG_HOME set but empty, or a
  // relative one) is taken from whatever directory the browser was started
  // in: nothing can be said of it, and the browser cannot be relied on.
  if (!browser.userHosts.empty() && browser.userHosts[0] != '/') {
    result.problems.push_back(
        browser.name + " keeps its profile, and reads per-user manifests, in " + browser.userHosts +
        ", relative to the directory it happens to be started in, " +
        "as CHROME_CONFIG_HOME is set but empty or relative: unset it, or make it absolute");
  }
  const Lookup lookup = lookUp(browser, policy.userLevelHosts, os::pathExists);
  for (const std::string& file : lookup.ignored) {
    result.notes.push_back("ignores " + file +
                           ": the policy NativeMessagingUserLevelHosts is false (" +
                           policyFiles.substr(1) + ")");
  }
  if (lookup.used) result.notes.push_back("uses " + manifestPath(lookup.used->directory));
  for (const std::string& file : lookup.hidden) {
    result.notes.push_back("hides " + file + ", which it reads only when the one above is gone");
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
  const std::optional<Lookup::Place>& used = lookup.used;
  if (!used) {
    std::string searched;
    for (const Lookup::Place& place : lookup.searched)
      searched += (searched.empty() ? "" : ", ") + place.directory;
    result.problems.push_back("no manifest in " + searched + ": register with `" +
                              (policy.userLevelHosts ? "tarnwick-register install"
                                                     : "sudo tarnwick-register install --system") +
                              "`");
    return result;
  }
  Examination manifest =
      examineManifest(manifestPath(used->directory), used->systemWide, context.root, extensionIds);
  result.problems.insert(result.problems.end(), manifest.problems.begin(), manifest.problems.end());
  result.notes.insert(result.notes.end(), manifest.notes.begin(), manifest.notes.end());
  result.contract = std::move(manifest.contract);
  result.security = std::move(manifest.security);
  return result;
}

}  // namespace tarnwick::registration
