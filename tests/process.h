// Runs the built host executable as a browser would: frames written to its
// standard input through a pipe, everything it writes collected.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::testing {

struct HostRun {
  // The program to run, the host when empty.
  std::string program{};
  // Written to standard input one at a time, `pauseMs` apart; standard input
  // is closed after the last piece.
  std::vector<std::string> pieces{};
  int pauseMs = 0;
  // When set, standard input is this descriptor instead of a pipe.
  int inputDescriptor = -1;
  bool nonBlockingInput = false;
  bool nonBlockingOutput = false;
  // The reading end of standard output is closed before anything is written.
  bool closeOutputFirst = false;
  // Standard output is not read until this long after the start, so that a
  // host writing many replies finds the pipe full.
  int outputReadDelayMs = 0;
  std::vector<std::string> arguments{};
  // Changes to the test's own environment; a value of nullopt unsets.
  std::map<std::string, std::optional<std::string>> environment{};
  std::optional<rlim_t> descriptorLimit{};
  // Standard streams the host starts without.
  std::vector<int> closedDescriptors{};
  // Runs the host as this user and group (the test must be root).
  std::optional<uid_t> user{};
  int timeoutSeconds = 60;
  // Called with the host's process id as soon as it is started.
  std::function<void(pid_t)> onStart{};
  // Called with the host's process id once every piece is written, before
  // standard input is closed.
  std::function<void(pid_t)> whileRunning{};
};

struct HostExit {
  std::string output;
  std::string errors;
  bool exited = false;  // exited by itself, rather than by a signal
  int status = -1;      // exit status, when it exited
  bool timedOut = false;
};

HostExit runHostBinary(const HostRun& run);

// Expects the host to have exited by itself with status 0 and nothing on its
// standard error.
void expectCleanExit(const HostExit& result);

// An upper-case version-4 UUID, as the capture nonce must be.
inline constexpr const char* kNoncePattern =
    "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}";

// Every process of the machine, as ps(1) lists it on Linux and macOS alike.
struct ProcessEntry {
  pid_t id = 0;
  pid_t parent = 0;
  std::string state;    // starts with "Z" for a zombie
  std::string command;  // the arguments, joined by spaces
};
std::vector<ProcessEntry> listProcesses();

// The process ids whose parent is `parent`, zombies included.
std::vector<pid_t> childrenOf(pid_t parent);

// The path of the built host executable.
const char* hostBinary();

}  // namespace tarnwick::testing
