// The registration command, run as a user would, in a scratch home.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "process.h"
#include "scratch.h"

namespace tarnwick::testing {
namespace {

const std::string kId = "abcdefghijklmnopabcdefghijklmnop";
const std::string kOtherId = "ponmlkjihgfedcbaponmlkjihgfedcba";

class Register : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  const std::string config = scratch / "config";
  const std::string host = scratch / "tarnwick-host";

  void SetUp() override {
    std::filesystem::create_directory(config);
    writeFile(host, "#!/bin/sh\n");
    chmod(host.c_str(), 0755);
  }

  HostExit run(std::vector<std::string> arguments) {
    HostRun command;
    command.program = TARNWICK_REGISTER_BINARY;
    command.arguments = std::move(arguments);
    command.environment = {{"HOME", scratch.path()}, {"XDG_CONFIG_HOME", config}};
    return runHostBinary(command);
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

TEST_F(Register, ManifestHoldsExactlyWhatTheBrowserNeeds) {
  const HostExit result =
      run({"install", "--dir", scratch / "hosts", "--extension-id", kId, "--extension-id",
           "chrome-extension://" + kOtherId + "/", "--host", host});
  ASSERT_EQ(result.status, 0) << result.errors;
  const std::string file = scratch / "hosts/com.tarnwick.host.json";
  const auto manifest = nlohmann::json::parse(readFile(file));
  EXPECT_EQ(manifest.at("name"), "com.tarnwick.host");
  EXPECT_FALSE(manifest.at("description").get<std::string>().empty());
  EXPECT_EQ(manifest.at("path"), host);
  EXPECT_EQ(manifest.at("type"), "stdio");
  EXPECT_EQ(
      manifest.at("allowed_origins"),
      (nlohmann::json{"chrome-extension://" + kId + "/", "chrome-extension://" + kOtherId + "/"}));
  EXPECT_EQ(manifest.size(), 5u);
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);  // browsers of every user must read it
  EXPECT_NE(result.output.find("uninstall --dir"), std::string::npos);
}

TEST_F(Register, AnyHostPathIsEscapedCorrectly) {
  const std::string odd = scratch / "dir \"quoted\" back\\slash été\ttab";
  std::filesystem::create_directory(odd);
  const std::string oddHost = odd + "/host";
  writeFile(oddHost, "");
  chmod(oddHost.c_str(), 0755);
  ASSERT_EQ(
      run({"install", "--dir", scratch / "hosts", "--extension-id", kId, "--host", oddHost}).status,
      0);
  const std::string text = readFile(scratch / "hosts/com.tarnwick.host.json");
  EXPECT_EQ(nlohmann::json::parse(text).at("path"), oddHost);
  EXPECT_EQ(text.find('\t'),
            text.find("\t\"") == std::string::npos ? std::string::npos : text.find('\t'));
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
      {"install", "--extension-id", kId, "--host", host, "--bogus"},
      {"reinstall"},
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
  EXPECT_EQ(filesWritten().size(), 12u);
  for (const char* browser : {"google-chrome", "google-chrome-beta", "google-chrome-unstable",
                              "microsoft-edge", "microsoft-edge-beta", "microsoft-edge-dev",
                              "BraveSoftware/Brave-Browser-Nightly", "vivaldi-snapshot"}) {
    EXPECT_TRUE(std::filesystem::exists(manifestIn(browser))) << browser;
  }
}

TEST_F(Register, SandboxedBrowsersAreReported) {
  std::filesystem::create_directories(scratch / "snap/chromium");
  std::filesystem::create_directories(scratch / ".var/app/com.brave.Browser");
  const HostExit result = run({"install", "--extension-id", kId, "--host", host});
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.output.find("Chromium (Snap) runs in a sandbox"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("Brave (Flatpak) runs in a sandbox"), std::string::npos)
      << result.output;
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
  EXPECT_NE(output.find("Chromium: " + manifestIn("chromium")), std::string::npos) << output;
  EXPECT_NE(output.find("Chrome: " + manifestIn("google-chrome")), std::string::npos) << output;
  EXPECT_NE(output.find("allows: chrome-extension://" + kOtherId + "/"), std::string::npos);
  EXPECT_EQ(output.find("MISSING"), std::string::npos);

  std::filesystem::remove(host);
  output = run({"status"}).output;
  EXPECT_NE(output.find("host: " + host + "  (MISSING)"), std::string::npos) << output;
}

}  // namespace
}  // namespace tarnwick::testing
