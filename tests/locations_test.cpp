// Where each browser reads manifests, for both systems, wherever the tests
// run: the tables are data, and a wrong row registers the host where no
// browser looks.
#include "locations.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace tarnwick::registration {
namespace {

struct Row {
  System system;
  const char* name;
  const char* user;
  const char* systemWide;
  const char* fallback;
};

const std::string kSupport = "/home/u/Library/Application Support";

// {config} and {xdg} differ here, to show who honours $CHROME_CONFIG_HOME.
const PathContext kContext{"/home/u", "/chrome-config", "/xdg", "", "/helium-config"};

// One row for each way a place is made: the configuration home or XDG's, a
// fallback, a directory of another browser's, each system's prefix. The
// rows themselves name their sources in locations.cpp.
const Row kRows[] = {
    {System::Linux, "Chrome Canary", "/chrome-config/google-chrome-canary/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts", ""},
    {System::Linux, "Brave Nightly",
     "/xdg/BraveSoftware/Brave-Browser-Nightly/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts", ""},
    {System::Linux, "Vivaldi Snapshot", "/chrome-config/vivaldi-snapshot/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts",
     "/home/u/.config/google-chrome/NativeMessagingHosts"},
    {System::Linux, "Helium", "/helium-config/net.imput.helium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts", ""},
    {System::MacOs, "Chromium", "/Chromium/NativeMessagingHosts",
     "/Library/Application Support/Chromium/NativeMessagingHosts", ""},
    {System::MacOs, "Brave Beta", "/Google/Chrome/NativeMessagingHosts",
     "/Library/Google/Chrome/NativeMessagingHosts", ""},
    {System::MacOs, "Vivaldi", "/Vivaldi/NativeMessagingHosts",
     "/Library/Google/Chrome/NativeMessagingHosts", "/Google/Chrome/NativeMessagingHosts"},
};

const Browser* find(System system, const std::string& name) {
  for (const Browser& browser : browserTable(system)) {
    if (browser.name == name) return &browser;
  }
  return nullptr;
}

TEST(Locations, EachBrowserReadsWhereItsSourceSays) {
  for (const Row& row : kRows) {
    const Browser* entry = find(row.system, row.name);
    ASSERT_NE(entry, nullptr) << row.name;
    const Browser browser = resolve(*entry, kContext);
    // macOS rows give the part below ~/Library/Application Support.
    const std::string prefix = row.system == System::MacOs ? kSupport : "";
    EXPECT_EQ(browser.userHosts, prefix + row.user) << row.name;
    EXPECT_EQ(browser.systemHosts, row.systemWide) << row.name;
    EXPECT_EQ(browser.fallbackHosts, *row.fallback ? prefix + row.fallback : "") << row.name;
  }
}

// Where each build takes its policies from: on Linux a directory, on macOS
// a preference domain ("{bundle}": the app's own bundle identifier).
TEST(Locations, EachBrowserTakesPoliciesWhereItsSourceSays) {
  const struct {
    System system;
    const char* name;
    const char* policies;
  } rows[] = {
      {System::Linux, "Brave", "/etc/brave/policies/managed"},
      {System::Linux, "Vivaldi", "/etc/chromium/policies/managed"},
      {System::MacOs, "Chrome Canary", "com.google.Chrome"},
      {System::MacOs, "Brave Beta", "{bundle}"},
  };
  for (const auto& row : rows) {
    const Browser* browser = find(row.system, row.name);
    ASSERT_NE(browser, nullptr) << row.name;
    EXPECT_EQ(row.system == System::Linux ? browser->policies : browser->policyDomain, row.policies)
        << row.name;
  }
  for (const Browser& browser : browserTable(System::MacOs)) {
    EXPECT_FALSE(browser.policyDomain.empty()) << browser.name;
    EXPECT_TRUE(browser.policies.empty()) << browser.name;
  }
}

TEST(Locations, EveryRowOfBothTablesIsUsable) {
  for (const System system : {System::Linux, System::MacOs}) {
    std::set<std::string> names;
    for (const Browser& entry : browserTable(system)) {
      const Browser browser = resolve(entry, kContext);
      EXPECT_TRUE(names.insert(browser.name).second) << "twice: " << browser.name;
      for (const std::string& path : {browser.profile, browser.userHosts, browser.systemHosts}) {
        EXPECT_EQ(path.substr(0, 1), "/") << browser.name << ": " << path;
      }
      const std::string last = browser.systemHosts.substr(browser.systemHosts.rfind('/') + 1);
      EXPECT_TRUE(last == "NativeMessagingHosts" || last == "native-messaging-hosts") << last;
      EXPECT_FALSE(browser.programs.empty()) << browser.name;
      EXPECT_EQ(browser.systemHosts.compare(0, 5, "/etc/") == 0, system == System::Linux);
    }
  }
}

// Helium reads Chrome's directories after its own, per user and for every
// user; Chrome for Testing's builds may sit in Puppeteer's versioned cache.
TEST(Locations, HeliumFallsBackToChromeAndTestingBuildsAreFoundByPattern) {
  const Browser linux = resolve(*find(System::Linux, "Helium"), kContext);
  EXPECT_EQ(linux.moreUserHosts,
            std::vector<std::string>{"/chrome-config/google-chrome/NativeMessagingHosts"});
  EXPECT_EQ(linux.moreSystemHosts,
            std::vector<std::string>{"/etc/opt/chrome/native-messaging-hosts"});
  const Browser mac = resolve(*find(System::MacOs, "Helium"), kContext);
  EXPECT_EQ(mac.moreUserHosts,
            std::vector<std::string>{kSupport + "/Google/Chrome/NativeMessagingHosts"});
  EXPECT_EQ(mac.moreSystemHosts,
            std::vector<std::string>{"/Library/Google/Chrome/NativeMessagingHosts"});

  const std::string scratch =
      ::testing::TempDir() + "/tarnwick-pattern-" + std::to_string(getpid());
  const std::string build = scratch + "/linux-131.0.6778.85/chrome-linux64";
  std::filesystem::create_directories(build);
  const std::string pattern = scratch + "/linux-*/chrome-linux64/chrome";
  EXPECT_FALSE(pathPresent(pattern));
  std::ofstream(build + "/chrome") << "";
  EXPECT_TRUE(pathPresent(pattern));
  EXPECT_FALSE(pathPresent(scratch + "/mac*-*"));
  std::filesystem::create_directories(scratch + "/mac_arm-131.0.6778.85");
  EXPECT_TRUE(pathPresent(scratch + "/mac*-*"));
  std::filesystem::remove_all(scratch);
}

// $CHROME_CONFIG_HOME first, then $XDG_CONFIG_HOME, then ~/.config; a
// variable that is set but empty counts as unset, as in the browsers.
TEST(Locations, ConfigurationHomeFollowsTheEnvironment) {
  struct Case {
    const char* chrome;
    const char* xdg;
    const char* config;
    const char* xdgHome;
  };
  const Case cases[] = {
      {nullptr, nullptr, "/h/.config", "/h/.config"},
      {nullptr, "/x", "/x", "/x"},
      {"/c", "/x", "/c", "/x"},
      // An empty XDG_CONFIG_HOME is passed over; an empty CHROME_CONFIG_HOME
      // is not (the profile is then ./chromium, wherever the browser runs).
      {"", "", ".", "/h/.config"},
  };
  for (const Case& c : cases) {
    c.chrome ? setenv("CHROME_CONFIG_HOME", c.chrome, 1) : unsetenv("CHROME_CONFIG_HOME");
    c.xdg ? setenv("XDG_CONFIG_HOME", c.xdg, 1) : unsetenv("XDG_CONFIG_HOME");
    const PathContext context = contextFromEnvironment("/h");
    EXPECT_EQ(context.configHome, c.config);
    EXPECT_EQ(context.xdgConfigHome, c.xdgHome);
  }
  unsetenv("CHROME_CONFIG_HOME");
  unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace tarnwick::registration
