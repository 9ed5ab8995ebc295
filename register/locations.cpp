#include "locations.h"

#include <sys/stat.h>

#include <cstdlib>

namespace tarnwick::registration {
namespace {

// Chrome and its channels share everything but the directory names.
Browser channel(std::string key, std::string name, std::string profile, std::string systemHosts,
                std::vector<std::string> programs, std::string policies = "") {
  Browser browser;
  browser.key = std::move(key);
  browser.name = std::move(name);
  browser.userHosts = profile + "/NativeMessagingHosts";
  browser.profile = std::move(profile);
  browser.systemHosts = std::move(systemHosts);
  browser.programs = std::move(programs);
  browser.policies = std::move(policies);
  return browser;
}

Browser withSandboxes(Browser browser, std::vector<std::string> snaps,
                      std::vector<std::string> flatpaks) {
  browser.snaps = std::move(snaps);
  browser.flatpaks = std::move(flatpaks);
  return browser;
}

std::vector<Browser> linuxTable() {
  const std::string chrome = "/etc/opt/chrome/native-messaging-hosts";
  const std::string chromePolicies = "/etc/opt/chrome/policies/managed";
  const std::string edge = "/etc/opt/edge/native-messaging-hosts";
  const std::string edgePolicies = "/etc/opt/edge/policies/managed";
  std::vector<Browser> table{
      withSandboxes(channel("chrome", "Chrome", "{config}/google-chrome", chrome,
                            {"/opt/google/chrome/chrome"}, chromePolicies),
                    {}, {"com.google.Chrome"}),
      channel("chrome", "Chrome Beta", "{config}/google-chrome-beta", chrome,
              {"/opt/google/chrome-beta/chrome"}, chromePolicies),
      withSandboxes(channel("chrome", "Chrome Unstable", "{config}/google-chrome-unstable", chrome,
                            {"/opt/google/chrome-unstable/chrome"}, chromePolicies),
                    {}, {"com.google.ChromeDev"}),
      channel("chrome", "Chrome Canary", "{config}/google-chrome-canary", chrome,
              {"/opt/google/chrome-canary/chrome"}, chromePolicies),
      withSandboxes(
          channel("chromium", "Chromium", "{config}/chromium",
                  "/etc/chromium/native-messaging-hosts",
                  {"/usr/lib/chromium/chromium", "/usr/lib/chromium-browser/chromium-browser",
                   "/usr/lib64/chromium-browser/chromium-browser"},
                  "/etc/chromium/policies/managed"),
          {"chromium"}, {"org.chromium.Chromium"}),
      withSandboxes(channel("edge", "Edge", "{config}/microsoft-edge", edge,
                            {"/opt/microsoft/msedge/msedge"}, edgePolicies),
                    {}, {"com.microsoft.Edge"}),
      channel("edge", "Edge Beta", "{config}/microsoft-edge-beta", edge,
              {"/opt/microsoft/msedge-beta/msedge"}, edgePolicies),
      channel("edge", "Edge Dev", "{config}/microsoft-edge-dev", edge,
              {"/opt/microsoft/msedge-dev/msedge"}, edgePolicies),
  };
  // Brave reads its own per-user directory under the XDG configuration home
  // only ($CHROME_CONFIG_HOME plays no part), one per channel, and Chrome's
  // system-wide directory, not Chromium's (brave-core:
  // chromium_src/chrome/common/chrome_paths_linux.cc,
  // common/brave_channel_info_posix.cc, app/brave_main_delegate.cc).
  const std::vector<std::pair<std::string, std::string>> braveChannels{
      {"", "brave"}, {"-Beta", "brave-beta"}, {"-Dev", "brave-dev"}, {"-Nightly", "brave-nightly"}};
  for (const auto& [suffix, program] : braveChannels) {
    std::string name = "Brave";
    if (!suffix.empty()) name.append(" ").append(suffix, 1);
    Browser brave =
        channel("brave", name, "{xdg}/BraveSoftware/Brave-Browser" + suffix, chrome,
                {"/opt/brave.com/" + program + "/brave"}, "/etc/brave/policies/managed");
    if (suffix.empty()) brave = withSandboxes(brave, {"brave"}, {"com.brave.Browser"});
    table.push_back(brave);
  }
  // Vivaldi reads Chrome's system-wide directory, and when neither its own
  // directories has the manifest, Chrome's per-user one, always under
  // ~/.config whatever the environment says (Vivaldi's source:
  // chromium/chrome/common/chrome_paths.cc, the Vivaldi block in
  // chrome/browser/extensions/api/messaging/launch_context_posix.cc, and
  // importer/chromium_importer_util_linux.cc).
  for (const char* snapshot : {"", "-snapshot"}) {
    Browser vivaldi = channel("vivaldi", std::string("Vivaldi") + (*snapshot ? " Snapshot" : ""),
                              std::string("{config}/vivaldi") + snapshot, chrome,
                              {std::string("/opt/vivaldi") + snapshot + "/vivaldi-bin"});
    vivaldi.fallbackHosts = "{home}/.config/google-chrome/NativeMessagingHosts";
    if (!*snapshot) vivaldi = withSandboxes(vivaldi, {"vivaldi"}, {"com.vivaldi.Vivaldi"});
    table.push_back(vivaldi);
  }
  return table;
}

std::vector<Browser> macTable() {
  const std::string support = "{home}/Library/Application Support";
  const std::string chrome = "/Library/Google/Chrome/NativeMessagingHosts";
  const auto apps = [](const std::string& bundle) {
    return std::vector<std::string>{"/Applications/" + bundle + ".app",
                                    "{home}/Applications/" + bundle + ".app"};
  };
  std::vector<Browser> table;
  for (const char* suffix : {"", " Beta", " Dev", " Canary"}) {
    table.push_back(channel("chrome", std::string("Chrome") + suffix,
                            support + "/Google/Chrome" + suffix, chrome,
                            apps(std::string("Google Chrome") + suffix)));
  }
  table.push_back(channel("chromium", "Chromium", support + "/Chromium",
                          "/Library/Application Support/Chromium/NativeMessagingHosts",
                          apps("Chromium")));
  for (const char* suffix : {"", " Beta", " Dev", " Canary"}) {
    table.push_back(channel("edge", std::string("Edge") + suffix,
                            support + "/Microsoft Edge" + suffix,
                            "/Library/Microsoft/Edge/NativeMessagingHosts",
                            apps(std::string("Microsoft Edge") + suffix)));
  }
  // Brave on macOS reads Chrome's directories, per user and system-wide, for
  // every channel, and never one of its own (brave-core:
  // app/brave_main_delegate.cc, PreSandboxStartup).
  for (const char* suffix : {"", " Beta", " Nightly"}) {
    Browser brave = channel(
        "brave", std::string("Brave") + suffix,
        support + "/BraveSoftware/Brave-Browser" + (*suffix ? std::string("-") + (suffix + 1) : ""),
        chrome, apps(std::string("Brave Browser") + suffix));
    brave.userHosts = support + "/Google/Chrome/NativeMessagingHosts";
    table.push_back(brave);
  }
  // Vivaldi: its own directory, Chrome's system-wide one, then Chrome's per
  // user (Vivaldi's source: importer/chromium_importer_util_mac.mm).
  for (const char* suffix : {"", " Snapshot"}) {
    Browser vivaldi =
        channel("vivaldi", std::string("Vivaldi") + suffix, support + "/Vivaldi" + suffix, chrome,
                apps(std::string("Vivaldi") + suffix));
    vivaldi.fallbackHosts = support + "/Google/Chrome/NativeMessagingHosts";
    table.push_back(vivaldi);
  }
  return table;
}

std::string expand(const std::string& path, const PathContext& context) {
  const std::pair<std::string_view, const std::string*> placeholders[] = {
      {"{config}", &context.configHome},
      {"{xdg}", &context.xdgConfigHome},
      {"{home}", &context.home}};
  for (const auto& [placeholder, value] : placeholders) {
    if (path.compare(0, placeholder.size(), placeholder) == 0) {
      return *value + path.substr(placeholder.size());
    }
  }
  return path;
}

const char* nonEmptyVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

const std::vector<Browser>& browserTable(System system) {
  static const std::vector<Browser> linux = linuxTable();
  static const std::vector<Browser> mac = macTable();
  return system == System::Linux ? linux : mac;
}

PathContext contextFromEnvironment(const std::string& home) {
  PathContext context;
  context.home = home;
  const char* xdg = nonEmptyVariable("XDG_CONFIG_HOME");
  context.xdgConfigHome = xdg != nullptr ? xdg : home + "/.config";
  const char* chrome = nonEmptyVariable("CHROME_CONFIG_HOME");
  context.configHome = chrome != nullptr ? chrome : context.xdgConfigHome;
  return context;
}

Browser resolve(const Browser& browser, const PathContext& context) {
  Browser resolved = browser;
  for (std::string* path : {&resolved.profile, &resolved.userHosts, &resolved.systemHosts,
                            &resolved.fallbackHosts, &resolved.policies}) {
    *path = expand(*path, context);
  }
  for (std::string& program : resolved.programs) program = expand(program, context);
  return resolved;
}

std::vector<std::string> browserKeys(System system) {
  std::vector<std::string> keys;
  for (const Browser& browser : browserTable(system)) {
    if (keys.empty() || keys.back() != browser.key) keys.push_back(browser.key);
  }
  return keys;
}

std::string manifestPath(const std::string& directory) {
  return directory + "/com.tarnwick.host.json";
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

std::vector<std::string> sandboxedInstallations(const Browser& browser, const std::string& home) {
  std::vector<std::string> found;
  for (const std::string& snap : browser.snaps) {
    for (const std::string& root : {std::string("/snap/"), std::string("/var/lib/snapd/snap/")}) {
      if (pathExists(root + snap)) {
        found.push_back("Snap (" + root + snap + ")");
        break;
      }
    }
  }
  for (const std::string& id : browser.flatpaks) {
    for (const std::string& root :
         {home + "/.local/share/flatpak/app/", std::string("/var/lib/flatpak/app/")}) {
      if (pathExists(root + id)) {
        found.push_back("Flatpak (" + root + id + ")");
        break;
      }
    }
  }
  return found;
}

}  // namespace tarnwick::registration
