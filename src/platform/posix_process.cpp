// Processes on POSIX systems, started with posix_spawn.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <dirent.h>
#include <sys/prctl.h>
#endif
#if defined(__APPLE__)
#include <Availability.h>
#endif

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

#include "platform/process.h"

extern char** environ;

namespace tarnwick::os {
namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// A pipe whose ends are closed on exec; the child gets its end through a
// file action, never by inheritance.
// A pipe end never takes the number of a closed standard stream either: the
// file actions that set up the child's streams would then trip over it.
bool makePipe(int ends[2]) {
  if (::pipe(ends) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (ends[i] >= 3) {
      ::fcntl(ends[i], F_SETFD, FD_CLOEXEC);
      continue;
    }
    const int moved = ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    ::close(ends[i]);
    ends[i] = moved;
    if (moved < 0) {
      ::close(ends[1 - i]);
      errno = error;
      return false;
    }
  }
  return true;
}

Exit exitOf(int status) {
  Exit exit;
  exit.exited = WIFEXITED(status);
  if (exit.exited) exit.status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) exit.signal = WTERMSIG(status);
  return exit;
}

// The file actions and attributes of one start, released in any case.
class SpawnPlan {
 public:
  SpawnPlan() {
    actionsReady_ = ::posix_spawn_file_actions_init(&actions_) == 0;
    attributesReady_ = ::posix_spawnattr_init(&attributes_) == 0;
  }
  ~SpawnPlan() {
    if (actionsReady_) ::posix_spawn_file_actions_destroy(&actions_);
    if (attributesReady_) ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnPlan(const SpawnPlan&) = delete;
  SpawnPlan& operator=(const SpawnPlan&) = delete;

  // Every step returns 0 or an errno, so that the first failure is kept.
  int prepare(const ProcessOptions& options, const int childEnds[3]) {
    if (!actionsReady_ || !attributesReady_) return ENOMEM;
    // A signal ignored here (SIGPIPE, above all) would stay ignored in the
    // child; none is blocked there either.
    sigset_t defaults, noneBlocked;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&noneBlocked);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (options.grouping == Grouping::OwnGroup) flags |= POSIX_SPAWN_SETPGROUP;
    if (options.grouping == Grouping::OwnSession) flags |= POSIX_SPAWN_SETSID;
#if defined(__APPLE__)
    // Nothing of the caller's but what the file actions hand over.
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    if (int error = ::posix_spawnattr_setflags(&attributes_, flags); error != 0) return error;
    if (int error = ::posix_spawnattr_setsigdefault(&attributes_, &defaults); error != 0) {
      return error;
    }
    if (int error = ::posix_spawnattr_setsigmask(&attributes_, &noneBlocked); error != 0) {
      return error;
    }
    if (options.grouping == Grouping::OwnGroup) {
      if (int error = ::posix_spawnattr_setpgroup(&attributes_, 0); error != 0) return error;
    }
    const Stream* streams[3] = {&options.input, &options.output, &options.errors};
    for (int fd = 0; fd < 3; ++fd) {
      int error = 0;
      switch (streams[fd]->kind) {
        case Stream::Kind::Null:
          error = ::posix_spawn_file_actions_addopen(&actions_, fd, "/dev/null",
                                                     fd == 0 ? O_RDONLY : O_WRONLY, 0);
          break;
        case Stream::Kind::Pipe:
        case Stream::Kind::Descriptor:
          error = ::posix_spawn_file_actions_adddup2(&actions_, childEnds[fd], fd);
          break;
        case Stream::Kind::Inherit:
#if defined(__APPLE__)
          error = ::posix_spawn_file_actions_addinherit_np(&actions_, fd);
#endif
          break;
      }
      if (error != 0) return error;
    }
    for (const int fd : options.closedStreams) {
      if (int error = ::posix_spawn_file_actions_addclose(&actions_, fd); error != 0) return error;
    }
#if !defined(__APPLE__)
    // Nothing of the caller's above the standard streams.
    if (int error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, 3); error != 0) {
      return error;
    }
#endif
    if (!options.workingDirectory.empty()) {
      if (int error = addChdir(options.workingDirectory.c_str()); error != 0) return error;
    }
    return 0;
  }

  // The working directory of the child. macOS 26 replaced the _np call with
  // the POSIX one and deprecates the old; older systems have only the old.
  int addChdir(const char* directory) {
#if defined(__APPLE__) && defined(__MAC_26_0) && __MAC_OS_X_VERSION_MIN_REQUIRED >= __MAC_26_0
    return ::posix_spawn_file_actions_addchdir(&actions_, directory);
#else
#if defined(__APPLE__) && defined(__MAC_26_0) && __MAC_OS_X_VERSION_MAX_ALLOWED >= __MAC_26_0
    if (__builtin_available(macOS 26.0, *)) {
      return ::posix_spawn_file_actions_addchdir(&actions_, directory);
    }
#endif
    return ::posix_spawn_file_actions_addchdir_np(&actions_, directory);
#endif
  }

  int spawn(const ProcessOptions& options, pid_t* child) {
    std::vector<std::string> arguments = options.arguments;
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    std::vector<char*> envp;
    char** chosenEnvironment = environ;
    if (options.environment) {
      environment = *options.environment;
      for (std::string& entry : environment) envp.push_back(entry.data());
      envp.push_back(nullptr);
      chosenEnvironment = envp.data();
    }
    return options.searchPath ? ::posix_spawnp(child, argv[0], &actions_, &attributes_, argv.data(),
                                               chosenEnvironment)
                              : ::posix_spawn(child, argv[0], &actions_, &attributes_, argv.data(),
                                              chosenEnvironment);
  }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attributes_{};
  bool actionsReady_ = false, attributesReady_ = false;
};

}  // namespace

Process::Process(Process&& other) noexcept { *this = std::move(other); }

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    closeIfOpen(input_);
    closeIfOpen(output_);
    closeIfOpen(errors_);
    id_ = std::exchange(other.id_, -1);
    ownGroup_ = other.ownGroup_;
    input_ = std::exchange(other.input_, -1);
    output_ = std::exchange(other.output_, -1);
    errors_ = std::exchange(other.errors_, -1);
    exit_ = std::exchange(other.exit_, std::nullopt);
  }
  return *this;
}

Process::~Process() {
  closeIfOpen(input_);
  closeIfOpen(output_);
  closeIfOpen(errors_);
}

Status Process::start(const ProcessOptions& options, Process* process) {
  if (options.arguments.empty()) return Status::failure(EINVAL, "no program given");
  // For each stream: the child's end and the caller's end of its pipe.
  int childEnds[3] = {-1, -1, -1}, parentEnds[3] = {-1, -1, -1};
  const Stream* streams[3] = {&options.input, &options.output, &options.errors};
  const auto release = [&] {
    for (int i = 0; i < 3; ++i) {
      if (streams[i]->kind == Stream::Kind::Pipe) closeIfOpen(childEnds[i]);
      closeIfOpen(parentEnds[i]);
    }
  };
  for (int fd = 0; fd < 3; ++fd) {
    if (streams[fd]->kind == Stream::Kind::Descriptor) childEnds[fd] = streams[fd]->descriptor;
    if (streams[fd]->kind != Stream::Kind::Pipe) continue;
    int ends[2];
    if (!makePipe(ends)) {
      const Status failed = Status::fromErrno();
      release();
      return failed;
    }
    // Input flows to the child's reading end; output from its writing end.
    childEnds[fd] = fd == 0 ? ends[0] : ends[1];
    parentEnds[fd] = fd == 0 ? ends[1] : ends[0];
    if (streams[fd]->nonBlocking) {
      ::fcntl(childEnds[fd], F_SETFL, ::fcntl(childEnds[fd], F_GETFL) | O_NONBLOCK);
    }
  }
  SpawnPlan plan;
  pid_t child = -1;
  int error = plan.prepare(options, childEnds);
  if (error == 0) error = plan.spawn(options, &child);
  for (int i = 0; i < 3; ++i) {
    if (streams[i]->kind == Stream::Kind::Pipe) closeIfOpen(childEnds[i]);
  }
  if (error != 0) {
    release();
    return Status::failure(error);
  }
  Process started;
  started.id_ = child;
  started.ownGroup_ = options.grouping != Grouping::Shared;
  started.input_ = parentEnds[0];
  started.output_ = parentEnds[1];
  started.errors_ = parentEnds[2];
  *process = std::move(started);
  return {};
}

void Process::closeInput() { closeIfOpen(input_); }
void Process::closeOutput() { closeIfOpen(output_); }

Status Process::write(std::string_view bytes) {
  return input_ >= 0 ? writeAll(input_, bytes) : Status::failure(EBADF, "no input pipe");
}

void Process::collect(Captured& captured, std::int64_t deadline, std::size_t limit,
                      const std::function<bool()>& done) {
  while (!(done && done()) && monotonicMilliseconds() < deadline) {
    const bool exited = hasExited();
    if (exited && output_ < 0 && errors_ < 0) return;
    pollfd streams[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
    // While the child runs, wake now and then to notice its exit.
    const auto wait = static_cast<int>(
        std::clamp<std::int64_t>(deadline - monotonicMilliseconds(), 0, exited ? 1000 : 20));
    if (::poll(streams, 2, wait) < 0 && errno != EINTR) return;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? output_ : errors_;
      if (fd < 0 || (streams[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[16384];
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got > 0) {
        std::string& kept = i == 0 ? captured.output : captured.errors;
        std::size_t& dropped = i == 0 ? captured.outputDropped : captured.errorsDropped;
        const auto size = static_cast<std::size_t>(got);
        const std::size_t room = limit > kept.size() ? limit - kept.size() : 0;
        kept.append(buffer, std::min(room, size));
        dropped += size - std::min(room, size);
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        closeIfOpen(fd);
      }
    }
  }
}

bool Process::hasExited() {
  if (exit_) return true;
  if (id_ < 0) return false;
  int status = 0;
  const pid_t reaped = ::waitpid(id_, &status, WNOHANG);
  if (reaped == id_) exit_ = exitOf(status);
  return exit_.has_value();
}

std::optional<Exit> Process::wait(std::int64_t deadline) {
  if (exit_ || id_ < 0) return exit_;
  if (deadline < 0) {
    int status = 0;
    pid_t reaped;
    do {
      reaped = ::waitpid(id_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == id_) exit_ = exitOf(status);
    return exit_;
  }
  long pause = 500'000;  // nanoseconds; doubled up to 20 ms
  while (!hasExited() && monotonicMilliseconds() < deadline) {
    const std::int64_t left = std::max<std::int64_t>(deadline - monotonicMilliseconds(), 0);
    timespec nap{
        0, left >= 1000 ? pause : std::min<long>(pause, static_cast<long>(left) * 1'000'000L)};
    ::nanosleep(&nap, nullptr);
    pause = std::min(pause * 2, 20'000'000L);
  }
  return exit_;
}

void Process::signal(int number) {
  if (id_ > 0 && !exit_) ::kill(id_, number);
}

void Process::kill() {
  if (id_ <= 0) return;
  // The group outlives its leader: a child the program left behind (one
  // holding its output, say) is stopped too.
  if (ownGroup_) ::kill(-id_, SIGKILL);
  if (!exit_) {
    ::kill(id_, SIGKILL);
    wait();
  }
}

Completion runToCompletion(ProcessOptions options, std::string_view input, std::int64_t deadline,
                           std::size_t limit) {
  Completion completion;
  Process process;
  completion.started = Process::start(options, &process);
  if (!completion.started.ok()) return completion;
  // Written whole before anything is read: callers give inputs that fit in
  // a pipe, or programs that read their input as it comes.
  process.write(input);
  process.closeInput();
  process.collect(completion.streams, deadline, limit);
  if (!process.wait(deadline)) completion.timedOut = true;
  process.kill();
  completion.exit = process.exit().value_or(Exit{});
  return completion;
}

void runDetached(const ProcessOptions& options, std::int64_t waitMilliseconds) {
  const pid_t goBetween = ::fork();
  if (goBetween < 0) return;
  if (goBetween == 0) {
    Process program;
    if (Process::start(options, &program).ok()) {
      program.wait(monotonicMilliseconds() + waitMilliseconds);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(goBetween, &status, 0) < 0 && errno == EINTR) {
  }
}

std::optional<std::size_t> Process::unreadInput() const {
  int pending = 0;
  if (input_ < 0 || ::ioctl(input_, FIONREAD, &pending) != 0 || pending < 0) return std::nullopt;
  return static_cast<std::size_t>(pending);
}

bool adoptOrphans() {
#if defined(__linux__)
  return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
#else
  return false;
#endif
}

std::vector<ChildProcess> childProcesses() {
  std::vector<ChildProcess> children;
#if defined(__linux__)
  // /proc/PID/stat: "PID (COMMAND) STATE PPID ...", where COMMAND may hold
  // spaces and parentheses, so the fields are counted from its last ")".
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream statFile("/proc/" + name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0, group = 0;
    if (!(fields >> state >> parent >> group) || parent != self) continue;
    std::ifstream cmdline("/proc/" + name + "/cmdline");
    std::string command((std::istreambuf_iterator<char>(cmdline)),
                        std::istreambuf_iterator<char>());
    while (!command.empty() && command.back() == '\0') command.pop_back();
    std::replace(command.begin(), command.end(), '\0', ' ');
    children.push_back({std::stoi(name), static_cast<int>(group), state == "Z", command});
  }
  ::closedir(proc);
#endif
  return children;
}

void killChild(int id) {
  if (id <= 0) return;
  const pid_t group = ::getpgid(id);
  if (group == id && group != ::getpgrp()) ::kill(-group, SIGKILL);
  ::kill(id, SIGKILL);
  int status = 0;
  while (::waitpid(id, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace tarnwick::os
