#include "doctor.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#if defined(__APPLE__)
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#else
// The headers that cross-compile for macOS lack sys/xattr.h; this is
// libSystem's declaration.
extern "C" ssize_t getxattr(const char* path, const char* name, void* value, size_t size,
                            uint32_t position, int options);
#endif
#endif

#include "manifest.h"

extern char** environ;

namespace tarnwick::registration {
namespace {

constexpr std::string_view kPing = "{\"type\":\"ping\"}";
constexpr std::string_view kOkTrue = "{\"ok\":true}";
constexpr int kLimitMs = 2000;

long long nowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

std::string frame(std::string_view body) {
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);  // native byte order
  return bytes.append(body);
}

// Bytes as readable text: printable ASCII as it is, the rest as \xNN.
std::string shown(std::string_view bytes, std::size_t limit = 48) {
  std::string text;
  for (const char c : bytes.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      text.push_back(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      text += "\\x";
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0xF]);
    }
  }
  if (bytes.size() > limit) text += "...";
  return "\"" + text + "\"";
}

bool makePipe(int ends[2]) {
  if (::pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
  return true;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// What a browser started from the desktop hands down, reduced to what
// matters to a host; PATH as a desktop session sets it at the least.
std::vector<std::string> browserEnvironment() {
  std::vector<std::string> environment{"PATH=/usr/bin:/bin"};
  for (const char* name : {"HOME", "USER", "LOGNAME", "LANG", "TMPDIR", "DISPLAY",
                           "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
    if (const char* value = std::getenv(name))
      environment.push_back(std::string(name) + "=" + value);
  }
  return environment;
}

// A running host: its process and the parent's ends of its three streams.
struct Child {
  pid_t pid = -1;
  int input = -1, output = -1, errors = -1;
};

// Starts `host` as the browser does, or says why it could not be started.
std::optional<Child> start(const std::string& host, const std::string& origin,
                           std::string& failure) {
  int input[2], output[2], errors[2], report[2];
  if (!makePipe(input) || !makePipe(output) || !makePipe(errors) || !makePipe(report)) {
    failure = std::string("pipes could not be made: ") + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::string> arguments{host, origin};
  std::vector<std::string> environment = browserEnvironment();
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string directory = parentOf(host);

  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(input[0], 0);
    ::dup2(output[1], 1);
    ::dup2(errors[1], 2);
    ::setpgid(0, 0);  // so that a hung host and anything it started can be stopped together
    ::signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
    int error = 0;
    if (::chdir(directory.c_str()) != 0) {
      error = errno;
    } else {
      ::execve(host.c_str(), argv.data(), envp.data());
      error = errno;
    }
    [[maybe_unused]] const ssize_t ignored = ::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  for (int fd : {input[0], output[1], errors[1], report[1]}) ::close(fd);
  if (pid < 0) {
    failure = std::string("no process could be started: ") + std::strerror(errno);
    for (int fd : {input[1], output[0], errors[0], report[0]}) ::close(fd);
    return std::nullopt;
  }
  int error = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    failure = std::string("it could not be started: ") + std::strerror(error);
    ::waitpid(pid, nullptr, 0);
    for (int fd : {input[1], output[0], errors[0]}) ::close(fd);
    return std::nullopt;
  }
  return Child{pid, input[1], output[0], errors[0]};
}

// Reads what the host writes until `done` says so or `deadline` passes;
// closes a stream at its end. Reaps the host when it exits.
template <typename Done>
void collect(Child& child, std::string& output, std::string& errors, bool& exited, int& status,
             long long deadline, Done done) {
  while (!done() && nowMs() < deadline) {
    if (!exited) {
      const pid_t reaped = ::waitpid(child.pid, &status, WNOHANG);
      if (reaped == child.pid) exited = true;
    }
    pollfd streams[2] = {{child.output, POLLIN, 0}, {child.errors, POLLIN, 0}};
    const int wait =
        static_cast<int>(std::min<long long>(20, std::max<long long>(0, deadline - nowMs())));
    if (::poll(streams, 2, wait) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? child.output : child.errors;
      if (fd < 0 || (streams[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? output : errors).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        closeIfOpen(fd);
      }
    }
  }
}

std::string signalName(int number) {
  const char* name = ::strsignal(number);
  return "signal " + std::to_string(number) +
         (name != nullptr ? std::string(" (") + name + ")" : "");
}

bool hasMode(const struct stat& info, mode_t bits) { return (info.st_mode & bits) == bits; }

// Every directory from the root down to `path`'s parent must let other users
// through, or their browsers cannot reach the file.
std::vector<std::string> unsearchableAncestors(const std::string& path) {
  std::vector<std::string> closed;
  for (std::string directory = parentOf(path);; directory = parentOf(directory)) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0 && !hasMode(info, S_IXOTH))
      closed.push_back(directory);
    if (directory == "/") break;
  }
  return closed;
}

std::vector<std::string> jsonFilesIn(const std::string& directory) {
  std::vector<std::string> files;
  DIR* entries = ::opendir(directory.c_str());
  if (entries == nullptr) return files;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string name = entry->d_name;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) {
      files.push_back(directory + "/" + name);
    }
  }
  ::closedir(entries);
  std::sort(files.begin(), files.end());
  return files;
}

bool listHolds(const nlohmann::json& policy, const char* key, std::string_view value) {
  const auto list = policy.find(key);
  if (list == policy.end() || !list->is_array()) return false;
  return std::any_of(list->begin(), list->end(), [&](const nlohmann::json& entry) {
    return entry.is_string() && entry.get<std::string>() == value;
  });
}

}  // namespace

std::vector<std::string> selfTest(const std::string& host, const std::string& origin) {
  std::string failure;
  std::optional<Child> started = start(host, origin, failure);
  if (!started) return {failure};
  Child& child = *started;
  ::signal(SIGPIPE, SIG_IGN);  // a host that is gone must not take the doctor with it
  const std::string request = frame(kPing);
  const std::string expected = frame(kOkTrue);
  [[maybe_unused]] const ssize_t sent = ::write(child.input, request.data(), request.size());

  std::string output, errors;
  bool exited = false;
  int status = 0;
  const long long replyDeadline = nowMs() + kLimitMs;
  collect(child, output, errors, exited, status, replyDeadline,
          [&] { return output.size() >= expected.size() || child.output < 0 || exited; });
  const bool replied = output.size() >= expected.size();
  const bool endedBeforeReply = !replied && nowMs() < replyDeadline;
  closeIfOpen(child.input);
  collect(child, output, errors, exited, status, nowMs() + kLimitMs,
          [&] { return exited && child.output < 0 && child.errors < 0; });
  // A host that does not exit is stopped, with anything it started.
  if (!exited) {
    ::kill(-child.pid, SIGKILL);
    ::kill(child.pid, SIGKILL);
    ::waitpid(child.pid, &status, 0);
  }
  closeIfOpen(child.output);
  closeIfOpen(child.errors);

  std::vector<std::string> problems;
  const bool killed = exited && WIFSIGNALED(status);
  if (killed) problems.push_back("it was killed by " + signalName(WTERMSIG(status)));
  if (!exited && !replied) {
    problems.push_back(
        "it hung: no reply within 2 s, and still running 2 s after its input "
        "closed (it was stopped)");
  } else if (!exited) {
    problems.push_back("it hung: it did not exit within 2 s of its input closing (it was stopped)");
  } else if (!killed && WEXITSTATUS(status) != 0) {
    problems.push_back("it exited with status " + std::to_string(WEXITSTATUS(status)));
  }
  if (!output.empty() && expected.compare(0, std::min(output.size(), expected.size()), output, 0,
                                          std::min(output.size(), expected.size())) != 0) {
    problems.push_back("it replied with the wrong bytes: " + shown(output) + " instead of " +
                       shown(expected));
  } else if (!replied && !output.empty()) {
    problems.push_back("it sent only part of a reply: " + shown(output));
  } else if (!replied && exited) {
    problems.push_back(endedBeforeReply ? "it ended without replying"
                                        : "it sent no reply within 2 s");
  } else if (output.size() > expected.size()) {
    problems.push_back("it wrote stray output after its reply: " +
                       shown(std::string_view(output).substr(expected.size())));
  }
  if (!errors.empty()) problems.push_back("it wrote to standard error: " + shown(errors, 120));
  return problems;
}

std::vector<std::string> gatekeeperProblems(const std::string& host) {
  std::vector<std::string> problems;
  if (host.find("/AppTranslocation/") != std::string::npos) {
    problems.push_back("the host " + host +
                       " runs from a randomised App Translocation copy, which moves on every "
                       "launch: move the Tarnwick app to /Applications, open it once, and "
                       "register again");
  }
#if defined(__APPLE__)
  if (::getxattr(host.c_str(), "com.apple.quarantine", nullptr, 0, 0, 0) >= 0) {
    problems.push_back("the host " + host +
                       " is quarantined (com.apple.quarantine), so macOS will not let the "
                       "browser start it: open the Tarnwick app once, or run xattr -d "
                       "com.apple.quarantine '" +
                       host + "'");
  }
#endif
  return problems;
}

Examination examineManifest(const std::string& file, bool systemWide) {
  Examination result;
  const std::string registerAgain = ": register again with `tarnwick-register install`";
  std::string error;
  const std::optional<std::string> text = readBoundedFile(file, error);
  if (!text) {
    result.problems.push_back("the manifest " + file + " cannot be read (" + error + ")" +
                              registerAgain);
    return result;
  }
  std::vector<std::string> rules;
  const Manifest manifest = checkManifest(*text, kHostName, rules);
  for (const std::string& rule : rules) {
    result.problems.push_back("the manifest " + file + " is refused: " + rule + registerAgain);
  }
  struct stat info {};
  if (systemWide && ::stat(file.c_str(), &info) == 0 && !hasMode(info, S_IROTH)) {
    result.problems.push_back("the manifest " + file +
                              " is not readable by other users: chmod 644 '" + file + "'");
  }
  if (systemWide) {
    for (const std::string& closed : unsearchableAncestors(file)) {
      result.problems.push_back("the directory " + closed + " keeps other users out: chmod o+x '" +
                                closed + "'");
    }
  }
  const std::string& host = manifest.hostPath;
  if (host.empty() || host[0] != '/') return result;

  if (::stat(host.c_str(), &info) != 0) {
    result.problems.push_back("the host " + host + " named by " + file +
                              " does not exist: reinstall Tarnwick, or register the host where "
                              "it is now with `tarnwick-register install --host PATH`");
    return result;
  }
  if (!S_ISREG(info.st_mode)) {
    result.problems.push_back("the host " + host + " is not a regular file" + registerAgain +
                              " --host PATH");
    return result;
  }
  if (::access(host.c_str(), X_OK) != 0 || (systemWide && !hasMode(info, S_IXOTH))) {
    result.problems.push_back("the host " + host + " is not executable" +
                              (systemWide ? " by every user" : "") + ": chmod 755 '" + host + "'");
    return result;
  }
  if (systemWide) {
    for (const std::string& closed : unsearchableAncestors(host)) {
      result.problems.push_back("the directory " + closed +
                                " keeps other users from the host: chmod o+x '" + closed + "'");
    }
  }
  for (const std::string& problem : gatekeeperProblems(host)) result.problems.push_back(problem);
  if (manifest.origins.empty()) return result;

  result.notes.push_back("host: " + host);
  const std::vector<std::string> failures = selfTest(host, manifest.origins.front());
  if (!failures.empty()) {
    std::string all;
    for (const std::string& failure : failures) all += (all.empty() ? "" : "; ") + failure;
    result.problems.push_back("the self-test of " + host + " failed: " + all +
                              ". Reinstall Tarnwick; if that does not help, report this line");
  } else {
    result.notes.push_back("self-test: started as " + manifest.origins.front() +
                           " would start it, it answered {\"ok\":true} and exited cleanly");
  }
  return result;
}

Policy readPolicy(const std::string& directory) {
  Policy policy;
  if (directory.empty()) return policy;
  bool allowed = false, blockedByName = false, blockedByDefault = false;
  for (const std::string& file : jsonFilesIn(directory)) {
    std::string error;
    const std::optional<std::string> text = readBoundedFile(file, error);
    if (!text) continue;
    const auto json = nlohmann::json::parse(*text, nullptr, false);
    if (!json.is_object()) continue;
    bool said = false;
    if (const auto userLevel = json.find("NativeMessagingUserLevelHosts");
        userLevel != json.end() && userLevel->is_boolean() && !userLevel->get<bool>()) {
      policy.userLevelHosts = false;
      said = true;
    }
    if (listHolds(json, "NativeMessagingAllowlist", kHostName)) allowed = true;
    if (listHolds(json, "NativeMessagingBlocklist", kHostName)) blockedByName = said = true;
    if (listHolds(json, "NativeMessagingBlocklist", "*")) blockedByDefault = said = true;
    if (said) policy.sources.push_back(file);
  }
  policy.blocked = !allowed && (blockedByName || blockedByDefault);
  return policy;
}

bool isInstalled(const Browser& browser, const std::string& home) {
  if (pathExists(browser.profile)) return true;
  if (std::any_of(browser.programs.begin(), browser.programs.end(), pathExists)) return true;
  return !sandboxedInstallations(browser, home).empty();
}

Examination examineBrowser(const Browser& browser, const std::string& home) {
  Examination result;
  for (const std::string& sandbox : sandboxedInstallations(browser, home)) {
    result.problems.push_back(browser.name + " is installed as a " + sandbox +
                              ", whose sandbox cannot start native hosts: install " + browser.name +
                              " from its regular package (.deb or .rpm) to use Tarnwick");
  }
  const Policy policy = readPolicy(browser.policies);
  std::string policyFiles;
  for (const std::string& source : policy.sources) policyFiles += " " + source;

  struct Candidate {
    std::string directory;
    bool systemWide;
  };
  std::vector<Candidate> lookup;
  if (policy.userLevelHosts) {
    lookup.push_back({browser.userHosts, false});
  } else if (pathExists(manifestPath(browser.userHosts))) {
    result.notes.push_back("ignores " + manifestPath(browser.userHosts) +
                           ": the policy NativeMessagingUserLevelHosts is false (" +
                           policyFiles.substr(1) + ")");
  }
  lookup.push_back({browser.systemHosts, true});
  if (!browser.fallbackHosts.empty()) lookup.push_back({browser.fallbackHosts, false});

  // The browser takes the first manifest that exists and never falls back
  // from it, however broken it is or whatever it forbids.
  const Candidate* used = nullptr;
  for (const Candidate& candidate : lookup) {
    const std::string file = manifestPath(candidate.directory);
    if (!pathExists(file)) continue;
    if (used == nullptr) {
      used = &candidate;
      result.notes.push_back("uses " + file);
    } else {
      result.notes.push_back("hides " + file + ", which it reads only when the one above is gone");
    }
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
  Examination manifest = examineManifest(manifestPath(used->directory), used->systemWide);
  result.problems.insert(result.problems.end(), manifest.problems.begin(), manifest.problems.end());
  result.notes.insert(result.notes.end(), manifest.notes.begin(), manifest.notes.end());
  return result;
}

}  // namespace tarnwick::registration
