// A real, headless Chromium drives the host through the test extension in
// tests/extension, over both native-messaging APIs. The host is registered
// with the registration command, as a user would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <thread>

#include "differential.h"
#include "opener.h"
#include "platform/operating_system.h"
#include "platform/process.h"
#include "process.h"
#include "scratch.h"
#include "verdict_cases.h"

extern char** environ;

namespace tarnwick::testing {
namespace {

// The browser: $TARNWICK_BROWSER when set (CI's Macs install Chrome for
// Testing, which still loads unpacked extensions from the command line,
// where branded Chrome no longer does), else the system's Chromium.
std::string browserProgram() {
  if (const char* given = getenv("TARNWICK_BROWSER"); given != nullptr && *given != '\0') {
    return given;
  }
#if defined(__APPLE__)
  return "/Applications/Chromium.app/Contents/MacOS/Chromium";
#else
  return "/usr/lib/chromium/chromium";
#endif
}
// The ID that the test extension's "key" pins.
constexpr const char* kExtensionId = "eofhbabbaadhhjaccknelmlpklibecgb";
constexpr auto kBrowserTimeout = std::chrono::seconds(90);

using Clock = std::chrono::steady_clock;

// The browser with the test extension, quiet on a closed network: no first
// run, no background connections, no keychain prompt on a Mac; its console on
// standard error, where the extension's reports are read.
std::vector<std::string> browserCommand(const std::string& browser, const std::string& extension) {
  return {browser,
          "--no-sandbox",
          "--disable-gpu",
          "--disable-quic",
          "--no-first-run",
          "--no-default-browser-check",
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--use-mock-keychain",
          "--load-extension=" + extension,
          "--enable-logging=stderr",
          "about:blank"};
}

// The processes, other than zombies, started as the executable at `path`.
std::vector<pid_t> processesRunning(const std::string& path) {
  const std::string target = std::filesystem::canonical(path).string();
  std::vector<pid_t> found;
  for (const ProcessEntry& entry : listProcesses()) {
    if (entry.state[0] != 'Z' && entry.command.substr(0, entry.command.find(' ')) == target) {
      found.push_back(entry.id);
    }
  }
  return found;
}

// The processes whose command line holds `argument` as one of its words.
std::vector<pid_t> processesWith(const std::string& argument) {
  std::vector<pid_t> found;
  for (const ProcessEntry& entry : listProcesses()) {
    const std::string words = " " + entry.command + " ";
    if (entry.state[0] != 'Z' && words.find(" " + argument + " ") != std::string::npos) {
      found.push_back(entry.id);
    }
  }
  return found;
}

// Stops the browser by its own PID (never its process group, which the
// hosts share): TERM, then KILL once a bound has passed. Its helper
// processes, which carry the same profile argument, follow it; any that
// outlive the bound are killed one by one.
void stopBrowser(os::Process& browser, const std::string& profileArgument) {
  browser.signal(SIGTERM);
  if (!browser.wait(os::monotonicMilliseconds() + 10'000)) browser.kill();
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!processesWith(profileArgument).empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (pid_t helper : processesWith(profileArgument)) kill(helper, SIGKILL);
}

class Browser : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  const std::string profile = scratch / "profile";
  const std::string hosts = profile + "/NativeMessagingHosts";
  const std::string home = scratch / "home";
  const std::string support = home + "/Library/Application Support/Tarnwick";
  const std::string record = scratch / "opened";
  const std::string chromium = browserProgram();

  void SetUp() override {
    if (access(chromium.c_str(), X_OK) != 0) {
      // On Linux the tests install Chromium themselves, so a missing one is
      // a fault; a Mac has none unless one is given or put there.
      if (getenv("TARNWICK_SKIP_BROWSER") != nullptr || currentSystem() == System::MacOs) {
        GTEST_SKIP() << "no browser at " << chromium
                     << ": the real-browser test is skipped (set TARNWICK_BROWSER to a "
                        "Chromium or Chrome for Testing)";
      }
      FAIL() << chromium << " is missing: apt-get install chromium";
    }
    for (const auto& directory : {profile, home, scratch / "bin"}) {
      std::filesystem::create_directories(directory);
    }
    writeOpener(scratch / "bin", record);
  }

  // Runs the browser until the extension reports "done" (or the bound
  // passes) and returns every report by name.
  std::map<std::string, nlohmann::json> runBrowser() {
    os::ProcessOptions options;
    // A profile of its own: the browser reads per-user manifests from
    // <user data directory>/NativeMessagingHosts on every system
    // (chrome/common/chrome_paths.cc, DIR_USER_NATIVE_MESSAGING).
    options.arguments = browserCommand(chromium, TARNWICK_EXTENSION_DIR);
    options.arguments.insert(options.arguments.begin() + 1,
                             {"--headless=new", "--user-data-dir=" + profile});
    options.environment = {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                           "XDG_CACHE_HOME=" + home + "/.cache",
                           "PATH=" + scratch / "bin" + ":/usr/bin:/bin", "LANG=C.UTF-8"};
    options.errors = os::Stream::pipe();
    // The browser's process group is shared with the hosts it starts, so it
    // is stopped by its own process id, never by its group.
    options.grouping = os::Grouping::Shared;
    os::Process browser;
    if (!os::Process::start(options, &browser).ok()) return {};
    const int errors = browser.errors();

    std::map<std::string, nlohmann::json> reports;
    std::string pending;
    const std::string marker = "TARNWICK-E2E ";
    const auto deadline = Clock::now() + kBrowserTimeout;
    while (reports.count("done") == 0 && Clock::now() < deadline) {
      pollfd readable{errors, POLLIN, 0};
      if (poll(&readable, 1, 200) <= 0) continue;
      char buffer[8192];
      const ssize_t got = read(errors, buffer, sizeof buffer);
      if (got <= 0) break;
      pending.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        const std::size_t at = line.find(marker);
        const std::size_t end = line.rfind("\", source:");
        if (at == std::string::npos || end == std::string::npos || end < at) continue;
        const auto report = nlohmann::json::parse(
            line.substr(at + marker.size(), end - at - marker.size()), nullptr, false);
        if (report.is_object()) reports[report.value("name", "")] = report["value"];
      }
    }
    stopBrowser(browser, "--user-data-dir=" + profile);
    return reports;
  }

  void writeManifest(const std::string& name, const std::string& path, const std::string& id) {
    writeFile(hosts + "/" + name + ".json",
              nlohmann::json{{"name", name},
                             {"description", "test"},
                             {"path", path},
                             {"type", "stdio"},
                             {"allowed_origins", {"chrome-extension://" + id + "/"}}}
                  .dump());
  }

  nlohmann::json readJson(const std::string& relative) {
    return nlohmann::json::parse(readFile(support + "/" + relative));
  }
};

// With TARNWICK_INSTALLED_HOST set (by the package test, inside a throwaway
// root where the package is installed), the host is that one and the
// browser reaches it through the package's system-wide registration alone;
// otherwise the built host is registered in the profile, as a user would.
TEST_F(Browser, ExtensionDrivesTheHostEndToEnd) {
  const char* installed = getenv("TARNWICK_INSTALLED_HOST");
  const std::string host = installed != nullptr ? std::string(installed) : hostBinary();
  HostRun doctor;
  doctor.program = installed != nullptr ? "/usr/bin/tarnwick-register" : TARNWICK_REGISTER_BINARY;
  doctor.environment = {{"HOME", home}};
  if (installed != nullptr) {
    doctor.arguments = {"doctor", "--browser", "chromium"};
  } else {
    HostRun registration;
    registration.program = TARNWICK_REGISTER_BINARY;
    registration.arguments = {"install",
                              "--dir",
                              hosts,
                              "--extension-id",
                              kExtensionId,
                              "--host",
                              std::filesystem::canonical(host).string()};
    const HostExit registered = runHostBinary(registration);
    ASSERT_EQ(registered.status, 0) << registered.errors;
    doctor.arguments = {"doctor", "--dir", hosts};
  }
  // Wrongly registered hosts: one whose program is gone, one that does not
  // admit this extension.
  writeManifest("com.tarnwick.missing", scratch / "gone/tarnwick-host", kExtensionId);
  writeManifest("com.tarnwick.forbidden", host, "ponmlkjihgfedcbaponmlkjihgfedcba");

  // The doctor, given the same registration, must agree with the browser.
  const HostExit diagnosis = runHostBinary(doctor);
  EXPECT_EQ(diagnosis.status, 0) << diagnosis.output;
  EXPECT_NE(diagnosis.output.find(": healthy"), std::string::npos) << diagnosis.output;

  const auto reports = runBrowser();
  ASSERT_EQ(reports.count("done"), 1u) << "the extension did not finish in time";

  const nlohmann::json okTrue{{"reply", {{"ok", true}}}}, okFalse{{"reply", {{"ok", false}}}};
  EXPECT_EQ(reports.at("ping"), okTrue);
  EXPECT_EQ(reports.at("capture"), okTrue);
  EXPECT_EQ(reports.at("open"), okTrue);
  EXPECT_EQ(reports.at("unknown"), okFalse);
  EXPECT_EQ(reports.at("lingering"), okTrue);
  EXPECT_EQ(reports.at("session").at("replies"),
            (nlohmann::json{
                {{"ok", true}}, {{"ok", true}}, {{"ok", true}}, {{"ok", false}}, {{"ok", true}}}));
  for (const char* broken : {"unregistered", "missing", "forbidden"}) {
    EXPECT_FALSE(reports.at(broken).value("error", "").empty())
        << broken << ": " << reports.at(broken);
  }

  for (const char* browser : {"chromium", "chrome", "edge", "brave", "vivaldi"}) {
    EXPECT_EQ(readJson(std::string("BrowserStatus/") + browser + ".json").at("browser"), browser);
  }
  const auto capture = readJson("capture-request.json");
  EXPECT_EQ(capture.at("url"), std::string("https://example.test/été?x=1&y=\0", 34));
  EXPECT_EQ(capture.at("filename"), "page.html");
  EXPECT_FALSE(capture.contains("referrer"));
  EXPECT_TRUE(std::regex_match(capture.at("nonce").get<std::string>(), std::regex(kNoncePattern)));
  const std::string opened = readFile(record);
  std::size_t handovers = 0;
  for (std::size_t at = 0; (at = opened.find("args:tarnwick://open\n", at)) != std::string::npos;
       ++at) {
    ++handovers;
  }
  EXPECT_EQ(handovers, 2u);  // the one-shot "open" and the session's

  // The host whose connection was still open sees its input end with the
  // browser and exits by itself.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!processesRunning(host).empty() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(processesRunning(host).empty());
  EXPECT_TRUE(processesWith("--user-data-dir=" + profile).empty());
}

// The path that `process`'s main thread waits to open, when it is blocked
// opening a FIFO that no one writes (the kernel's wait_for_partner): Linux's
// /proc gives the call's arguments, openat's second being the path, and, to
// root, the process's memory, where the path is.
std::optional<std::string> fifoBeingOpened(pid_t process) {
  const std::string proc = "/proc/" + std::to_string(process);
  std::string waitingIn;
  if (!std::getline(std::ifstream(proc + "/wchan"), waitingIn) || waitingIn != "wait_for_partner") {
    return std::nullopt;
  }
  std::ifstream call(proc + "/syscall");
  std::string number, directory, address;
  if (!(call >> number >> directory >> address)) return std::nullopt;
  std::ifstream memory(proc + "/mem", std::ios::binary);
  memory.seekg(static_cast<std::streamoff>(std::stoull(address, nullptr, 16)));
  std::string path;
  if (!std::getline(memory, path, '\0')) return std::nullopt;
  return path;
}

// The browser's own reading of a case: the doctor's exit status, and whether
// the extension's ping got a reply.
struct Verdicts {
  int doctor = -1;
  bool started = false;
  std::string browser, doctorOutput;
};

// The doctor against the real browser, case by case: a case lays out policy
// files, manifests and hosts (differential.h), and both are asked: `doctor
// --browser chromium`, and the real browser, started as a user would start
// it (no --user-data-dir: it finds its profile, and its per-user manifests,
// where its environment says), with the extension in probe mode, whether it
// starts the host for a "ping". The browser is the oracle: the two must
// agree, and where a known case says what the browser does, the browser
// must still do it. It runs inside the private mount namespace that
// tests/differential_test makes, where /etc is an overlay.
class Generated : public Browser {
 protected:
  const std::string bin = scratch / "hosts-bin";
  const std::string real = scratch / "real/tarnwick-host";
  const std::string extension = scratch / "extension";

  void SetUp() override {
    if (getenv("TARNWICK_DIFFERENTIAL") == nullptr) {
      GTEST_SKIP() << "runs inside the namespace of tests/differential_test";
    }
    Browser::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::filesystem::permissions(scratch.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec);
    std::filesystem::create_directories(scratch / "real");
    std::filesystem::copy_file(hostBinary(), real);
    std::filesystem::create_directories(extension);
    for (const char* name : {"manifest.json", "background.js"}) {
      std::filesystem::copy_file(std::string(TARNWICK_EXTENSION_DIR) + "/" + name,
                                 extension + "/" + name);
    }
    writeFile(extension + "/probe.json", R"({"host":"com.tarnwick.host","timeout":8000})");
  }

  // Where the browser reads per-user manifests: $CHROME_CONFIG_HOME, else
  // $XDG_CONFIG_HOME, else ~/.config, each only when set and not empty
  // (chrome/common/chrome_paths_linux.cc).
  static std::string userDirectory(const nlohmann::json& env, const std::string& home) {
    for (const char* name : {"CHROME_CONFIG_HOME", "XDG_CONFIG_HOME"}) {
      if (env.contains(name) && !env[name].get<std::string>().empty()) {
        return expandHome(env[name].get<std::string>(), home) + "/chromium/NativeMessagingHosts";
      }
    }
    return home + "/.config/chromium/NativeMessagingHosts";
  }

  static std::string expandHome(std::string text, const std::string& home) {
    for (std::size_t at; (at = text.find("{home}")) != std::string::npos;) {
      text.replace(at, 6, home);
    }
    return text;
  }

  std::string expand(std::string text, const nlohmann::json& env) const {
    const std::pair<std::string, std::string> tokens[] = {
        {"{policies}", "/etc/chromium/policies/managed"},
        {"{recommended}", "/etc/chromium/policies/recommended"},
        {"{system}", "/etc/chromium/native-messaging-hosts"},
        {"{user}", userDirectory(env, home)},
        {"{dotconfig}", home + "/.config/chromium/NativeMessagingHosts"},
        {"{bin}", bin},
        {"{real}", real},
        {"{name}", "com.tarnwick.host"},
        {"{id}", kExtensionId},
        {"{home}", home},
    };
    for (const auto& [token, value] : tokens) {
      for (std::size_t at = 0; (at = text.find(token, at)) != std::string::npos;
           at += value.size()) {
        text.replace(at, token.size(), value);
      }
    }
    // {pad:N}: N letters, for files too large to keep as they are.
    for (std::size_t at; (at = text.find("{pad:")) != std::string::npos;) {
      const std::size_t end = text.find('}', at);
      const std::size_t count = std::stoul(text.substr(at + 5, end - at - 5));
      text.replace(at, end + 1 - at, std::string(count, 'p'));
    }
    return text;
  }

  // The FIFOs that the case lays out, where they are.
  std::vector<std::string> fifosOf(const nlohmann::json& c) const {
    std::vector<std::string> fifos;
    for (const auto& entry : c["files"]) {
      if (entry.contains("fifo")) fifos.push_back(expand(entry["at"], c["env"]));
    }
    return fifos;
  }

  void layOut(const nlohmann::json& c) {
    std::filesystem::remove_all("/etc/chromium/policies");
    std::filesystem::remove_all("/etc/chromium/native-messaging-hosts");
    std::filesystem::remove_all(home);
    std::filesystem::remove_all(bin);
    for (const std::string& directory : {home, bin}) std::filesystem::create_directories(directory);
    const nlohmann::json& env = c["env"];
    for (const auto& entry : c["files"]) {
      const std::string at = expand(entry["at"], env);
      std::filesystem::create_directories(std::filesystem::path(at).parent_path());
      std::filesystem::remove_all(at);  // a later entry at the same place wins
      if (entry.contains("directory")) {
        std::filesystem::create_directories(at);
      } else if (entry.contains("fifo")) {
        mkfifo(at.c_str(), 0644);
      } else if (entry.contains("link")) {
        std::filesystem::create_symlink(expand(entry["link"], env), at);
      } else {
        writeFile(at, expand(entry["text"], env));
        chmod(at.c_str(), static_cast<mode_t>(entry.value("mode", 0644)));
      }
    }
  }

  Verdicts judge(const nlohmann::json& c) {
    layOut(c);
    const nlohmann::json& env = c["env"];
    Verdicts verdicts;
    HostRun doctor;
    doctor.program = TARNWICK_REGISTER_BINARY;
    doctor.arguments = {"doctor", "--browser", "chromium"};
    doctor.environment = {
        {"HOME", home}, {"XDG_CONFIG_HOME", std::nullopt}, {"CHROME_CONFIG_HOME", std::nullopt}};
    std::vector<std::string> browserEnvironment{"HOME=" + home, "PATH=/usr/bin:/bin",
                                                "LANG=C.UTF-8"};
    for (const auto& [name, value] : env.items()) {
      doctor.environment[name] = expandHome(value, home);
      browserEnvironment.push_back(name + "=" + expandHome(value, home));
    }
    doctor.timeoutSeconds = 60;
    const HostExit result = runHostBinary(doctor);
    verdicts.doctor = result.status;
    verdicts.doctorOutput = result.output + result.errors;

    os::ProcessOptions options;
    options.arguments = browserCommand(chromium, extension);
    options.arguments.insert(options.arguments.begin() + 1, "--password-store=basic");
    // Headless, the browser takes a temporary profile unless it is given
    // one, so the environment's say over the per-user directory shows only
    // in a browser with a display (tests/differential_test gives it Xvfb's).
    if (const char* display = getenv("DISPLAY"); display != nullptr && *display != '\0') {
      browserEnvironment.push_back(std::string("DISPLAY=") + display);
      if (const char* authority = getenv("XAUTHORITY")) {
        browserEnvironment.push_back(std::string("XAUTHORITY=") + authority);
      }
    } else {
      options.arguments.insert(
          options.arguments.begin() + 1,
          {"--headless=new", "--user-data-dir=" + os::parentOf(userDirectory(env, home))});
    }
    options.environment = browserEnvironment;
    options.workingDirectory = scratch.path();
    options.errors = os::Stream::pipe();
    // A group of its own: the browser and every host it started are
    // stopped together once the probe has reported.
    options.grouping = os::Grouping::OwnGroup;
    os::Process browser;
    if (!os::Process::start(options, &browser).ok()) return verdicts;
    os::Captured captured;
    const std::string marker = "TARNWICK-E2E ";
    nlohmann::json probe;
    // The browser reads its policies on its main thread before it loads any
    // extension: blocked there opening a FIFO that no one writes, it never
    // gets further, and waiting out the whole bound would only take time.
    // Seen twice, a second apart, it counts as the browser's answer.
    const std::vector<std::string> fifos = fifosOf(c);
    std::int64_t nextLook = os::monotonicMilliseconds() + 1000;
    std::optional<std::string> blockedOn;
    bool stuck = false;
    browser.collect(captured, os::monotonicMilliseconds() + 25'000, 1 << 20, [&] {
      if (!fifos.empty() && os::monotonicMilliseconds() >= nextLook) {
        nextLook = os::monotonicMilliseconds() + 1000;
        const std::optional<std::string> opening = fifoBeingOpened(browser.id());
        const bool ours = opening && std::find(fifos.begin(), fifos.end(), *opening) != fifos.end();
        stuck = ours && blockedOn == opening;
        blockedOn = ours ? opening : std::nullopt;
        if (stuck) return true;
      }
      for (std::size_t at = captured.errors.find(marker); at != std::string::npos;
           at = captured.errors.find(marker, at + 1)) {
        const std::size_t end = captured.errors.find("\", source:", at);
        if (end == std::string::npos) return false;
        const auto report = nlohmann::json::parse(
            captured.errors.substr(at + marker.size(), end - at - marker.size()), nullptr, false);
        if (report.is_object() && report.value("name", "") == "probe") {
          probe = report["value"];
          return true;
        }
      }
      return false;
    });
    browser.kill();
    verdicts.started = probe.is_object() && probe.contains("reply");
    verdicts.browser = stuck             ? "blocked opening the FIFO " + *blockedOn
                       : probe.is_null() ? "no report"
                                         : probe.dump();
    return verdicts;
  }

  // Judges every case; a disagreement is saved where it can be replayed
  // from (TARNWICK_DIFFERENTIAL_REPLAY=FILE) and fails the test.
  void expectAgreement(const std::vector<nlohmann::json>& cases) {
    int agreed = 0, started = 0;
    for (const nlohmann::json& c : cases) {
      const Verdicts verdicts = judge(c);
      if (verdicts.started) ++started;
      if (c.contains("starts") && verdicts.started != c["starts"].get<bool>()) {
        ADD_FAILURE() << "the browser no longer does what the known case says: "
                      << c["summary"].get<std::string>() << "\nthe browser: " << verdicts.browser;
      }
      const bool same = (verdicts.doctor == 0) == verdicts.started;
      if (same) {
        ++agreed;
        continue;
      }
      const std::string saved = std::filesystem::absolute(
          "differential-disagreements/" + std::to_string(c["seed"].get<std::uint64_t>()) + ".json");
      std::filesystem::create_directories(std::filesystem::path(saved).parent_path());
      writeFile(saved, c.dump(1) + "\n");
      ADD_FAILURE() << "the doctor and the browser disagree on " << c["summary"].get<std::string>()
                    << "\nthe browser: " << verdicts.browser << "\nthe doctor (exit "
                    << verdicts.doctor << "):\n"
                    << verdicts.doctorOutput << "saved as " << saved
                    << "; replay with TARNWICK_DIFFERENTIAL_REPLAY=" << saved;
    }
    std::cout << "differential: " << agreed << " of " << cases.size()
              << " cases agree (the browser started the host in " << started << ")\n";
  }
};

// The table of known verdicts (verdict_cases.h), each policy case with a
// per-user manifest, and the host's own cases: what the browser was seen to
// do with each, which it must still do.
TEST_F(Generated, KnownCasesAgreeWithTheBrowser) {
  const auto file = [](const std::string& at, const std::string& text, int mode = 0644) {
    return nlohmann::json{{"at", at}, {"text", text}, {"mode", mode}};
  };
  const auto known = [](const std::string& summary, nlohmann::json files, bool starts) {
    return nlohmann::json{{"seed", 0},
                          {"summary", summary},
                          {"env", nlohmann::json::object()},
                          {"files", files},
                          {"starts", starts}};
  };
  const std::string user = "{user}/com.tarnwick.host.json";
  const std::string good = manifestCases(real, kExtensionId)[0].text;
  const std::string off = R"({"NativeMessagingUserLevelHosts": false})";
  std::vector<nlohmann::json> cases{
      known("system-wide", {file("{system}/com.tarnwick.host.json", good)}, true),
      known("user-level hosts off, system-wide too",
            {file("{policies}/p.json", off), file(user, good),
             file("{system}/com.tarnwick.host.json", good)},
            true),
      known("a host that cannot be run",
            {file("{bin}/host", "#!/bin/sh\nexec {real}\n", 0644),
             file(user, manifestCases(bin + "/host", kExtensionId)[0].text)},
            false),
      known("a missing host", {file(user, manifestCases(bin + "/gone", kExtensionId)[0].text)},
            false),
  };
  for (const PolicyCase& c : policyCases()) {
    nlohmann::json files{file(user, good)};
    for (const auto& [name, text] : c.files) files.push_back(file("{policies}/" + name, text));
    cases.push_back(known(c.name, files, c.userLevelHosts && !c.blocked));
  }
  for (const ManifestCase& c : manifestCases(real, kExtensionId)) {
    cases.push_back(known("a manifest: " + c.name, {file(user, c.text)}, c.allowed));
  }
  expectAgreement(cases);
}

// The cases saved from disagreements found and fixed, one for each kind
// (tests/differential/*.json), and any one case being replayed.
TEST_F(Generated, SavedCasesAgreeWithTheBrowser) {
  std::vector<nlohmann::json> cases;
  if (const char* replay = getenv("TARNWICK_DIFFERENTIAL_REPLAY")) {
    cases.push_back(nlohmann::json::parse(readFile(replay)));
  } else {
    for (const std::string& name : listDirectory(TARNWICK_DIFFERENTIAL_CASES)) {
      cases.push_back(
          nlohmann::json::parse(readFile(std::string(TARNWICK_DIFFERENTIAL_CASES) + "/" + name)));
    }
  }
  expectAgreement(cases);
}

// Cases made from a fresh seed on every run (TARNWICK_DIFFERENTIAL_SEED
// makes a run again), TARNWICK_DIFFERENTIAL_COUNT of them.
TEST_F(Generated, GeneratedCasesAgreeWithTheBrowser) {
  if (getenv("TARNWICK_DIFFERENTIAL_REPLAY") != nullptr) GTEST_SKIP() << "replaying one case";
  std::uint64_t seed = std::random_device()();
  seed = seed << 32 | std::random_device()();
  if (const char* given = getenv("TARNWICK_DIFFERENTIAL_SEED")) seed = std::stoull(given);
  const int count = getenv("TARNWICK_DIFFERENTIAL_COUNT") != nullptr
                        ? std::atoi(getenv("TARNWICK_DIFFERENTIAL_COUNT"))
                        : 120;
  std::cout << "differential seed " << seed << " (TARNWICK_DIFFERENTIAL_SEED=" << seed
            << " makes the same " << count << " cases)" << std::endl;
  std::vector<nlohmann::json> cases;
  for (int i = 0; i < count; ++i)
    cases.push_back(generateCase(seed + static_cast<std::uint64_t>(i)));
  expectAgreement(cases);
}

}  // namespace
}  // namespace tarnwick::testing
