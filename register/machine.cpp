#include "machine.h"

#include <algorithm>
#include <cerrno>

#include "app_bundle.h"
#include "doctor.h"

namespace tarnwick::registration {
namespace {

// A browser the tables do not know, by its .app: Chromium's rule, with the
// user data directory that the app's Info.plist names as CrProductDirName
// (chrome/common/chrome_paths_mac.mm), else the bundle's own name, and
// Chromium's system-wide directory, as in every build not branded Google's
// (chrome/common/chrome_paths.cc), and the app's own bundle identifier as its
// policies' preference domain.
Browser appBrowser(const std::string& app, const std::string& root) {
  std::string bundle = app.substr(app.rfind('/') + 1);
  if (bundle.size() > 4 && bundle.compare(bundle.size() - 4, 4, ".app") == 0) {
    bundle.resize(bundle.size() - 4);
  }
  const std::string profile = "{home}/Library/Application Support/" +
                              readAppInfo(app, root).productDirectory.value_or(bundle);
  return Browser{.key = "app",
                 .name = bundle,
                 .profile = profile,
                 .userHosts = profile + "/NativeMessagingHosts",
                 .systemHosts = "/Library/Application Support/Chromium/NativeMessagingHosts",
                 .programs = {app},
                 .policyDomain = "{bundle}"};
}

}  // namespace

os::Status loadMachine(const Options& options, Machine* machine) {
  Machine& result = *machine;
  result = Machine{};
  const std::optional<std::string> home = os::homeDirectory();
  if (!home) return os::Status::failure(ENOENT, "no home directory for the current user");
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
        if (const std::optional<std::string> product =
                readAppInfo(program, options.root).productDirectory) {
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
  return {};
}

namespace {

// The directories `browser` reads in one scope.
std::vector<std::string> readsIn(const Browser& browser, bool systemWide) {
  std::vector<std::string> directories{systemWide ? browser.systemHosts : browser.userHosts};
  const std::vector<std::string>& more =
      systemWide ? browser.moreSystemHosts : browser.moreUserHosts;
  directories.insert(directories.end(), more.begin(), more.end());
  if (!systemWide && !browser.fallbackHosts.empty()) directories.push_back(browser.fallbackHosts);
  return directories;
}

}  // namespace

std::vector<std::string> readersOf(const std::string& directory, bool systemWide,
                                   const std::vector<Browser>& browsers,
                                   const std::vector<std::string>& except) {
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

bool anyInstalled(const Machine& here, const std::string& key) {
  return std::any_of(here.browsers.begin(), here.browsers.end(), [&](const Browser& browser) {
    return browser.key == key && isInstalled(browser, here.context);
  });
}

const Browser& firstOf(const Machine& here, const std::string& key) {
  return *std::find_if(here.browsers.begin(), here.browsers.end(),
                       [&](const Browser& browser) { return browser.key == key; });
}

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

os::Status installTargets(const Options& options, const Machine& here, std::vector<Target>* found,
                          std::vector<std::string>* skippedBuilds) {
  std::vector<Target>& targets = *found;
  std::vector<std::string>& skipped = *skippedBuilds;
  targets.clear();
  if (options.directory) {
    targets.push_back({*options.directory, {}});
    return {};
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
      return os::Status::failure(
          EINVAL, "the per-user directory of " + browser.name + " would be " + directory +
                      ", relative to wherever the browser starts, as CHROME_CONFIG_HOME is set "
                      "but empty or relative: unset it, or make it absolute");
    }
    auto target = std::find_if(targets.begin(), targets.end(),
                               [&](const Target& t) { return t.directory == directory; });
    if (target == targets.end()) {
      targets.push_back({directory, {browser.name}});
    } else {
      target->names.push_back(browser.name);
    }
  }
  return {};
}

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

}  // namespace tarnwick::registration
