// Starting and watching other programs: the one place where processes are
// made. A child gets exactly the streams it is given (the null device, a
// pipe, a descriptor of the caller's, or the caller's own stream), no other
// descriptor of the caller, default signal handling, and, unless told
// otherwise, a process group of its own, so that it and everything it starts
// can be stopped together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system.h"

namespace tarnwick::os {

struct Stream {
  enum class Kind { Null, Pipe, Inherit, Descriptor };
  Kind kind = Kind::Null;
  int descriptor = -1;       // for Descriptor: the caller's descriptor to hand over
  bool nonBlocking = false;  // for Pipe: the child's end does not block

  static Stream null() { return {}; }
  static Stream pipe(bool nonBlocking = false) { return {Kind::Pipe, -1, nonBlocking}; }
  static Stream inherit() { return {Kind::Inherit}; }
  static Stream descriptorOf(int fd) { return {Kind::Descriptor, fd}; }
};

enum class Grouping {
  Shared,      // the caller's process group
  OwnGroup,    // a process group of its own
  OwnSession,  // a session (and so a group) of its own, with no terminal
};

struct ProcessOptions {
  // The program and its arguments. The program is a path, or with
  // `searchPath` a name looked up in PATH.
  std::vector<std::string> arguments;
  bool searchPath = false;
  // NAME=value entries; the caller's own environment when not given.
  std::optional<std::vector<std::string>> environment;
  std::string workingDirectory;  // the caller's when empty
  Stream input, output, errors;
  // Standard streams (0, 1 or 2) that the child starts without.
  std::vector<int> closedStreams;
  Grouping grouping = Grouping::OwnGroup;
};

struct Exit {
  bool exited = false;  // by itself; otherwise killed by `signal`
  int status = -1;      // when it exited
  int signal = 0;       // when it was killed
};

// What a child wrote, each stream kept up to a bound; the rest is read and
// dropped, so that a flood can neither block the child nor fill memory.
struct Captured {
  std::string output, errors;
  std::size_t outputDropped = 0, errorsDropped = 0;
};

class Process {
 public:
  Process() = default;
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  // Closes the caller's ends of the pipes. A child still running is left
  // to run: stopping it is kill()'s decision, never a side effect.
  ~Process();

  // Starts the program of `options`. Fails with the reason the program
  // could not be run at all (not found, not executable, no such working
  // directory, no pipes to be had).
  static Status start(const ProcessOptions& options, Process* process);

  int id() const { return id_; }
  // The caller's ends of the pipes, or -1 for a stream that is no pipe or
  // has been closed.
  int input() const { return input_; }
  int output() const { return output_; }
  int errors() const { return errors_; }
  void closeInput();
  void closeOutput();
  // How many bytes written to the child's standard input it has not read
  // yet; nothing where the system cannot tell.
  std::optional<std::size_t> unreadInput() const;

  // Writes all of `bytes` to the child's standard input; fails (EPIPE) once
  // the child no longer reads it.
  Status write(std::string_view bytes);

  // Reads the output and error pipes into `captured` (each kept up to
  // `limit` bytes) until `done` returns true, or both pipes have ended and
  // the child has exited, or `deadline` (monotonic milliseconds) passes.
  // A pipe that ends is closed.
  void collect(Captured& captured, std::int64_t deadline, std::size_t limit,
               const std::function<bool()>& done = {});

  // Whether the child has exited, without waiting; reaps it when it has.
  bool hasExited();
  // Waits until the child exits or `deadline` passes (-1: no deadline), and
  // gives its exit, or nothing while it still runs.
  std::optional<Exit> wait(std::int64_t deadline = -1);
  // How the child ended, once it has been reaped.
  const std::optional<Exit>& exit() const { return exit_; }

  // Sends `signal` to the child alone.
  void signal(int number);
  // Kills the child's whole group (or the child alone when it shares the
  // caller's group), whether or not the child itself is still running, and
  // reaps the child.
  void kill();

 private:
  int id_ = -1;
  bool ownGroup_ = false;
  int input_ = -1, output_ = -1, errors_ = -1;
  std::optional<Exit> exit_;
};

// Runs a program to its end: `input` is written to its standard input,
// which is then closed (when it is a pipe); its output and errors are
// collected up to `limit` bytes each. Past `deadline` (monotonic
// milliseconds) the child's group is killed and `timedOut` set.
struct Completion {
  Status started;
  Captured streams;
  Exit exit;
  bool timedOut = false;
};
Completion runToCompletion(ProcessOptions options, std::string_view input, std::int64_t deadline,
                           std::size_t limit = 16 * 1024 * 1024);

// Runs `options` through a short-lived go-between process, which waits for
// the program up to `waitMilliseconds` and then exits; the caller waits only
// for the go-between. A program that runs on is then the system's to reap,
// never the caller's, so a long-lived caller collects no zombies. Whether
// the program started, or how it ended, is not told.
void runDetached(const ProcessOptions& options, std::int64_t waitMilliseconds);

// ---- What children leave behind --------------------------------------------

// Makes this process the reaper of every orphan among its descendants
// (Linux's child subreaper), so that a daemon a child leaves running, in a
// session of its own, becomes this process's child instead of init's. False
// where the system has no such thing (macOS).
bool adoptOrphans();

struct ChildProcess {
  int id = -1;
  int group = -1;       // its process group
  bool zombie = false;  // ended, and not yet reaped
  std::string command;  // its command line, arguments joined by spaces
};

// This process's own children, zombies included; empty where the system
// cannot list them.
std::vector<ChildProcess> childProcesses();

// Kills the child `id` with its process group when it leads one of its own
// (a daemon's session), and reaps it (a zombie is only reaped).
void killChild(int id);

}  // namespace tarnwick::os
