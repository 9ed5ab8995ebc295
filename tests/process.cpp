#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarnwick::testing {
namespace {

std::string drain(int fd) {
  std::string all;
  char buffer[65536];
  while (true) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      all.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(fd);
  return all;
}

void writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      return;  // the host has stopped reading
    }
    done += static_cast<std::size_t>(n);
  }
}

std::vector<std::string> environmentFor(const HostRun& run) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals != nullptr)
      merged[std::string(*entry, static_cast<std::size_t>(equals - *entry))] = equals + 1;
  }
  for (const auto& [name, value] : run.environment) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : merged) result.push_back(name + "=" + value);
  return result;
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Closes every descriptor from 3 up, in a child about to exec, so that
// nothing the test runner left open reaches the program.
void closeInheritedDescriptors() {
#if defined(__linux__)
  close_range(3, ~0U, 0);
#else
  const long limit = sysconf(_SC_OPEN_MAX);
  for (int fd = 3; fd < (limit > 0 && limit < 65536 ? limit : 65536); ++fd) close(fd);
#endif
}

}  // namespace

bool makePipe(int ends[2]) {
  if (pipe(ends) != 0) return false;
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
}

const char* hostBinary() { return TARNWICK_HOST_BINARY; }

void expectCleanExit(const HostExit& result) {
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
}

#if defined(__linux__)
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    pid_t ppid = 0;
    rest >> state >> ppid;
    if (ppid == parent) children.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return children;
}
#endif

HostExit runHostBinary(const HostRun& run) {
  signal(SIGPIPE, SIG_IGN);
  int input[2] = {-1, -1}, output[2], errors[2];
  if (run.inputDescriptor < 0 && !makePipe(input)) return {};
  if (!makePipe(output) || !makePipe(errors)) return {};
  if (run.nonBlockingInput) setNonBlocking(input[0]);
  if (run.nonBlockingOutput) setNonBlocking(output[1]);

  std::vector<std::string> arguments{run.program.empty() ? hostBinary() : run.program};
  arguments.insert(arguments.end(), run.arguments.begin(), run.arguments.end());
  std::vector<std::string> environment = environmentFor(run);
  std::vector<char*> argv, envp;
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);

  const int inputForChild = run.inputDescriptor >= 0 ? run.inputDescriptor : input[0];
  const pid_t child = fork();
  if (child == 0) {
    dup2(inputForChild, 0);
    dup2(output[1], 1);
    dup2(errors[1], 2);
    closeInheritedDescriptors();
    for (int fd : run.closedDescriptors) close(fd);
    if (run.user && (setgid(*run.user) != 0 || setuid(*run.user) != 0)) _exit(126);
    if (run.descriptorLimit) {
      const rlimit limit{*run.descriptorLimit, *run.descriptorLimit};
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  if (run.onStart) run.onStart(child);
  if (run.inputDescriptor < 0) close(input[0]);
  close(output[1]);
  close(errors[1]);

  HostExit result;
  if (run.closeOutputFirst) close(output[0]);
  std::thread outputReader;
  if (!run.closeOutputFirst) {
    outputReader = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(run.outputReadDelayMs));
      result.output = drain(output[0]);
    });
  }
  std::thread errorReader([&] { result.errors = drain(errors[0]); });

  if (run.inputDescriptor < 0) {
    for (std::size_t i = 0; i < run.pieces.size(); ++i) {
      if (i > 0 && run.pauseMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(run.pauseMs));
      }
      writeAll(input[1], run.pieces[i]);
    }
  }
  if (run.whileRunning) run.whileRunning(child);
  if (run.inputDescriptor < 0) {
    close(input[1]);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.timeoutSeconds);
  int status = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (outputReader.joinable()) outputReader.join();
  errorReader.join();
  result.exited = !result.timedOut && WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace tarnwick::testing
