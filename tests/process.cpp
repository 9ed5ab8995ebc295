#include "process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/process.h"

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
  return all;
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

}  // namespace

const char* hostBinary() { return TARNWICK_HOST_BINARY; }

void expectCleanExit(const HostExit& result) {
  EXPECT_FALSE(result.timedOut);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
}

std::vector<ProcessEntry> listProcesses() {
  os::ProcessOptions options;
  options.arguments = {"/bin/ps", "axww", "-o", "pid=,ppid=,stat=,args="};
  options.output = os::Stream::pipe();
  const os::Completion listing =
      os::runToCompletion(options, "", os::monotonicMilliseconds() + 30'000);
  std::vector<ProcessEntry> entries;
  std::istringstream lines(listing.streams.output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    ProcessEntry entry;
    if (!(fields >> entry.id >> entry.parent >> entry.state)) continue;
    std::getline(fields >> std::ws, entry.command);
    entries.push_back(entry);
  }
  return entries;
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const ProcessEntry& entry : listProcesses()) {
    if (entry.parent == parent) children.push_back(entry.id);
  }
  return children;
}

HostExit runHostBinary(const HostRun& run) {
  signal(SIGPIPE, SIG_IGN);
  os::ProcessOptions options;
  options.arguments = {run.program.empty() ? hostBinary() : run.program};
  options.arguments.insert(options.arguments.end(), run.arguments.begin(), run.arguments.end());
  // What the child must start under that a spawn cannot set is set by a
  // small program that then becomes the host.
  if (run.user) {
    const std::string id = std::to_string(*run.user);
    options.arguments.insert(options.arguments.begin(), {"/usr/bin/setpriv", "--reuid=" + id,
                                                         "--regid=" + id, "--clear-groups", "--"});
  }
  if (run.descriptorLimit) {
    options.arguments.insert(
        options.arguments.begin(),
        {"/bin/sh", "-c",
         "ulimit -n " + std::to_string(*run.descriptorLimit) + " && exec \"$0\" \"$@\""});
  }
  options.environment = environmentFor(run);
  options.input = run.inputDescriptor >= 0 ? os::Stream::descriptorOf(run.inputDescriptor)
                                           : os::Stream::pipe(run.nonBlockingInput);
  options.output = os::Stream::pipe(run.nonBlockingOutput);
  options.errors = os::Stream::pipe();
  options.closedStreams = run.closedDescriptors;
  os::Process process;
  if (!os::Process::start(options, &process).ok()) return {};
  if (run.onStart) run.onStart(process.id());

  HostExit result;
  if (run.closeOutputFirst) process.closeOutput();
  std::thread outputReader;
  if (!run.closeOutputFirst) {
    outputReader = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(run.outputReadDelayMs));
      result.output = drain(process.output());
    });
  }
  std::thread errorReader([&] { result.errors = drain(process.errors()); });

  for (std::size_t i = 0; i < run.pieces.size(); ++i) {
    if (i > 0 && run.pauseMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(run.pauseMs));
    }
    if (!process.write(run.pieces[i]).ok()) break;  // the host has stopped reading
  }
  if (run.whileRunning) run.whileRunning(process.id());
  process.closeInput();

  const std::optional<os::Exit> exit =
      process.wait(os::monotonicMilliseconds() + run.timeoutSeconds * 1000);
  if (!exit) {
    result.timedOut = true;
    process.kill();
  }
  if (outputReader.joinable()) outputReader.join();
  errorReader.join();
  result.exited = !result.timedOut && process.exit() && process.exit()->exited;
  result.status = result.exited ? process.exit()->status : -1;
  return result;
}

}  // namespace tarnwick::testing
