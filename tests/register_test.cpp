// The registration command, run as a user would, in a scratch home.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "doctor.h"
#include "manifest.h"
#include "options.h"
#include "platform/operating_system.h"
#include "policy.h"
#include "process.h"
#include "readers/lenient_json.h"
#include "readers/property_list.h"
#include "readers/url_pattern.h"
#include "scratch.h"
#include "util/utf8.h"
#include "verdict_cases.h"

namespace tarnwick::testing {
namespace {

const std::string kId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kOtherId = "ponmlkjihgfedcbaponmlkjihgfedcba";

class Register : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  const std::string config = scratch / ".config";
  const std::string host = scratch / "tarnwick-host";

  void SetUp() override {
    std::filesystem::create_directory(config);
    writeFile(host, "#!/bin/sh\n");
    chmod(host.c_str(), 0755);
  }

  // Runs the tool in the scratch home with `scope` (--os, --root, ...)
  // after the arguments.
  HostExit runScoped(std::vector<std::string> arguments, const std::vector<std::string>& scope) {
    arguments.insert(arguments.end(), scope.begin(), scope.end());
    // The doctor checks for the extension these tests register.
    if (arguments[0] == "doctor" &&
        std::find(arguments.begin(), arguments.end(), "--extension-id") == arguments.end()) {
      arguments.insert(arguments.end(), {"--extension-id", kId});
    }
    HostRun command;
    command.program = TARNWICK_REGISTER_BINARY;
    command.arguments = std::move(arguments);
    command.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
    return runHostBinary(command);
  }

  // Runs the tool with Linux's locations, wherever the tests run; the
  // tables of both systems are tried in a scratch root below.
  HostExit run(const std::vector<std::string>& arguments) {
    static const std::vector<std::string> linux{"--os", "linux"}, none;
    const bool takesOs = !arguments.empty() && arguments[0] != "print-manifest";
    return runScoped(arguments, takesOs ? linux : none);
  }

  std::string manifestIn(const std::string& browserDirectory) {
    return config + "/" + browserDirectory + "/NativeMessagingHosts/com.tarnwick.host.json";
  }

  // Every file under the scratch directory but the stand-in host.
  std::vector<std::string> filesWritten() {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(scratch.path())) {
      if (entry.is_regular_file() && entry.path() != host) files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
  }
};

// Each system's table, per user and for every user, in a scratch root that
// stands for "/": where install writes, that status and the doctor find it
// there, and that uninstall takes all of it away again. No root needed.
TEST_F(Register, BothSystemsRegisterWhereTheirBrowsersRead) {
  const std::string root = scratch / "root";
  // Files for every user must be reachable by every user: a copy of the host
  // under the root, where the build may not be. Nothing above the root is
  // judged, so this passes in a Mac's private $TMPDIR too.
  const std::string real = root + "/opt/tarnwick/tarnwick-host";
  const std::string support = scratch.path() + "/Library/Application Support";
  const struct {
    const char* os;
    std::string program;  // makes Chromium installed for every user
    std::string profile;  // makes Chrome installed for this user
    std::vector<std::string> user, system;
  } systems[] = {
      {"linux",
       root + "/usr/lib/chromium/chromium",
       config + "/google-chrome",
       {config + "/google-chrome/NativeMessagingHosts", config + "/chromium/NativeMessagingHosts"},
       {root + "/etc/chromium/native-messaging-hosts"}},
      {"macos",
       root + "/Applications/Chromium.app",
       support + "/Google/Chrome",
       {support + "/Google/Chrome/NativeMessagingHosts",
        support + "/Chromium/NativeMessagingHosts"},
       {root + "/Library/Application Support/Chromium/NativeMessagingHosts"}},
  };
  for (const auto& system : systems) {
    SCOPED_TRACE(system.os);
    std::filesystem::create_directories(os::parentOf(real));
    std::filesystem::copy_file(hostBinary(), real);
    std::filesystem::create_directories(system.program);
    std::filesystem::create_directories(system.profile);
    for (const bool everyone : {false, true}) {
      std::vector<std::string> scope{"--os", system.os, "--root", root};
      if (everyone) scope.push_back("--system");
      const auto command = [&](const std::vector<std::string>& arguments) {
        return runScoped(arguments, scope);
      };
      const std::vector<std::string>& expected = everyone ? system.system : system.user;
      HostExit result = command({"install", "--extension-id", kId, "--host", real});
      ASSERT_EQ(result.status, 0) << result.errors;
      for (const std::string& directory : expected) {
        EXPECT_TRUE(std::filesystem::exists(directory + "/com.tarnwick.host.json"))
            << directory << "\n"
            << result.output;
      }
      result = command({"directories"});
      std::string listed;
      for (const std::string& directory : expected) listed += directory + "\n";
      EXPECT_EQ(result.output, listed);
      result = command({"status"});
      EXPECT_NE(result.output.find(expected[0]), std::string::npos) << result.output;
      result = command({"doctor", "--browser", everyone ? "chromium" : "chrome"});
      EXPECT_EQ(result.status, 0) << result.output;
      EXPECT_NE(result.output.find("uses " + expected[0]), std::string::npos) << result.output;
      result = command({"uninstall"});
      EXPECT_EQ(result.status, 0) << result.errors;
      for (const std::string& directory : expected) {
        EXPECT_FALSE(std::filesystem::exists(directory)) << directory;
      }
    }
    std::filesystem::remove_all(root);
    std::filesystem::remove_all(scratch.path() + "/Library");
  }
}

// The default host in Homebrew's layout: only bin/ is linked into the
// prefix, into the versioned keg, and libexec/ is in the keg alone; the host
// is named through the formula's "opt" link, which upgrades keep. Started
// by the prefix's link, through PATH, and by the opt path.
TEST_F(Register, DefaultHostIsFoundThroughHomebrewsLinks) {
  const std::string prefix = std::filesystem::canonical(scratch.path()).string() + "/homebrew";
  const std::string keg = prefix + "/Cellar/tarnwick/1.0";
  std::filesystem::create_directories(keg + "/bin");
  std::filesystem::create_directories(keg + "/libexec/tarnwick");
  std::filesystem::create_directories(prefix + "/bin");
  std::filesystem::create_directories(prefix + "/opt");
  std::filesystem::copy_file(TARNWICK_REGISTER_BINARY, keg + "/bin/tarnwick-register");
  std::filesystem::copy_file(host, keg + "/libexec/tarnwick/tarnwick-host");
  std::filesystem::create_directory_symlink("../Cellar/tarnwick/1.0", prefix + "/opt/tarnwick");
  std::filesystem::create_symlink("../Cellar/tarnwick/1.0/bin/tarnwick-register",
                                  prefix + "/bin/tarnwick-register");
  const std::string expected = prefix + "/opt/tarnwick/libexec/tarnwick/tarnwick-host";
  for (const std::string& how :
       {"'" + prefix + "/bin/tarnwick-register'", std::string("tarnwick-register"),
        "'" + prefix + "/opt/tarnwick/bin/tarnwick-register'"}) {
    for (const char* command : {"print-manifest", "install --os linux --dir hosts"}) {
      HostRun tool;
      tool.program = "/bin/sh";
      tool.arguments = {
          "-c", "cd '" + scratch.path() + "' && " + how + " " + command + " --extension-id " + kId};
      tool.environment = {{"PATH", prefix + "/bin:/usr/bin:/bin"}, {"HOME", scratch.path()}};
      const HostExit result = runHostBinary(tool);
      ASSERT_EQ(result.status, 0) << how << " " << command << ": " << result.errors;
      const std::string manifest =
          command[0] == 'p' ? result.output : readFile(scratch / "hosts/com.tarnwick.host.json");
      EXPECT_EQ(nlohmann::json::parse(manifest).at("path"), expected) << how << " " << command;
    }
  }
}

// What the doctor makes of a macOS quarantine attribute, and of a host in a
// versioned Homebrew keg.
TEST(GatekeeperRules, QuarantineFlagsAndKegPathsDecideTheAdvice) {
  using registration::Quarantine;
  const std::pair<std::optional<std::string>, Quarantine> attributes[] = {
      {std::nullopt, Quarantine::None},
      {"0081;5f3b1c2a;Safari;F0E1D2C3-0000-4000-8000-000000000000", Quarantine::HeldBack},
      {"00c1;5f3b1c2a;Safari;F0E1D2C3-0000-4000-8000-000000000000", Quarantine::Approved},
      {"00C1;607842eb;Brave;", Quarantine::Approved},
      {"0040", Quarantine::Approved},
      {"0001;607842eb", Quarantine::HeldBack},
      {"", Quarantine::HeldBack},
      {"zz41;607842eb", Quarantine::HeldBack},
  };
  for (const auto& [attribute, verdict] : attributes) {
    EXPECT_EQ(registration::quarantineOf(attribute), verdict) << attribute.value_or("(none)");
  }
  const std::pair<std::string, std::optional<std::string>> hosts[] = {
      {"/opt/homebrew/Cellar/tarnwick/1.2.0/libexec/tarnwick/tarnwick-host",
       "/opt/homebrew/opt/tarnwick/libexec/tarnwick/tarnwick-host"},
      {"/usr/local/Cellar/tarnwick/1.2.0_1/bin/x", "/usr/local/opt/tarnwick/bin/x"},
      {"/opt/homebrew/opt/tarnwick/libexec/tarnwick/tarnwick-host", std::nullopt},
      {"/opt/homebrew/Cellar/tarnwick", std::nullopt},
      {"/Applications/Tarnwick.app/Contents/MacOS/tarnwick-host", std::nullopt},
  };
  for (const auto& [host, lasting] : hosts) {
    EXPECT_EQ(registration::upgradeProofPath(host), lasting) << host;
  }
}

// The browsers beyond the five: found by their configuration directories
// and written where each reads, moved by $CHROME_CONFIG_HOME and
// $HELIUM_CONFIG_HOME; for every user, both of Chrome for Testing's
// system-wide directories.
TEST_F(Register, ForksRegisterWhereTheyRead) {
  const std::string chromeHome = scratch / "chrome-home", heliumHome = scratch / "helium-home";
  const struct {
    std::map<std::string, std::optional<std::string>> environment;
    std::vector<std::string> profiles, manifests;
  } cases[] = {
      {{},
       {config + "/google-chrome-for-testing", config + "/thorium", config + "/net.imput.helium"},
       {config + "/google-chrome-for-testing", config + "/thorium", config + "/net.imput.helium"}},
      {{{"CHROME_CONFIG_HOME", chromeHome}, {"HELIUM_CONFIG_HOME", heliumHome}},
       {chromeHome + "/google-chrome-for-testing", chromeHome + "/thorium",
        heliumHome + "/net.imput.helium"},
       {chromeHome + "/google-chrome-for-testing", chromeHome + "/thorium",
        heliumHome + "/net.imput.helium"}},
  };
  std::filesystem::create_directories(scratch / "root");
  for (const auto& c : cases) {
    for (const std::string& profile : c.profiles) std::filesystem::create_directories(profile);
    HostRun tool;
    tool.program = TARNWICK_REGISTER_BINARY;
    tool.arguments = {"install", "--extension-id", kId,      "--host",        host,
                      "--os",    "linux",          "--root", scratch / "root"};
    tool.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
    tool.environment.insert(c.environment.begin(), c.environment.end());
    const HostExit result = runHostBinary(tool);
    ASSERT_EQ(result.status, 0) << result.errors;
    std::vector<std::string> expected;
    for (const std::string& directory : c.manifests) {
      expected.push_back(directory + "/NativeMessagingHosts/com.tarnwick.host.json");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(filesWritten(), expected) << result.output;
    std::filesystem::remove_all(config);
    std::filesystem::remove_all(chromeHome);
    std::filesystem::remove_all(heliumHome);
    std::filesystem::create_directory(config);
  }

  const HostExit result = run({"install", "--system", "--all", "--browser", "chrome-for-testing",
                               "--extension-id", kId, "--host", host, "--root", scratch / "root"});
  ASSERT_EQ(result.status, 0) << result.errors;
  for (const char* directory : {"/etc/opt/chrome_for_testing/native-messaging-hosts",
                                "/etc/chromium/native-messaging-hosts"}) {
    EXPECT_TRUE(std::filesystem::exists(scratch / "root" + directory + "/com.tarnwick.host.json"))
        << directory << "\n"
        << result.output;
  }
}

// macOS's plutil, standing in under `root`: it "converts" a property list
// that is already XML by printing it, as plutil -convert xml1 -o - would.
void writeStandInPlutil(const std::string& root) {
  std::filesystem::create_directories(root + "/usr/bin");
  writeFile(root + "/usr/bin/plutil",
            "#!/bin/sh\n[ \"$1 $2 $3 $4\" = '-convert xml1 -o -' ] && exec cat \"$5\"\nexit 1\n");
  chmod((root + "/usr/bin/plutil").c_str(), 0755);
}

// An XML property list of one dict, `entries` its keys and values.
std::string plist(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
         "</dict>\n</plist>\n";
}

const std::string kUserLevelOff = "<key>NativeMessagingUserLevelHosts</key><false/>";

// A browser the tables do not know, on macOS, by its .app: the user data
// directory its Info.plist names (read by plutil, here a stand-in in the
// scratch root), else its bundle name, and the policies its bundle
// identifier names. Tested on any system.
TEST_F(Register, UnknownMacBrowserIsRegisteredByItsApp) {
  const std::string root = scratch / "root";
  const std::string app = scratch / "Applications/Acme Browser.app";
  std::filesystem::create_directories(app + "/Contents");
  writeFile(app + "/Contents/Info.plist",
            plist("<key>CrProductDirName</key><string>Acme/Browser</string>"
                  "<key>CFBundleIdentifier</key><string>com.acme.Browser</string>"));
  const std::string support = scratch.path() + "/Library/Application Support";
  const std::string real = scratch / "tarnwick-host-copy";
  std::filesystem::copy_file(hostBinary(), real);
  const std::string managed = root + "/Library/Managed Preferences/com.acme.Browser.plist";
  for (const bool plutil : {true, false}) {
    if (plutil) {
      writeStandInPlutil(root);
    } else {
      std::filesystem::remove(root + "/usr/bin/plutil");
    }
    const std::string directory =
        support + (plutil ? "/Acme/Browser" : "/Acme Browser") + "/NativeMessagingHosts";
    const std::vector<std::string> scope{"--app", app, "--os", "macos", "--root", root};
    const auto command = [&](const std::vector<std::string>& arguments) {
      return runScoped(arguments, scope);
    };
    HostExit result = command({"install", "--extension-id", kId, "--host", real});
    ASSERT_EQ(result.status, 0) << result.errors;
    EXPECT_TRUE(std::filesystem::exists(directory + "/com.tarnwick.host.json")) << result.output;
    result = command({"doctor"});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("Acme Browser: healthy"), std::string::npos) << result.output;
    if (plutil) {
      std::filesystem::create_directories(root + "/Library/Managed Preferences");
      writeFile(managed, plist(kUserLevelOff));
      result = command({"doctor"});
      EXPECT_EQ(result.status, 1) << result.output;
      EXPECT_NE(result.output.find("NativeMessagingUserLevelHosts is false (" + managed + ")"),
                std::string::npos)
          << result.output;
      std::filesystem::remove(managed);
    }
    EXPECT_EQ(command({"uninstall"}).status, 0);
    EXPECT_FALSE(std::filesystem::exists(directory + "/com.tarnwick.host.json"));
  }
  // On Linux a fork is named by its directory instead.
  const HostExit refused = run({"install", "--app", app, "--extension-id", kId, "--host", host});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.errors.find("--dir"), std::string::npos) << refused.errors;
}

// Chrome for Testing on macOS has moved its user data directory between
// releases: an installed app's CrProductDirName decides where it reads;
// with no app, both directories are written.
TEST_F(Register, ChromeForTestingReadsWhereItsAppSays) {
  const std::string root = scratch / "root";
  writeStandInPlutil(root);
  const std::string support = scratch.path() + "/Library/Application Support/";
  const std::vector<std::string> scope{"--os", "macos",     "--root",
                                       root,   "--browser", "chrome-for-testing"};
  const std::string app = root + "/Applications/Google Chrome for Testing.app";
  const struct {
    std::optional<std::string> product;  // the app's CrProductDirName; none: no app
    std::vector<std::string> written;
  } cases[] = {
      {std::nullopt, {"Google/Chrome for Testing", "Google/ChromeForTesting"}},
      {"Google/ChromeForTesting", {"Google/ChromeForTesting"}},
      {"Google/Chrome for Testing", {"Google/Chrome for Testing"}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(app);
    if (c.product) {
      std::filesystem::create_directories(app + "/Contents");
      writeFile(app + "/Contents/Info.plist",
                plist("<key>CrProductDirName</key><string>" + *c.product + "</string>"));
    }
    const HostExit result = runScoped({"install", "--extension-id", kId, "--host", host}, scope);
    ASSERT_EQ(result.status, 0) << result.errors;
    std::vector<std::string> expected;
    for (const std::string& directory : c.written) {
      expected.push_back(support + directory + "/NativeMessagingHosts/com.tarnwick.host.json");
    }
    std::vector<std::string> written;
    for (const std::string& file : filesWritten()) {
      if (file.find("/NativeMessagingHosts/") != std::string::npos) written.push_back(file);
    }
    EXPECT_EQ(written, expected) << result.output;
    std::filesystem::remove_all(scratch.path() + "/Library");
  }
}

// On macOS the policies are the managed preferences of one domain: the
// machine's file and the user's, merged key by key, the user's first.
TEST_F(Register, MacPoliciesAreTheManagedPreferences) {
  registration::PathContext context;
  context.root = scratch / "root";
  context.user = "ann";
  const std::string managed = context.root + "/Library/Managed Preferences/";
  const std::string machineFile = managed + "org.chromium.Chromium.plist";
  const std::string userFile = managed + "ann/org.chromium.Chromium.plist";
  const std::string blockAll =
      "<key>NativeMessagingBlocklist</key><array><string>*</string></array>";
  const std::string userLevelOn = "<key>NativeMessagingUserLevelHosts</key><true/>";
  const std::string allowOurs =
      "<key>NativeMessagingAllowlist</key><array><string>com.tarnwick.host</string></array>";
  const std::string blockAsText = "<key>NativeMessagingBlocklist</key><string>*</string>";
  const struct {
    const char* rule;
    std::vector<std::pair<std::string, std::string>> files;  // path, its entries
    bool userLevelHosts, blocked;
    std::vector<std::string> sources, unread;
  } cases[] = {
      // clang-format off
      {"none", {}, true, false, {}, {}},
      {"the machine's", {{machineFile, kUserLevelOff}}, false, false, {machineFile}, {}},
      {"the user's", {{userFile, kUserLevelOff}}, false, false, {userFile}, {}},
      {"the user's first", {{machineFile, kUserLevelOff}, {userFile, userLevelOn}}, true, false, {}, {}},
      {"merged key by key", {{machineFile, blockAll}, {userFile, allowOurs}}, true, false, {}, {}},
      {"blocked", {{machineFile, blockAll}}, true, true, {machineFile}, {}},
      {"a value of the wrong type", {{machineFile, blockAsText}}, true, false, {}, {}},
      {"a file plutil cannot read", {{machineFile, "</plist>"}}, true, false, {}, {machineFile}},
      // clang-format on
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    std::filesystem::remove_all(context.root);
    writeStandInPlutil(context.root);
    for (const auto& [file, entries] : c.files) {
      std::filesystem::create_directories(std::filesystem::path(file).parent_path());
      writeFile(file, entries == "</plist>" ? entries : plist(entries));
    }
    std::vector<std::string> unread;
    const registration::Policy policy =
        registration::readManagedPreferences("org.chromium.Chromium", context, &unread);
    EXPECT_EQ(policy.userLevelHosts, c.userLevelHosts);
    EXPECT_EQ(policy.blocked, c.blocked);
    EXPECT_EQ(policy.sources, c.sources);
    ASSERT_EQ(unread.size(), c.unread.size());
    for (std::size_t i = 0; i < unread.size(); ++i) {
      EXPECT_EQ(unread[i].rfind(c.unread[i] + ": ", 0), 0u) << unread[i];
    }
  }
}

// Each macOS browser's doctor reads its own domain: every channel of Chrome
// reads Chrome's, Chromium its app's own bundle identifier.
TEST_F(Register, EachMacBrowserReadsItsOwnPreferenceDomain) {
  const std::string root = scratch / "root";
  const std::string real = scratch / "tarnwick-host-copy";
  std::filesystem::copy_file(hostBinary(), real);
  writeStandInPlutil(root);
  for (const auto& [app, id] : {std::pair{"Chromium", "org.chromium.Chromium"},
                                std::pair{"Google Chrome Beta", "com.google.Chrome.beta"}}) {
    const std::string contents = root + "/Applications/" + app + ".app/Contents";
    std::filesystem::create_directories(contents);
    writeFile(contents + "/Info.plist",
              plist(std::string("<key>CFBundleIdentifier</key><string>") + id + "</string>"));
  }
  const std::vector<std::string> scope{"--os", "macos", "--root", root};
  ASSERT_EQ(runScoped({"install", "--extension-id", kId, "--host", real}, scope).status, 0);
  const std::string managed = root + "/Library/Managed Preferences/";
  std::filesystem::create_directories(managed);
  writeFile(managed + "org.chromium.Chromium.plist", plist(kUserLevelOff));
  writeFile(managed + "com.google.Chrome.plist",
            plist("<key>NativeMessagingBlocklist</key><array><string>*</string></array>"));
  const HostExit result =
      runScoped({"doctor", "--browser", "chromium", "--browser", "chrome"}, scope);
  EXPECT_EQ(result.status, 1) << result.output << result.errors;
  for (const std::string& said : std::vector<std::string>{
           "Chromium: FAILS",
           "NativeMessagingUserLevelHosts is false (" + managed + "org.chromium.Chromium.plist)",
           "Chrome Beta: FAILS",
           "NativeMessagingBlocklist blocks com.tarnwick.host (" + managed +
               "com.google.Chrome.plist)"}) {
    EXPECT_NE(result.output.find(said), std::string::npos) << said << "\n" << result.output;
  }
}

// Each rule that decides a verdict, on its own: the case breaks one rule, and
// the verdict must name it. Each runs in a scratch root of its own, with a
// system-wide Chromium registration that is healthy unless the case says
// otherwise.
TEST_F(Register, EachRuleDecidesTheVerdict) {
  // The host inside the root, so that everything judged lies under it: the
  // directories above the root (a Mac's private $TMPDIR) are not.
  const std::string real = scratch / "root/opt/tarnwick/tarnwick-host";
  const std::string system = "/etc/chromium/native-messaging-hosts";
  struct Case {
    const char* rule;
    std::function<void(const std::string& root)> breakIt;
    int status;
    std::string said;
  };
  const std::vector<Case> cases{
      {"healthy as registered", [](const std::string&) {}, 0, "Chromium: healthy"},
      {"a system-wide manifest others cannot read",
       [&](const std::string& root) {
         chmod((root + system + "/com.tarnwick.host.json").c_str(), 0600);
       },
       1, "is not readable by other users"},
      {"a directory that keeps others out",
       [&](const std::string& root) { chmod((root + "/etc/chromium").c_str(), 0700); }, 1,
       "keeps other users out"},
      {"a host behind a loop of links",
       [&](const std::string&) {
         std::filesystem::remove(real);
         std::filesystem::create_symlink(real, real);
       },
       1, "cannot be reached (Too many levels of symbolic links)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    const std::string root = scratch / "root";
    std::filesystem::remove_all(root);
    std::filesystem::create_directories(os::parentOf(real));
    std::filesystem::copy_file(hostBinary(), real);
    ASSERT_EQ(run({"install", "--system", "--browser", "chromium", "--extension-id", kId, "--host",
                   real, "--root", root})
                  .status,
              0);
    c.breakIt(root);
    const HostExit result = run({"doctor", "--browser", "chromium", "--root", root});
    EXPECT_EQ(result.status, c.status) << result.output << result.errors;
    EXPECT_NE((result.output + result.errors).find(c.said), std::string::npos)
        << result.output << result.errors;
    chmod((root + "/etc/chromium").c_str(), 0755);
  }
}

// The policies' rules and the manifest's, case by case as the real browser
// decides (verdict_cases.h, where the browser test confirms each).
TEST(DoctorRules, PoliciesDecideAsTheBrowserDecides) {
  for (const PolicyCase& c : policyCases()) {
    SCOPED_TRACE(c.name);
    ScratchDirectory scratch;
    const std::string managed = scratch / "policies/managed";
    for (const auto& [name, text] : c.files) {
      const auto file = (std::filesystem::path(managed) / name).lexically_normal();
      std::filesystem::create_directories(file.parent_path());
      writeFile(file.string(), text);
    }
    const registration::Policy policy = registration::readPolicy(managed);
    EXPECT_EQ(policy.userLevelHosts, c.userLevelHosts);
    EXPECT_EQ(policy.blocked, c.blocked);
  }
}

TEST(DoctorRules, ManifestsAreJudgedAsTheBrowserJudgesThem) {
  for (const ManifestCase& c : manifestCases("/opt/tarnwick/tarnwick-host", kId)) {
    SCOPED_TRACE(c.name);
    const registration::Manifest checked =
        registration::checkManifest(c.text, registration::kHostName);
    EXPECT_EQ(checked.problems.empty() && checked.allows(kId), c.allowed);
    if (c.allowed) continue;
    ASSERT_EQ(checked.problems.size(), 1u);
    EXPECT_NE(checked.problems[0].find(c.said), std::string::npos) << checked.problems[0];
  }
}

// The browser's lookup: per user, then every user's, then a fallback; the
// first manifest found is used, however broken, and hides the rest
// (chrome/browser/extensions/api/messaging/native_process_launcher.cc).
TEST(DoctorRules, TheLookupUsesTheFirstManifestAndNeverFallsBack) {
  registration::Browser vivaldi;  // a fallback to Chrome's per-user place
  vivaldi.userHosts = "/u/vivaldi";
  vivaldi.systemHosts = "/etc/chrome";
  vivaldi.fallbackHosts = "/u/chrome";
  registration::Browser helium;  // more places of each scope
  helium.userHosts = "/u/helium";
  helium.moreUserHosts = {"/u/chrome"};
  helium.systemHosts = "/etc/chromium";
  helium.moreSystemHosts = {"/etc/chrome"};
  const struct {
    const char* name;
    const registration::Browser& browser;
    bool userLevelHosts;
    std::set<std::string> present;  // directories that hold a manifest
    std::string used;               // empty: none
    bool systemWide;
    std::vector<std::string> hidden, ignored;
  } cases[] = {
      // clang-format off
      {"a per-user one hides every user's", vivaldi, true, {"/u/vivaldi", "/etc/chrome"}, "/u/vivaldi", false, {"/etc/chrome"}, {}},
      {"every user's", vivaldi, true, {"/etc/chrome"}, "/etc/chrome", true, {}, {}},
      {"the fallback last, as this user's place", vivaldi, true, {"/u/chrome"}, "/u/chrome", false, {}, {}},
      {"every user's before the fallback", vivaldi, true, {"/etc/chrome", "/u/chrome"}, "/etc/chrome", true, {"/u/chrome"}, {}},
      {"user-level hosts off", vivaldi, false, {"/u/vivaldi", "/etc/chrome"}, "/etc/chrome", true, {}, {"/u/vivaldi"}},
      {"user-level hosts off, and only a per-user one", vivaldi, false, {"/u/vivaldi"}, "", false, {}, {"/u/vivaldi"}},
      {"the second per-user place before every user's", helium, true, {"/u/chrome", "/etc/chrome"}, "/u/chrome", false, {"/etc/chrome"}, {}},
      {"the second place for every user", helium, true, {"/etc/chrome"}, "/etc/chrome", true, {}, {}},
      {"user-level hosts off, the second per-user place", helium, false, {"/u/chrome"}, "", false, {}, {"/u/chrome"}},
      {"nothing anywhere", helium, true, {}, "", false, {}, {}},
      // clang-format on
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const registration::Lookup lookup =
        registration::lookUp(c.browser, c.userLevelHosts, [&](const std::string& file) {
          return c.present.count(os::parentOf(file)) == 1 &&
                 file == registration::manifestPath(os::parentOf(file));
        });
    ASSERT_EQ(lookup.used.has_value(), !c.used.empty());
    if (lookup.used) {
      EXPECT_EQ(lookup.used->directory, c.used);
      EXPECT_EQ(lookup.used->systemWide, c.systemWide);
    }
    std::vector<std::string> hidden, ignored;
    for (const std::string& d : c.hidden) hidden.push_back(registration::manifestPath(d));
    for (const std::string& d : c.ignored) ignored.push_back(registration::manifestPath(d));
    EXPECT_EQ(lookup.hidden, hidden);
    EXPECT_EQ(lookup.ignored, ignored);
  }
}

// Usage errors: one line each, refused before the command runs, so nothing
// is touched; the tool prints the line alone and exits with status 2.
TEST_F(Register, UsageErrorsAreOneLineAndTouchNothing) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"doctor", "--dir", "/tmp", "--browser", "chromium"}, "do not go together"},
      {{"status", "--all"}, "status does not take --all"},
      {{"uninstall", "--extension-id", kId}, "uninstall does not take --extension-id"},
      {{"install", "--extension-id", kId, "--dir", "/a", "--dir", "/b"}, "--dir is given twice"},
      {{"install", "--extension-id", kId, "--system", "--dir", "/a"},
       "--dir and --system do not go together"},
      {{"install", "--extension-id", kId, "--all", "--dir", "/a"},
       "--dir and --all do not go together"},
      {{"install", "--extension-id", kId, "--host", ""}, "--host needs a value, not ''"},
      {{"uninstall", "--dir", ""}, "--dir needs a value, not ''"},
      {{"status", "--root", "/nonexistent/root"}, "--root /nonexistent/root is no directory"},
      {{"status", "--frobnicate"},
       "unknown option '--frobnicate' (see --help); nothing was touched"},
      {{"reinstall"}, "unknown command 'reinstall'"},
  };
  for (const auto& [arguments, said] : cases) {
    SCOPED_TRACE(said);
    registration::Options options;
    const os::Status parsed = registration::parseCommandLine(arguments, &options);
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.message().find(said), std::string::npos) << parsed.message();
    EXPECT_EQ(parsed.message().find('\n'), std::string::npos) << parsed.message();
  }
  const HostExit result = run({"status", "--frobnicate"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors,
            "tarnwick-register: unknown option '--frobnicate' (see --help); nothing was touched\n");
}

// Entries of "allowed_origins" as the browser reads them, each confirmed
// against the real Chromium by the differential test: whether it refuses the
// entry (and with it the manifest), and whether a taken entry lets the
// extension kId start the host.
TEST(UrlPattern, OriginsAreReadAsTheBrowserReadsThem) {
  using registration::parseOriginPattern;
  std::string fullWidth;
  for (const char c : kId) {
    const unsigned point = 0xFF41u + static_cast<unsigned>(c - 'a');
    appendUtf8(fullWidth, point);
  }
  std::string upper = kId;
  for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
  const std::string at = "chrome-extension://";
  const struct {
    std::string entry;
    bool refused, allows;
  } cases[] = {
      {at + kId + "/", false, true},
      {at + upper + "/*", false, true},
      {at + "%61" + kId.substr(1) + "/", false, true},
      {at + "%41" + kId.substr(1) + "/", false, true},
      {at + fullWidth + "/", false, true},
      {at + kId + "./", false, true},
      {at + kId + "../", false, true},
      {at + kId + ":*/", false, true},
      {at + kId + " /", false, false},
      {at + kId + "%20/", false, false},
      {"*://" + kId + "/", false, false},
      {at + kOtherId + "/", false, false},
      {at + kId, true, false},
      {at + "user@" + kId + "/", true, false},
      {at + kId + "?x/", true, false},
      {at + kId + "%zz/", true, false},
      {at + kId + ":80/", true, false},
      {at + kId + ":0/", true, false},
      {at + kId + ":/", true, false},
      {at + kId + "\\/", true, false},
      {at + "*/", true, false},
      {at + "*." + kId + "/", true, false},
      {"<all_urls>", true, false},
      {"Chrome-Extension://" + kId + "/", true, false},
      {"chrome-extension:" + kId + "/", true, false},
  };
  for (const auto& c : cases) {
    const registration::OriginPattern pattern = parseOriginPattern(c.entry);
    EXPECT_EQ(!pattern.refused.empty(), c.refused) << c.entry << ": " << pattern.refused;
    EXPECT_EQ(registration::patternAllows(pattern, kId), c.allows) << c.entry;
  }
}

// What the browsers' JSON reader takes and refuses, beyond strict JSON; any
// strict text it reads as the JSON library's strict parser does.
TEST(LenientJson, ReadsWhatTheBrowsersRead) {
  using registration::TrailingCommas;
  const struct {
    std::string text;
    bool withoutCommas, withCommas;
  } cases[] = {
      {R"({"a":1})", true, true},
      {R"({"a":1,})", false, true},
      {"[1,2,]", false, true},
      {"[1,,2]", false, false},
      {"{\"a\": /* here */ 1} // and there", true, true},
      {"{\"a\":1} /* never closed", false, false},
      {"{\"a\":\"two\nlines\r\"}", true, true},
      {"{\"a\":\"a\ttab\"}", false, false},
      {R"({"a":"\x41\xff"})", true, true},
      {R"({"a":"\v"})", false, false},
      {R"({"a":"\ud800"})", false, false},
      {"{\"a\":\"\xC3\x28\"}", false, false},
      {"\xEF\xBB\xBF{}", true, true},
      // Nesting: 199 levels, not 200; an object spends a level only on a member.
      {std::string(199, '[') + std::string(199, ']'), true, true},
      {std::string(200, '[') + std::string(200, ']'), false, false},
      // A "//" comment ends at a line feed only; the star opening a block
      // comment may close it.
      {"[1] // note\r2", true, true},
      {"/*/[1]", true, true},
      {"[1] /**/ /***/ /* **/", true, true},
      {"[1] / ", false, false},
      {R"({"a":"\udc00"})", false, false},
      {R"({"a":"\ud800\n"})", false, false},
      {R"({"a":1} x)", false, false},
      {"[1e999]", false, false},
      {std::string("[\"a\0b\"]", 7), false, false},
      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(registration::readLenientJson(c.text, TrailingCommas::Refused).has_value(),
              c.withoutCommas)
        << c.text;
    EXPECT_EQ(registration::readLenientJson(c.text, TrailingCommas::Allowed).has_value(),
              c.withCommas)
        << c.text;
    // Strict text the browsers read (all but nesting past their limit) reads
    // as the library reads it.
    const bool strict = nlohmann::json::accept(c.text) && c.text.find('\0') == std::string::npos;
    if (strict && c.withoutCommas) {
      EXPECT_EQ(registration::readLenientJson(c.text, TrailingCommas::Refused),
                nlohmann::json::parse(c.text))
          << c.text;
    }
  }
  const auto read =
      registration::readLenientJson(R"({"k":1,"s":"\x41\xff","k":2})", TrailingCommas::Refused);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->at("k"), 2);            // the last of repeated keys
  EXPECT_EQ(read->at("s"), "A\xC3\xBF");  // \xNN is a code point
}

// The real plutil, where there is one (every Mac): a binary property list
// with the types a policy holds reads back as its XML form says.
TEST(PropertyList, ReadsThroughTheRealPlutil) {
  if (access("/usr/bin/plutil", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/plutil on this system";
  ScratchDirectory scratch;
  const std::string file = scratch / "policy.plist";
  writeFile(file, plist("<key>NativeMessagingUserLevelHosts</key><false/>"
                        "<key>NativeMessagingBlocklist</key><array><string>*</string></array>"
                        "<key>Count</key><integer>-3</integer>"));
  const HostExit converted =
      runHostBinary({.program = "/usr/bin/plutil", .arguments = {"-convert", "binary1", file}});
  ASSERT_EQ(converted.status, 0) << converted.errors;
  ASSERT_NE(readFile(file).substr(0, 8), "<?xml ve");
  nlohmann::json value;
  const os::Status read = registration::readPropertyList(file, "", &value);
  ASSERT_TRUE(read.ok()) << read.message();
  EXPECT_EQ(value, nlohmann::json::parse(
                       R"({"NativeMessagingUserLevelHosts":false,"NativeMessagingBlocklist":["*"],)"
                       R"("Count":-3})"));
  EXPECT_TRUE(registration::readPropertyList(scratch / "none.plist", "", &value).notFound());
}

// XML property lists beyond what plistlib writes (the differential reads
// those), and what is not one. The values are given as JSON; nothing means
// refused.
TEST(PropertyList, ReadsWhatPlutilWrites) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
      "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";
  const auto plist = [&](const std::string& value) { return head + value + "\n</plist>\n"; };
  std::string nested, nestedTooDeep;
  for (int i = 0; i < 200; ++i) nested = "<array>" + nested + "</array>";
  nestedTooDeep = "<array>" + nested + "</array>";
  const struct {
    std::string text;
    std::optional<std::string> json;
  } cases[] = {
      {plist("<dict><key>k</key><string>1</string><key>k</key><string>2</string></dict>"),
       R"({"k":"2"})"},
      {plist("<array><string/><dict/><array/><string>&lt;&amp;&gt;&quot;&apos;&#65;&#x1F600;"
             "</string><string><![CDATA[<b>]]>é</string></array>"),
       R"(["",{},[],"<&>\"'A😀","<b>é"])"},
      {plist("<!-- made by hand --><string>x<!-- within -->y</string>"), R"("xy")"},
      {plist(nested), nlohmann::json::parse(std::string(200, '[') + std::string(200, ']')).dump()},
      {plist(nestedTooDeep), {}},
      {plist("<integer>18446744073709551616</integer>"), {}},
      {plist("<integer>12a</integer>"), {}},
      {plist("<integer></integer>"), {}},
      {plist("<dict><key>a</key></dict>"), {}},
      {plist("<dict><string>a</string><true/></dict>"), {}},
      {plist("<dict>loose text<key>a</key><true/></dict>"), {}},
      {plist("<string>a</str>"), {}},
      {plist("<string>&bogus;</string>"), {}},
      {plist("<string>&#0;</string>"), {}},
      {plist("<string>&#xD800;</string>"), {}},
      {plist("<string>\xC3\x28</string>"), {}},
      {plist("<uid>1</uid>"), {}},
      {plist("<true/><true/>"), {}},
      {head + "<true/>", {}},
      {head + "</plist>", {}},
      {plist("<true/>") + "<true/>", {}},
      {"<plist/>", {}},
      {"", {}},
  };
  for (const auto& c : cases) {
    const std::string shown = c.text.size() > head.size() ? c.text.substr(head.size()) : c.text;
    const std::optional<nlohmann::json> read = registration::parseXmlPropertyList(c.text);
    ASSERT_EQ(read.has_value(), c.json.has_value()) << shown;
    if (c.json) {
      EXPECT_EQ(*read, nlohmann::json::parse(*c.json)) << shown;
    }
  }
}

// Standard input closed, as under cron: the doctor's pipes never take its
// number, and the host it starts still gets its request.
TEST_F(Register, DoctorWorksWithItsStandardStreamsClosed) {
  const std::string real = std::filesystem::canonical(hostBinary()).string();
  ASSERT_EQ(
      run({"install", "--dir", scratch / "hosts", "--extension-id", kId, "--host", real}).status,
      0);
  for (int closed : {0, 1}) {
    HostRun tool;
    tool.program = TARNWICK_REGISTER_BINARY;
    tool.arguments = {"doctor", "--dir", scratch / "hosts", "--os", "linux", "--extension-id", kId};
    tool.closedDescriptors = {closed};
    const HostExit result = runHostBinary(tool);
    EXPECT_EQ(result.status, 0) << "stream " << closed << " closed: " << result.output;
  }
}

// A control character in a path (a newline in HOME, a NUL or an escape in
// a manifest's host path) is shown escaped, so it can neither split a line
// nor hide in one.
TEST_F(Register, ControlCharactersInPathsAreShownEscaped) {
  const std::string home = scratch / "odd\nhome";
  std::filesystem::create_directories(home + "/.config/chromium");
  HostRun tool;
  tool.program = TARNWICK_REGISTER_BINARY;
  tool.arguments = {"install", "--extension-id", kId, "--host", host, "--os", "linux"};
  tool.environment = {{"HOME", home}, {"XDG_CONFIG_HOME", std::nullopt}};
  HostExit result = runHostBinary(tool);
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("odd\\x0ahome/.config/chromium"), std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find("odd\nhome/.config"), std::string::npos) << result.output;

  const std::string hosts = scratch / "hosts";
  std::filesystem::create_directories(hosts);
  writeFile(hosts + "/com.tarnwick.host.json",
            R"({"name":"com.tarnwick.host","description":"d","type":"stdio",)"
            R"("path":"/opt/x\u0000y\u001bz","allowed_origins":["chrome-extension://)" +
                kId + R"(/"]})");
  result = run({"status", "--dir", hosts});
  EXPECT_NE(result.output.find("host: /opt/x\\x00y\\x1bz"), std::string::npos) << result.output;
  result = run({"doctor", "--dir", hosts});
  EXPECT_NE(result.output.find("/opt/x\\x00y\\x1bz"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find('\0'), std::string::npos);
  // A refusal is one line too.
  result = run({"install", "--extension-id", kId, "--host", scratch / "no\nsuch"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("no executable host at " + scratch.path() + "/no\\x0asuch"),
            std::string::npos)
      << result.errors;
  EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
}

// What could not be written to standard output was not said: a failure.
TEST_F(Register, AFailedWriteToStandardOutputFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full on this system";
  for (const std::string& command :
       {"install --os linux --dir '" + scratch / "hosts" + "' --extension-id " + kId + " --host '" +
            host + "'",
        "doctor --os linux --dir '" + scratch / "hosts" + "' --extension-id " + kId}) {
    HostRun shell;
    shell.program = "/bin/sh";
    shell.arguments = {
        "-c", std::string("'") + TARNWICK_REGISTER_BINARY + "' " + command + " > /dev/full"};
    shell.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
    const HostExit result = runHostBinary(shell);
    EXPECT_NE(result.status, 0) << command;
    EXPECT_NE(result.errors.find("could not write to standard output"), std::string::npos)
        << result.errors;
  }
}

// An uninstall at the same time may take the directory away between install
// making it and writing the manifest into it; install then makes it again.
// A thread here takes the directory away the moment it is empty, once a
// round; every round's install must still succeed.
TEST_F(Register, InstallMakesAVanishedDirectoryAgain) {
  const std::string directory = scratch / "hosts/NativeMessagingHosts";
  int taken = 0;
  for (int round = 0; round < 40; ++round) {
    std::atomic<bool> over = false;
    std::thread remover([&] {
      while (!over && rmdir(directory.c_str()) != 0) {
      }
      if (!over) ++taken;
    });
    const HostExit result =
        run({"install", "--dir", directory, "--extension-id", kId, "--host", host});
    over = true;
    remover.join();
    ASSERT_EQ(result.status, 0) << "round " << round << ": " << result.errors;
    ASSERT_TRUE(std::filesystem::exists(directory + "/com.tarnwick.host.json"));
    std::filesystem::remove_all(directory);
  }
  std::cout << "the directory vanished under install in " << taken << " of 40 rounds\n";
}

// Uninstalls run at once: one removes the file, the others find it gone,
// and none of them calls that a failure.
TEST_F(Register, ConcurrentUninstallsAllSucceed) {
  std::filesystem::create_directories(config + "/chromium");
  ASSERT_EQ(run({"install", "--extension-id", kId, "--host", host}).status, 0);
  std::vector<std::thread> uninstalls;
  std::vector<int> statuses(12, -1);
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    uninstalls.emplace_back([&, i] { statuses[i] = run({"uninstall"}).status; });
  }
  for (std::thread& uninstall : uninstalls) uninstall.join();
  EXPECT_EQ(statuses, std::vector<int>(12, 0));
  EXPECT_FALSE(std::filesystem::exists(manifestIn("chromium")));
}

// The manifest holds the five members the browser reads and nothing else,
// with the host's path written as JSON however odd its characters.
TEST_F(Register, ManifestHoldsExactlyWhatTheBrowserNeeds) {
  const std::string odd = scratch / "dir \"quoted\" back\\slash été\ttab";
  std::filesystem::create_directory(odd);
  const std::string oddHost = odd + "/host";
  writeFile(oddHost, "");
  chmod(oddHost.c_str(), 0755);
  const HostExit result =
      run({"install", "--dir", scratch / "hosts", "--extension-id", kId, "--extension-id",
           "chrome-extension://" + kOtherId + "/", "--host", oddHost});
  ASSERT_EQ(result.status, 0) << result.errors;
  const std::string file = scratch / "hosts/com.tarnwick.host.json";
  const std::string text = readFile(file);
  EXPECT_EQ(text.find('\t'), std::string::npos) << "a raw tab: " << text;
  const auto manifest = nlohmann::json::parse(text);
  EXPECT_EQ(manifest.at("name"), "com.tarnwick.host");
  EXPECT_FALSE(manifest.at("description").get<std::string>().empty());
  EXPECT_EQ(manifest.at("path"), oddHost);
  EXPECT_EQ(manifest.at("type"), "stdio");
  EXPECT_EQ(
      manifest.at("allowed_origins"),
      (nlohmann::json{"chrome-extension://" + kId + "/", "chrome-extension://" + kOtherId + "/"}));
  EXPECT_EQ(manifest.size(), 5u);
  EXPECT_NE(result.output.find("uninstall --dir"), std::string::npos);
}

// A bad extension ID, no ID, or a host that is missing, relative or not
// executable is an error, and nothing at all is written.
TEST_F(Register, BadInputWritesNothing) {
  writeFile(scratch / "plain", "");
  std::filesystem::create_directory(config + "/chromium");
  const std::vector<std::vector<std::string>> attempts{
      {"install", "--extension-id", "abcdefghijklmnopabcdefghijklmno", "--host",
       host},  // 31 letters
      {"install", "--extension-id", "abcdefghijklmnopabcdefghijklmnoq", "--host", host},  // past p
      {"install", "--extension-id", "ABCDEFGHIJKLMNOPABCDEFGHIJKLMNOP", "--host",
       host},                                                                      // upper case
      {"install", "--extension-id", "chrome-extension://" + kId, "--host", host},  // no slash
      {"install", "--extension-id", kId, "--extension-id", "x", "--host", host},   // one bad of two
      {"install", "--host", host},                                                 // no ID
      {"install", "--extension-id", kId, "--host", scratch / "missing"},
      {"install", "--extension-id", kId, "--host", "relative/host"},
      {"install", "--extension-id", kId, "--host", scratch / "plain"},  // not executable
      {"install", "--extension-id", kId, "--host", host, "--browser", "netscape"},
  };
  for (const auto& attempt : attempts) {
    const HostExit result = run(attempt);
    EXPECT_NE(result.status, 0) << attempt[1] << " " << attempt.back();
    EXPECT_NE(result.errors, "");
  }
  EXPECT_EQ(filesWritten(), std::vector<std::string>{scratch / "plain"});
}

TEST_F(Register, RegistersForInstalledBrowsersUnlessAskedForAll) {
  for (const char* installed : {"chromium", "BraveSoftware/Brave-Browser", "vivaldi"}) {
    std::filesystem::create_directories(config + "/" + installed);
  }
  HostExit result = run({"install", "--extension-id", kId, "--host", host});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(filesWritten(),
            (std::vector<std::string>{manifestIn("BraveSoftware/Brave-Browser"),
                                      manifestIn("chromium"), manifestIn("vivaldi")}));
  EXPECT_NE(result.output.find("skipped, not installed: Chrome"), std::string::npos);

  result = run({"install", "--all", "--extension-id", kId, "--host", host});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_EQ(filesWritten().size(), 17u);
}

// Snap's browsers cannot start native hosts; a Flatpak browser can, from
// its own directory and inside its sandbox, and the tool says where.
TEST_F(Register, SandboxedBrowsersAreReported) {
  std::filesystem::create_directories(scratch / ".local/share/flatpak/app/com.brave.Browser");
  std::filesystem::create_directories(scratch / "root/snap/chromium");
  std::filesystem::create_directories(config + "/chromium");
  const std::vector<std::string> scope{"--os", "linux", "--root", scratch / "root"};
  HostExit result = runScoped({"install", "--extension-id", kId, "--host", host}, scope);
  EXPECT_EQ(result.status, 0);
  const std::string flatpakHosts =
      scratch /
      ".var/app/com.brave.Browser/config/BraveSoftware/Brave-Browser/NativeMessagingHosts";
  for (const std::string& said :
       {std::string("Brave is installed as a Flatpak"), "which reads manifests in " + flatpakHosts,
        std::string("Chromium is installed as a Snap")}) {
    EXPECT_NE(result.output.find(said), std::string::npos) << said << "\n" << result.output;
  }
  result = runScoped({"doctor", "--browser", "chromium"}, scope);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("whose sandbox cannot start native hosts"), std::string::npos)
      << result.output;
  result = runScoped({"doctor", "--browser", "brave"}, scope);
  EXPECT_NE(result.output.find("warning: Brave is also installed as a Flatpak"), std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find("cannot start native hosts"), std::string::npos) << result.output;
}

// Registering again rewrites nothing that is in place (the same file,
// untouched), and "in place" means everything the browser's trust rests on:
// content, a regular file, the owner (root for every user's registration),
// 0644, and a 0755 directory of the same owner. Anything else is rewritten,
// and the report says what was repaired. The doctor names what lets another
// user replace a system-wide manifest.
TEST_F(Register, RegisteringAgainRepairsWhatTheBrowserTrusts) {
  const std::string root = scratch / "root";
  const std::string directory = root + "/etc/chromium/native-messaging-hosts";
  const std::string file = directory + "/com.tarnwick.host.json";
  const std::string real = root + "/opt/tarnwick/tarnwick-host";
  std::filesystem::create_directories(os::parentOf(real));
  std::filesystem::copy_file(hostBinary(), real);
  const std::vector<std::string> scope{"--os",     "linux", "--root",    root,
                                       "--system", "--all", "--browser", "chromium"};
  const std::vector<std::string> install{"install", "--extension-id", kId, "--host", real};
  const std::vector<std::string> doctorScope{"--os",     "linux",     "--root",  root,
                                             "--system", "--browser", "chromium"};
  const unsigned owner = geteuid();  // root's registration, or the stager's under --root
  const uid_t nobody = 65534;
  const auto identity = [&] {
    struct stat info {};
    lstat(file.c_str(), &info);
    return std::make_pair(info.st_ino, info.st_mtime);
  };
  struct Case {
    const char* breaking;
    std::function<void()> breakIt;
    std::string repaired;  // empty: "(unchanged)", the same file
    bool rootOnly = false;
  };
  const std::vector<Case> cases{
      {"nothing", [] {}, ""},
      {"its mode", [&] { chmod(file.c_str(), 0600); }, "its mode was 0600"},
      {"a link to an identical file",
       [&] {
         std::filesystem::copy_file(file, scratch / "copy.json");
         std::filesystem::remove(file);
         std::filesystem::create_symlink(scratch / "copy.json", file);
       },
       "it was a symbolic link"},
      {"its directory's mode", [&] { chmod(directory.c_str(), 0700); },
       "its directory's mode was 0700"},
      {"another content", [&] { writeFile(file, readFile(file) + " "); }, "", false},
      {"its owner", [&] { ASSERT_EQ(chown(file.c_str(), nobody, static_cast<gid_t>(-1)), 0); },
       "it belonged to user 65534", true},
      {"its directory's owner",
       [&] { ASSERT_EQ(chown(directory.c_str(), nobody, static_cast<gid_t>(-1)), 0); },
       "its directory belonged to user 65534", true},
  };
  ASSERT_EQ(runScoped(install, scope).status, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.breaking);
    if (c.rootOnly && geteuid() != 0) continue;  // only root can give files away
    const auto before = identity();
    c.breakIt();
    if (std::string(c.breaking) != "nothing") {
      // The doctor sees what another user could do with it.
      const HostExit doctor = runScoped({"doctor"}, doctorScope);
      if (c.rootOnly) {
        EXPECT_NE(doctor.output.find("belongs to user 65534, who can point every user's browser"),
                  std::string::npos)
            << doctor.output;
        EXPECT_EQ(doctor.status, 1);
      }
    }
    const HostExit result = runScoped(install, scope);
    ASSERT_EQ(result.status, 0) << result.errors;
    if (c.repaired.empty() && std::string(c.breaking) == "nothing") {
      EXPECT_NE(result.output.find(file + " (unchanged)"), std::string::npos) << result.output;
      EXPECT_EQ(identity(), before);
    } else {
      EXPECT_EQ(result.output.find("(unchanged)"), std::string::npos) << result.output;
      if (!c.repaired.empty()) {
        EXPECT_NE(result.output.find("(repaired: " + c.repaired + ")"), std::string::npos)
            << result.output;
      }
    }
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(info.st_uid, owner);
    ASSERT_EQ(stat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_EQ(info.st_uid, owner);
  }
  // A directory above it that its group may write is named by the doctor.
  chmod((root + "/etc/chromium").c_str(), 0775);
  const HostExit doctor = runScoped({"doctor"}, doctorScope);
  EXPECT_EQ(doctor.status, 1);
  EXPECT_NE(doctor.output.find("security: the directory " + root +
                               "/etc/chromium can be written by users other than its owner"),
            std::string::npos)
      << doctor.output;
}

TEST_F(Register, UninstallRemovesExactlyWhatInstallWrote) {
  std::filesystem::create_directories(config + "/chromium/NativeMessagingHosts");
  std::filesystem::create_directories(config + "/microsoft-edge");
  const std::string neighbour = config + "/chromium/NativeMessagingHosts/org.other.host.json";
  writeFile(neighbour, "{\"name\":\"org.other.host\"}");
  std::filesystem::create_directories(config + "/vivaldi");
  ASSERT_EQ(run({"install", "--extension-id", kId, "--host", host}).status, 0);
  // A file with the host's name that is not its manifest stays.
  writeFile(manifestIn("vivaldi"), "{\"name\":\"something.else\"}");

  const HostExit result = run({"uninstall"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(filesWritten(), (std::vector<std::string>{neighbour, manifestIn("vivaldi")}));
  EXPECT_FALSE(std::filesystem::exists(config + "/microsoft-edge/NativeMessagingHosts"));
  EXPECT_TRUE(std::filesystem::exists(config + "/chromium/NativeMessagingHosts"));
}

TEST_F(Register, StatusShowsEachRegistrationAndAMissingHost) {
  std::filesystem::create_directories(config + "/chromium");
  std::filesystem::create_directories(config + "/google-chrome");
  EXPECT_NE(run({"status"}).output.find("not registered anywhere"), std::string::npos);
  ASSERT_EQ(
      run({"install", "--extension-id", kId, "--extension-id", kOtherId, "--host", host}).status,
      0);

  std::string output = run({"status"}).output;
  EXPECT_NE(output.find("Chromium: " + manifestIn("chromium") + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Chrome, Vivaldi, Helium and Opera: " + manifestIn("google-chrome")),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("allows: chrome-extension://" + kOtherId + "/"), std::string::npos);
  EXPECT_EQ(output.find("MISSING"), std::string::npos);

  std::filesystem::remove(host);
  output = run({"status"}).output;
  EXPECT_NE(output.find("host: " + host + "  (MISSING)"), std::string::npos) << output;
}

// One file can serve several browsers: Vivaldi falls back to Chrome's
// per-user manifest. Acting on some browsers says so, and never removes a
// file that a browser not named still reads.
TEST_F(Register, SharedFilesAreNamedAndKeptForTheirOtherReaders) {
  std::filesystem::create_directories(config + "/google-chrome");
  std::filesystem::create_directories(config + "/vivaldi");
  HostExit result = run({"install", "--browser", "chrome", "--extension-id", kId, "--host", host});
  ASSERT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("also read by Vivaldi"), std::string::npos) << result.output;
  EXPECT_FALSE(std::filesystem::exists(manifestIn("vivaldi")));

  result = run({"uninstall", "--browser", "chrome"});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find("kept " + manifestIn("google-chrome") + ": Vivaldi reads it too"),
            std::string::npos)
      << result.output;
  EXPECT_TRUE(std::filesystem::exists(manifestIn("google-chrome")));

  result = run({"uninstall", "--browser", "chrome", "--browser", "vivaldi"});
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(std::filesystem::exists(manifestIn("google-chrome")));
}

// Modes do not depend on the umask: created directories 0755, manifests
// 0644, so that other users' browsers can read a system-wide registration.
TEST_F(Register, ModesDoNotDependOnTheUmask) {
  const std::string nested = scratch / "a/b/NativeMessagingHosts";
  const mode_t saved = umask(0777);
  const HostExit result =
      run({"install", "--dir", nested, "--extension-id", kId, "--extension-id", kId,
           "--extension-id", "chrome-extension://" + kId + "/", "--host", host});
  umask(saved);
  ASSERT_EQ(result.status, 0) << result.errors;
  for (const std::string& path : {scratch / "a", scratch / "a/b", nested}) {
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u) << path;
  }
  struct stat info {};
  ASSERT_EQ(stat((nested + "/com.tarnwick.host.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  // A repeated extension ID is allowed once.
  EXPECT_EQ(nlohmann::json::parse(readFile(nested + "/com.tarnwick.host.json"))["allowed_origins"],
            nlohmann::json::array({"chrome-extension://" + kId + "/"}));
}

// The undo command is one shell word per argument, however odd the name,
// and undoing leaves the directory given, empty as it is: a directory given
// with --dir is the user's, even one named as a browser names its own.
TEST_F(Register, UndoCommandIsOneShellWordPerArgument) {
  const std::string odd = scratch / "x'; touch INJECTED; echo '/NativeMessagingHosts";
  const HostExit result = run({"install", "--dir", odd, "--extension-id", kId, "--host", host});
  ASSERT_EQ(result.status, 0) << result.errors;
  const std::size_t undo = result.output.find("undo with: ");
  ASSERT_NE(undo, std::string::npos);
  const std::string command =
      result.output.substr(undo + 11, result.output.find('\n', undo) - undo - 11);
  EXPECT_EQ(command.substr(0, 1), "/");  // the tool by its absolute path
  HostRun shell;
  shell.program = "/bin/sh";
  shell.arguments = {"-c", command};
  shell.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
  EXPECT_EQ(runHostBinary(shell).status, 0);
  EXPECT_FALSE(std::filesystem::exists(scratch / "INJECTED"));
  EXPECT_FALSE(std::filesystem::exists(odd + "/com.tarnwick.host.json"));
  EXPECT_TRUE(std::filesystem::is_directory(odd));
}

// What stands at the manifest's name is read only if it is a regular file:
// a FIFO does not hang the tool, an endless device does not exhaust it.
TEST_F(Register, OnlyRegularFilesAreRead) {
  for (const char* browser : {"microsoft-edge", "vivaldi"}) {
    std::filesystem::create_directories(config + "/" + browser + "/NativeMessagingHosts");
  }
  mkfifo(manifestIn("microsoft-edge").c_str(), 0644);
  std::filesystem::create_symlink("/dev/zero", manifestIn("vivaldi"));
  for (const char* subcommand : {"status", "uninstall", "doctor"}) {
    HostRun tool;
    tool.program = TARNWICK_REGISTER_BINARY;
    tool.arguments = {subcommand, "--os", "linux"};
    if (std::string(subcommand) == "doctor")
      tool.arguments.insert(tool.arguments.end(), {"--extension-id", kId});
    tool.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
    tool.timeoutSeconds = 20;
    const HostExit result = runHostBinary(tool);
    EXPECT_FALSE(result.timedOut) << subcommand;
    EXPECT_TRUE(result.exited) << subcommand;
    EXPECT_NE(result.output.find("not a regular file"), std::string::npos) << result.output;
  }
}

// A failed place does not stop the others; each failure names its own
// cause, and the exit status says that something failed.
TEST_F(Register, AFailedPlaceDoesNotStopTheOthers) {
  std::filesystem::create_directories(config + "/microsoft-edge");
  std::filesystem::create_directories(config + "/google-chrome");
  writeFile(config + "/google-chrome/NativeMessagingHosts", "in the way");
  const HostExit result = run({"install", "--extension-id", kId, "--host", host});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.errors.find("google-chrome/NativeMessagingHosts/com.tarnwick.host.json: Not a "
                               "directory"),
            std::string::npos)
      << result.errors;
  EXPECT_TRUE(std::filesystem::exists(manifestIn("microsoft-edge")));
  EXPECT_NE(result.output.find("undo with:"), std::string::npos);
}

// A registration that would land in the wrong place, or cannot be made,
// says what it needs: through sudo a per-user one would land in root's
// home; without root, every user's cannot be written.
TEST_F(Register, RefusedScopesSayWhatTheyNeed) {
  std::filesystem::create_directories(config + "/chromium");
  HostExit result;
  if (geteuid() == 0) {
    HostRun sudo;
    sudo.program = TARNWICK_REGISTER_BINARY;
    sudo.arguments = {"install", "--extension-id", kId, "--host", host, "--os", "linux"};
    sudo.environment = {
        {"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}, {"SUDO_USER", "ann"}};
    result = runHostBinary(sudo);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("use --system"), std::string::npos) << result.errors;
  } else {
    std::filesystem::create_directories(scratch / "root/etc");
    chmod((scratch / "root/etc").c_str(), 0555);
    result = run({"install", "--system", "--all", "--browser", "chromium", "--extension-id", kId,
                  "--host", host, "--root", scratch / "root"});
    chmod((scratch / "root/etc").c_str(), 0755);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.errors.find("Permission denied (registering for every user needs root"),
              std::string::npos)
        << result.errors;
  }
}

// The doctor runs the registered host as a browser would, and tells what
// the browser would make of it (the verdict) apart from what the host breaks
// of its own contract (a line of its own, which never changes the verdict).
TEST_F(Register, DoctorNamesWhatWouldStopTheBrowser) {
  const std::string hosts = scratch / "hosts";
  const std::string stand = scratch / "stand-in";
  const std::string real = std::filesystem::canonical(hostBinary()).string();
  struct Case {
    std::string script;  // the host, as a shell script; empty: the real host
    bool starts;         // the browser would get a reply
    std::string expected;
  };
  const std::vector<Case> cases{
      {"", true, "host contract: kept"},
      {"printf garbage", false, "its reply claims to be 1651663207 bytes long"},
      {"sleep 30", false, "it sent no whole reply within 5 s"},
      {"kill -SEGV $$", false,
       "it ended without sending a whole reply; it was killed by signal 11"},
      {"printf '\\002\\000\\000\\000{'", false,
       "it sent only part of one: \"\\x02\\x00\\x00\\x00{\""},
      // What the browser takes, though the host breaks its contract.
      {real + "; sleep 30", true,
       "host contract: broken (the browser does not check it): it did not exit"},
      {"echo oops >&2; exec " + real, true, "it wrote to standard error: \"oops\\x0a\""},
      // (How much later depends on the machine's load: 2.5 s or a little more.)
      {"sleep 2.5; exec " + real, true, " s, where it must within 2 s"},
      {"printf '\\013\\000\\000\\000{\"ok\":true}'", false,
       "it exited without reading its request"},
      {"head -c 19 >/dev/null; printf '\\014\\000\\000\\000{\"ok\": true}'", true,
       "it replied with \"\\x0c\\x00\\x00\\x00{\"ok\": true}\" instead of"},
      {real + "; printf x", true, "it wrote stray output after its reply: \"x\""},
      // A flood is read and dropped; only its start is kept and shown.
      {real + "; head -c 100000000 /dev/zero", true,
       "it wrote stray output after its reply: \"\\x00"},
      // A child left holding the host's output is stopped with the host's
      // group; a daemon in a session of its own is found and named.
      {"sleep 30 & echo $! > '" + scratch / "left-behind" + "'; exec " + real, true,
       "host contract: kept"},
      {"[ \"$1\" = chrome-extension://" + kId + "/ ] && [ \"$(pwd -P)\" = '" +
           std::filesystem::canonical(scratch.path()).string() +
           "' ] && [ \"$PATH\" = /usr/bin:/bin ] && exec " + real,
       true, "host contract: kept"},
      // A script without "#!" is run by /bin/sh, as execvp runs it.
      {"#exec " + real, true, "host contract: kept"},
  };
  std::vector<Case> all = cases;
  // Only Linux lets the doctor adopt what a host leaves behind.
  if (currentSystem() == System::Linux) {
    all.push_back({"setsid sleep 31 & exec " + real, true, "it left a process running after it: "});
  }
  for (const Case& c : all) {
    std::string program = real;
    if (!c.script.empty()) {
      const bool shebang = c.script[0] != '#';
      writeFile(stand, (shebang ? "#!/bin/sh\n" + c.script : c.script.substr(1)) + "\n");
      chmod(stand.c_str(), 0755);
      program = stand;
    }
    ASSERT_EQ(run({"install", "--dir", hosts, "--extension-id", kId, "--host", program}).status, 0);
    const HostExit result = run({"doctor", "--dir", hosts});
    EXPECT_EQ(result.status, c.starts ? 0 : 1) << c.script << "\n" << result.output;
    EXPECT_NE(result.output.find(c.expected), std::string::npos) << c.script << "\n"
                                                                 << result.output;
  }
  // The daemon named was stopped.
  for (const ProcessEntry& entry : listProcesses()) {
    EXPECT_FALSE(entry.state[0] != 'Z' && entry.command == "sleep 31") << entry.id;
  }
  // The child left behind is gone (or a zombie that nobody has reaped yet).
  const std::string left = readFile(scratch / "left-behind");
  ASSERT_FALSE(left.empty());
  const HostExit state = runHostBinary(
      {.program = "/bin/ps", .arguments = {"-o", "stat=", "-p", left.substr(0, left.size() - 1)}});
  EXPECT_TRUE(state.output.empty() || state.output[0] == 'Z') << state.output;

  // Broken registrations: a host that is gone, a manifest the browser refuses.
  std::filesystem::remove(stand);
  HostExit result = run({"doctor", "--dir", hosts});
  EXPECT_NE(result.output.find("the host " + stand + " named by"), std::string::npos)
      << result.output;
  writeFile(hosts + "/com.tarnwick.host.json",
            R"({"name":"com.tarnwick.host","description":"","path":"relative","type":"stdio",)"
            R"("allowed_origins":["chrome-extension://*/"]})");
  result = run({"doctor", "--dir", hosts});
  EXPECT_EQ(result.status, 1);
  for (const char* rule : {"\"description\" must be", "\"path\" must be absolute",
                           "no extension origin the browser takes"}) {
    EXPECT_NE(result.output.find(rule), std::string::npos) << rule << "\n" << result.output;
  }
}

}  // namespace
}  // namespace tarnwick::testing
