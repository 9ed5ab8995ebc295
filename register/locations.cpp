#include "locations.h"

#include "platform/system.h"

namespace tarnwick::registration {
namespace {

// The directories that several rows share.
const char* const kChromeHosts = "/etc/opt/chrome/native-messaging-hosts";
const char* const kChromePolicies = "/etc/opt/chrome/policies/managed";
const char* const kEdgeHosts = "/etc/opt/edge/native-messaging-hosts";
const char* const kEdgePolicies = "/etc/opt/edge/policies/managed";
const char* const kBravePolicies = "/etc/brave/policies/managed";
const char* const kChromiumHosts = "/etc/chromium/native-messaging-hosts";
const char* const kChromiumPolicies = "/etc/chromium/policies/managed";
const char* const kMacChromeHosts = "/Library/Google/Chrome/NativeMessagingHosts";
const char* const kMacChromiumHosts = "/Library/Application Support/Chromium/NativeMessagingHosts";
const char* const kMacChromeUserHosts =
    "{home}/Library/Application Support/Google/Chrome/NativeMessagingHosts";
// On macOS policies are the managed values of one preference domain: Chrome's
// own for every channel of Chrome, Chrome for Testing's (from 146), and in
// every other build the app's own bundle identifier, its base bundle ID
// (chrome/browser/policy/chrome_browser_policy_connector.cc,
// CreatePlatformProvider; chrome/app/chrome_main_mac.mm). Edge is closed
// source: its domain is the one Microsoft documents for every channel.
const char* const kGoogleChromeDomain = "com.google.Chrome";
const char* const kEdgeDomain = "com.microsoft.Edge";
const char* const kOwnBundle = "{bundle}";

// Brave reads its own per-user directory under the XDG configuration home
// only ($CHROME_CONFIG_HOME plays no part), one per channel, and Chrome's
// system-wide directory, not Chromium's (brave-core:
// chromium_src/chrome/common/chrome_paths_linux.cc,
// common/brave_channel_info_posix.cc, app/brave_main_delegate.cc).
//
// Vivaldi reads Chrome's system-wide directory, and when neither of its own
// directories has the manifest, Chrome's per-user one, always under
// ~/.config whatever the environment says (Vivaldi's source:
// extraparts/vivaldi_browser_main_extra_parts.cc, which points
// DIR_NATIVE_MESSAGING at Chrome's, the Vivaldi block in
// chrome/browser/extensions/api/messaging/launch_context_posix.cc, and
// importer/chromium_importer_util_linux.cc). Its policies are Chromium's, in
// /etc/chromium/policies (chromium/chrome/common/chrome_paths.cc,
// DIR_POLICY_FILES, left as Chromium has it).
//
// The browsers below keep Chromium's rule (chrome/common/chrome_paths.cc):
// the per-user directory is <user data directory>/NativeMessagingHosts, and
// the system-wide one is Google's only in Google-branded builds, Chromium's
// in all others.
// - Chrome for Testing: its user data directory is "google-chrome-for-testing"
//   under Chrome's configuration home, with no channels
//   (chrome/common/chrome_paths_linux.cc, GOOGLE_CHROME_FOR_TESTING_BRANDING).
//   From release 146 it has a system-wide directory of its own; before, it
//   read Chromium's (not Google-branded), so it is two rows and --system
//   writes both. Puppeteer installs builds under ~/.cache/puppeteer.
// - Thorium: its own user data directory, Chromium's system-wide directory
//   and policies (its chrome_paths_linux.cc; chrome_paths.cc not changed).
// - Helium: "net.imput.helium" under $HELIUM_CONFIG_HOME or the XDG home
//   (helium-linux: change-chromium-branding.patch), and then Chrome's per-user
//   and system-wide directories, read after its own
//   (helium: patches/helium/core/scan-chrome-native-messaging-hosts.patch).
// - Opera is closed source: its rows follow Opera's developer documentation
//   only, which says it reads Chrome's directories.
const std::vector<Browser> kLinux{
    {.key = "chrome",
     .name = "Chrome",
     .profile = "{config}/google-chrome",
     .userHosts = "{config}/google-chrome/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/google/chrome/chrome"},
     .policies = kChromePolicies,
     .flatpaks = {"com.google.Chrome"}},
    {.key = "chrome",
     .name = "Chrome Beta",
     .profile = "{config}/google-chrome-beta",
     .userHosts = "{config}/google-chrome-beta/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/google/chrome-beta/chrome"},
     .policies = kChromePolicies},
    {.key = "chrome",
     .name = "Chrome Unstable",
     .profile = "{config}/google-chrome-unstable",
     .userHosts = "{config}/google-chrome-unstable/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/google/chrome-unstable/chrome"},
     .policies = kChromePolicies,
     .flatpaks = {"com.google.ChromeDev"}},
    {.key = "chrome",
     .name = "Chrome Canary",
     .profile = "{config}/google-chrome-canary",
     .userHosts = "{config}/google-chrome-canary/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/google/chrome-canary/chrome"},
     .policies = kChromePolicies},
    {.key = "chromium",
     .name = "Chromium",
     .profile = "{config}/chromium",
     .userHosts = "{config}/chromium/NativeMessagingHosts",
     .systemHosts = kChromiumHosts,
     .programs = {"/usr/lib/chromium/chromium", "/usr/lib/chromium-browser/chromium-browser",
                  "/usr/lib64/chromium-browser/chromium-browser"},
     .policies = kChromiumPolicies,
     .snaps = {"chromium"},
     .flatpaks = {"org.chromium.Chromium"}},
    {.key = "edge",
     .name = "Edge",
     .profile = "{config}/microsoft-edge",
     .userHosts = "{config}/microsoft-edge/NativeMessagingHosts",
     .systemHosts = kEdgeHosts,
     .programs = {"/opt/microsoft/msedge/msedge"},
     .policies = kEdgePolicies,
     .flatpaks = {"com.microsoft.Edge"}},
    {.key = "edge",
     .name = "Edge Beta",
     .profile = "{config}/microsoft-edge-beta",
     .userHosts = "{config}/microsoft-edge-beta/NativeMessagingHosts",
     .systemHosts = kEdgeHosts,
     .programs = {"/opt/microsoft/msedge-beta/msedge"},
     .policies = kEdgePolicies},
    {.key = "edge",
     .name = "Edge Dev",
     .profile = "{config}/microsoft-edge-dev",
     .userHosts = "{config}/microsoft-edge-dev/NativeMessagingHosts",
     .systemHosts = kEdgeHosts,
     .programs = {"/opt/microsoft/msedge-dev/msedge"},
     .policies = kEdgePolicies},
    {.key = "brave",
     .name = "Brave",
     .profile = "{xdg}/BraveSoftware/Brave-Browser",
     .userHosts = "{xdg}/BraveSoftware/Brave-Browser/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/brave.com/brave/brave"},
     .policies = kBravePolicies,
     .snaps = {"brave"},
     .flatpaks = {"com.brave.Browser"}},
    {.key = "brave",
     .name = "Brave Beta",
     .profile = "{xdg}/BraveSoftware/Brave-Browser-Beta",
     .userHosts = "{xdg}/BraveSoftware/Brave-Browser-Beta/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/brave.com/brave-beta/brave"},
     .policies = kBravePolicies},
    {.key = "brave",
     .name = "Brave Dev",
     .profile = "{xdg}/BraveSoftware/Brave-Browser-Dev",
     .userHosts = "{xdg}/BraveSoftware/Brave-Browser-Dev/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/brave.com/brave-dev/brave"},
     .policies = kBravePolicies},
    {.key = "brave",
     .name = "Brave Nightly",
     .profile = "{xdg}/BraveSoftware/Brave-Browser-Nightly",
     .userHosts = "{xdg}/BraveSoftware/Brave-Browser-Nightly/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/opt/brave.com/brave-nightly/brave"},
     .policies = kBravePolicies},
    {.key = "vivaldi",
     .name = "Vivaldi",
     .profile = "{config}/vivaldi",
     .userHosts = "{config}/vivaldi/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .fallbackHosts = "{home}/.config/google-chrome/NativeMessagingHosts",
     .programs = {"/opt/vivaldi/vivaldi-bin"},
     .policies = kChromiumPolicies,
     .snaps = {"vivaldi"},
     .flatpaks = {"com.vivaldi.Vivaldi"}},
    {.key = "vivaldi",
     .name = "Vivaldi Snapshot",
     .profile = "{config}/vivaldi-snapshot",
     .userHosts = "{config}/vivaldi-snapshot/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .fallbackHosts = "{home}/.config/google-chrome/NativeMessagingHosts",
     .programs = {"/opt/vivaldi-snapshot/vivaldi-bin"},
     .policies = kChromiumPolicies},
    {.key = "chrome-for-testing",
     .name = "Chrome for Testing",
     .profile = "{config}/google-chrome-for-testing",
     .userHosts = "{config}/google-chrome-for-testing/NativeMessagingHosts",
     .systemHosts = "/etc/opt/chrome_for_testing/native-messaging-hosts",
     .programs = {"{home}/.cache/puppeteer/chrome/linux-*/chrome-linux64/chrome"},
     .policies = "/etc/opt/chrome_for_testing/policies/managed"},
    {.key = "chrome-for-testing",
     .name = "Chrome for Testing before 146",
     .profile = "{config}/google-chrome-for-testing",
     .userHosts = "{config}/google-chrome-for-testing/NativeMessagingHosts",
     .systemHosts = kChromiumHosts,
     .programs = {"{home}/.cache/puppeteer/chrome/linux-*/chrome-linux64/chrome"},
     .policies = kChromiumPolicies},
    {.key = "thorium",
     .name = "Thorium",
     .profile = "{config}/thorium",
     .userHosts = "{config}/thorium/NativeMessagingHosts",
     .systemHosts = kChromiumHosts,
     .programs = {"/opt/chromium.org/thorium"},
     .policies = kChromiumPolicies},
    {.key = "helium",
     .name = "Helium",
     .profile = "{helium}/net.imput.helium",
     .userHosts = "{helium}/net.imput.helium/NativeMessagingHosts",
     .systemHosts = kChromiumHosts,
     .moreUserHosts = {"{config}/google-chrome/NativeMessagingHosts"},
     .moreSystemHosts = {kChromeHosts},
     .programs = {"/opt/helium", "/usr/bin/helium"},
     .policies = kChromiumPolicies},
    {.key = "opera",
     .name = "Opera",
     .profile = "{xdg}/opera",
     .userHosts = "{config}/google-chrome/NativeMessagingHosts",
     .systemHosts = kChromeHosts,
     .programs = {"/usr/lib/x86_64-linux-gnu/opera/opera", "/usr/bin/opera"},
     .snaps = {"opera"},
     .flatpaks = {"com.opera.Opera"}},
};

// Brave on macOS reads Chrome's directories, per user and system-wide, for
// every channel, and never one of its own (brave-core:
// app/brave_main_delegate.cc, PreSandboxStartup).
//
// Vivaldi: its own directory, Chrome's system-wide one, then Chrome's per
// user (Vivaldi's source: importer/chromium_importer_util_mac.mm).
//
// On macOS the user data directory is named by the app's CrProductDirName
// (chrome/common/chrome_paths_mac.mm); the rows below give each app's own:
// Chrome for Testing's, which has moved between releases: recent ones
// (with the policy domain com.google.ChromeForTesting and a system-wide
// directory of their own) "Google/ChromeForTesting", older ones "Google/Chrome
// for Testing" (and Chromium's system-wide directory); an installed app's
// own CrProductDirName decides, and without one both are written. Thorium's
// "Thorium", Helium's "net.imput.helium" (helium-macos:
// change-product-dir-name.patch; then Chrome's directories, as on Linux).
// Opera's follow its documentation only.
const std::vector<Browser> kMac{
    {.key = "chrome",
     .name = "Chrome",
     .profile = "{home}/Library/Application Support/Google/Chrome",
     .userHosts = "{home}/Library/Application Support/Google/Chrome/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Google Chrome.app", "{home}/Applications/Google Chrome.app"},
     .policyDomain = kGoogleChromeDomain},
    {.key = "chrome",
     .name = "Chrome Beta",
     .profile = "{home}/Library/Application Support/Google/Chrome Beta",
     .userHosts = "{home}/Library/Application Support/Google/Chrome Beta/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Google Chrome Beta.app",
                  "{home}/Applications/Google Chrome Beta.app"},
     .policyDomain = kGoogleChromeDomain},
    {.key = "chrome",
     .name = "Chrome Dev",
     .profile = "{home}/Library/Application Support/Google/Chrome Dev",
     .userHosts = "{home}/Library/Application Support/Google/Chrome Dev/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Google Chrome Dev.app",
                  "{home}/Applications/Google Chrome Dev.app"},
     .policyDomain = kGoogleChromeDomain},
    {.key = "chrome",
     .name = "Chrome Canary",
     .profile = "{home}/Library/Application Support/Google/Chrome Canary",
     .userHosts = "{home}/Library/Application Support/Google/Chrome Canary/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Google Chrome Canary.app",
                  "{home}/Applications/Google Chrome Canary.app"},
     .policyDomain = kGoogleChromeDomain},
    {.key = "chromium",
     .name = "Chromium",
     .profile = "{home}/Library/Application Support/Chromium",
     .userHosts = "{home}/Library/Application Support/Chromium/NativeMessagingHosts",
     .systemHosts = kMacChromiumHosts,
     .programs = {"/Applications/Chromium.app", "{home}/Applications/Chromium.app"},
     .policyDomain = kOwnBundle},
    {.key = "edge",
     .name = "Edge",
     .profile = "{home}/Library/Application Support/Microsoft Edge",
     .userHosts = "{home}/Library/Application Support/Microsoft Edge/NativeMessagingHosts",
     .systemHosts = "/Library/Microsoft/Edge/NativeMessagingHosts",
     .programs = {"/Applications/Microsoft Edge.app", "{home}/Applications/Microsoft Edge.app"},
     .policyDomain = kEdgeDomain},
    {.key = "edge",
     .name = "Edge Beta",
     .profile = "{home}/Library/Application Support/Microsoft Edge Beta",
     .userHosts = "{home}/Library/Application Support/Microsoft Edge Beta/NativeMessagingHosts",
     .systemHosts = "/Library/Microsoft/Edge/NativeMessagingHosts",
     .programs = {"/Applications/Microsoft Edge Beta.app",
                  "{home}/Applications/Microsoft Edge Beta.app"},
     .policyDomain = kEdgeDomain},
    {.key = "edge",
     .name = "Edge Dev",
     .profile = "{home}/Library/Application Support/Microsoft Edge Dev",
     .userHosts = "{home}/Library/Application Support/Microsoft Edge Dev/NativeMessagingHosts",
     .systemHosts = "/Library/Microsoft/Edge/NativeMessagingHosts",
     .programs = {"/Applications/Microsoft Edge Dev.app",
                  "{home}/Applications/Microsoft Edge Dev.app"},
     .policyDomain = kEdgeDomain},
    {.key = "edge",
     .name = "Edge Canary",
     .profile = "{home}/Library/Application Support/Microsoft Edge Canary",
     .userHosts = "{home}/Library/Application Support/Microsoft Edge Canary/NativeMessagingHosts",
     .systemHosts = "/Library/Microsoft/Edge/NativeMessagingHosts",
     .programs = {"/Applications/Microsoft Edge Canary.app",
                  "{home}/Applications/Microsoft Edge Canary.app"},
     .policyDomain = kEdgeDomain},
    {.key = "brave",
     .name = "Brave",
     .profile = "{home}/Library/Application Support/BraveSoftware/Brave-Browser",
     .userHosts = kMacChromeUserHosts,
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Brave Browser.app", "{home}/Applications/Brave Browser.app"},
     .policyDomain = kOwnBundle},
    {.key = "brave",
     .name = "Brave Beta",
     .profile = "{home}/Library/Application Support/BraveSoftware/Brave-Browser-Beta",
     .userHosts = kMacChromeUserHosts,
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Brave Browser Beta.app",
                  "{home}/Applications/Brave Browser Beta.app"},
     .policyDomain = kOwnBundle},
    {.key = "brave",
     .name = "Brave Nightly",
     .profile = "{home}/Library/Application Support/BraveSoftware/Brave-Browser-Nightly",
     .userHosts = kMacChromeUserHosts,
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Brave Browser Nightly.app",
                  "{home}/Applications/Brave Browser Nightly.app"},
     .policyDomain = kOwnBundle},
    {.key = "vivaldi",
     .name = "Vivaldi",
     .profile = "{home}/Library/Application Support/Vivaldi",
     .userHosts = "{home}/Library/Application Support/Vivaldi/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .fallbackHosts = kMacChromeUserHosts,
     .programs = {"/Applications/Vivaldi.app", "{home}/Applications/Vivaldi.app"},
     .policyDomain = kOwnBundle},
    {.key = "vivaldi",
     .name = "Vivaldi Snapshot",
     .profile = "{home}/Library/Application Support/Vivaldi Snapshot",
     .userHosts = "{home}/Library/Application Support/Vivaldi Snapshot/NativeMessagingHosts",
     .systemHosts = kMacChromeHosts,
     .fallbackHosts = kMacChromeUserHosts,
     .programs = {"/Applications/Vivaldi Snapshot.app", "{home}/Applications/Vivaldi Snapshot.app"},
     .policyDomain = kOwnBundle},
    {.key = "chrome-for-testing",
     .name = "Chrome for Testing",
     .profile = "{home}/Library/Application Support/Google/ChromeForTesting",
     .userHosts = "{home}/Library/Application Support/Google/ChromeForTesting/NativeMessagingHosts",
     .systemHosts = "/Library/Google/ChromeForTesting/NativeMessagingHosts",
     .programs = {"/Applications/Google Chrome for Testing.app",
                  "{home}/Applications/Google Chrome for Testing.app",
                  "{home}/.cache/puppeteer/chrome/mac*-*"},
     .policyDomain = "com.google.ChromeForTesting",
     .profileFromApp = true},
    {.key = "chrome-for-testing",
     .name = "Chrome for Testing before 146",
     .profile = "{home}/Library/Application Support/Google/Chrome for Testing",
     .userHosts =
         "{home}/Library/Application Support/Google/Chrome for Testing/NativeMessagingHosts",
     .systemHosts = kMacChromiumHosts,
     .programs = {"/Applications/Google Chrome for Testing.app",
                  "{home}/Applications/Google Chrome for Testing.app",
                  "{home}/.cache/puppeteer/chrome/mac*-*"},
     .policyDomain = kOwnBundle,
     .profileFromApp = true},
    {.key = "thorium",
     .name = "Thorium",
     .profile = "{home}/Library/Application Support/Thorium",
     .userHosts = "{home}/Library/Application Support/Thorium/NativeMessagingHosts",
     .systemHosts = kMacChromiumHosts,
     .programs = {"/Applications/Thorium.app", "{home}/Applications/Thorium.app"},
     .policyDomain = kOwnBundle},
    {.key = "helium",
     .name = "Helium",
     .profile = "{home}/Library/Application Support/net.imput.helium",
     .userHosts = "{home}/Library/Application Support/net.imput.helium/NativeMessagingHosts",
     .systemHosts = kMacChromiumHosts,
     .moreUserHosts = {kMacChromeUserHosts},
     .moreSystemHosts = {kMacChromeHosts},
     .programs = {"/Applications/Helium.app", "{home}/Applications/Helium.app"},
     .policyDomain = kOwnBundle},
    {.key = "opera",
     .name = "Opera",
     .profile = "{home}/Library/Application Support/com.operasoftware.Opera",
     .userHosts = kMacChromeUserHosts,
     .systemHosts = kMacChromeHosts,
     .programs = {"/Applications/Opera.app", "{home}/Applications/Opera.app"},
     .policyDomain = kOwnBundle},
};

std::string expand(const std::string& path, const PathContext& context) {
  const std::pair<std::string_view, const std::string*> placeholders[] = {
      {"{config}", &context.configHome},
      {"{xdg}", &context.xdgConfigHome},
      {"{helium}", &context.heliumConfigHome},
      {"{home}", &context.home}};
  for (const auto& [placeholder, value] : placeholders) {
    if (path.compare(0, placeholder.size(), placeholder) == 0) {
      return *value + path.substr(placeholder.size());
    }
  }
  return path.empty() ? path : context.root + path;
}

std::optional<std::string> nonEmptyVariable(const char* name) {
  std::optional<std::string> value = os::environmentVariable(name);
  if (value && value->empty()) value.reset();
  return value;
}

}  // namespace

const std::vector<Browser>& browserTable(System system) {
  return system == System::Linux ? kLinux : kMac;
}

PathContext contextFromEnvironment(const std::string& home) {
  PathContext context;
  context.home = home;
  context.xdgConfigHome = nonEmptyVariable("XDG_CONFIG_HOME").value_or(home + "/.config");
  // CHROME_CONFIG_HOME counts whenever it is set: set but empty, the
  // browser's profile is "chromium" in whatever directory it was started in
  // (chrome/common/chrome_paths_linux.cc), which "." stands for here.
  const std::optional<std::string> chromeConfig = os::environmentVariable("CHROME_CONFIG_HOME");
  context.configHome = !chromeConfig           ? context.xdgConfigHome
                       : chromeConfig->empty() ? std::string(".")
                                               : *chromeConfig;
  context.heliumConfigHome = nonEmptyVariable("HELIUM_CONFIG_HOME").value_or(context.xdgConfigHome);
  context.user = os::userName().value_or("");
  return context;
}

Browser resolve(const Browser& browser, const PathContext& context) {
  Browser resolved = browser;
  for (std::string* path : {&resolved.profile, &resolved.userHosts, &resolved.systemHosts,
                            &resolved.fallbackHosts, &resolved.policies}) {
    *path = expand(*path, context);
  }
  for (std::vector<std::string>* paths :
       {&resolved.programs, &resolved.moreUserHosts, &resolved.moreSystemHosts}) {
    for (std::string& path : *paths) path = expand(path, context);
  }
  return resolved;
}

std::vector<std::string> browserKeys(System system) {
  std::vector<std::string> keys;
  for (const Browser& browser : browserTable(system)) {
    if (keys.empty() || keys.back() != browser.key) keys.push_back(browser.key);
  }
  return keys;
}

namespace {

// Whether `name` matches `pattern`, where each "*" stands for any run of
// characters.
bool matchesWildcard(std::string_view name, std::string_view pattern) {
  const std::size_t star = pattern.find('*');
  if (star == std::string_view::npos) return name == pattern;
  if (name.substr(0, star) != pattern.substr(0, star)) return false;
  const std::string_view rest = pattern.substr(star + 1);
  for (std::size_t at = star; at <= name.size(); ++at) {
    if (matchesWildcard(name.substr(at), rest)) return true;
  }
  return false;
}

}  // namespace

bool pathPresent(const std::string& path) {
  const std::size_t star = path.find('*');
  if (star == std::string::npos) return os::pathExists(path);
  const std::size_t start = path.rfind('/', star);
  const std::size_t end = path.find('/', star);
  if (start == std::string::npos || start == 0) return false;
  const std::string directory = path.substr(0, start);
  const std::string pattern =
      path.substr(start + 1, end == std::string::npos ? end : end - start - 1);
  const std::string rest = end == std::string::npos ? "" : path.substr(end);
  std::vector<std::string> names;
  if (!os::listDirectory(directory, &names).ok()) return false;
  for (const std::string& name : names) {
    if (matchesWildcard(name, pattern) && pathPresent(directory + "/" + name + rest)) return true;
  }
  return false;
}

std::string manifestPath(const std::string& directory) {
  return directory + "/com.tarnwick.host.json";
}

std::vector<Sandboxed> sandboxedInstallations(const Browser& browser, const PathContext& context) {
  const std::string& root = context.root;
  const std::string& home = context.home;
  std::vector<Sandboxed> found;
  for (const std::string& snap : browser.snaps) {
    for (const std::string& place : {root + "/snap/", root + "/var/lib/snapd/snap/"}) {
      if (os::pathExists(place + snap)) {
        found.push_back({false, place + snap, {}});
        break;
      }
    }
  }
  // Inside its sandbox the browser's configuration home is the app's own;
  // the per-user directory keeps its place below it.
  std::string below = browser.userHosts;
  for (const std::string& configHome : {context.configHome, context.xdgConfigHome}) {
    if (!configHome.empty() && below.compare(0, configHome.size() + 1, configHome + "/") == 0) {
      below = below.substr(configHome.size());
      break;
    }
  }
  for (const std::string& id : browser.flatpaks) {
    for (const std::string& place :
         {home + "/.local/share/flatpak/app/", root + "/var/lib/flatpak/app/"}) {
      if (os::pathExists(place + id)) {
        found.push_back({true, place + id, home + "/.var/app/" + id + "/config" + below});
        break;
      }
    }
  }
  return found;
}

}  // namespace tarnwick::registration
