// The POSIX platform itself, where the operating system's behaviour matters.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#if defined(__linux__)
#include <sys/mount.h>
#endif
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "frames.h"
#include "host/host.h"
#include "opener.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/system.h"
#include "process.h"
#include "scratch.h"

namespace tarnwick::testing {
namespace {

volatile sig_atomic_t interruptions = 0;
void countInterruption(int) { interruptions = interruptions + 1; }

// The host serves frames on this thread, its standard streams on pipes,
// with a timer signal arriving every 200 microseconds, installed without
// SA_RESTART, so that its blocked reads and writes keep failing with EINTR.
// The thread that feeds it blocks the signal, so every one lands here. Its
// replies must still be exact.
TEST(SystemStreams, InterruptedCallsAreRetried) {
  int input[2], output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  const int savedInput = dup(0), savedOutput = dup(1);
  dup2(input[0], 0);
  dup2(output[1], 1);
  close(input[0]);
  close(output[1]);

  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  std::thread feeder([&] {
    const std::string frames = frame("{}") + frame(deepArray(100000)) + frame("[1]");
    for (std::size_t at = 0; at < frames.size(); at += 4096) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (write(input[1], frames.data() + at, std::min<std::size_t>(4096, frames.size() - at)) <=
          0) {
        break;
      }
    }
    close(input[1]);
  });
  pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);

  struct sigaction action {
  }, previous{};
  action.sa_handler = countInterruption;
  sigaction(SIGALRM, &action, &previous);
  const itimerval every{{0, 200}, {0, 200}}, off{};
  setitimer(ITIMER_REAL, &every, nullptr);
  runHost(*makeSystemPlatform());
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  // A host that stopped early leaves the feeder's writes to fail, not block.
  const auto previousPipe = signal(SIGPIPE, SIG_IGN);
  dup2(savedInput, 0);
  dup2(savedOutput, 1);
  close(savedInput);
  close(savedOutput);
  feeder.join();
  signal(SIGPIPE, previousPipe);
  std::string replies_;
  char buffer[256];
  for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) {
    replies_.append(buffer, static_cast<std::size_t>(n));
  }
  close(output[0]);
  EXPECT_GT(interruptions, 0) << "no read was interrupted; the test proved nothing";
  EXPECT_EQ(replies_, replies(kOkFalse, 3));
}

}  // namespace
}  // namespace tarnwick::testing

namespace tarnwick::testing {
namespace {

class SystemFiles : public ::testing::Test {
 protected:
  ScratchDirectory scratch;
  std::unique_ptr<Platform> platform = makeSystemPlatform();
};

TEST_F(SystemFiles, CreateDirectoryMakesEveryMissingParent) {
  const std::string deep = scratch / "Library/Application Support/Tarnwick/BrowserStatus";
  EXPECT_TRUE(platform->createDirectory(deep));
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  EXPECT_TRUE(platform->createDirectory(deep));  // already there
}

TEST_F(SystemFiles, CreateDirectoryFailsWhenAFileIsInTheWay) {
  writeFile(scratch / "file", "x");
  EXPECT_FALSE(platform->createDirectory(scratch / "file"));
  EXPECT_FALSE(platform->createDirectory(scratch / "file/below"));
  EXPECT_EQ(readFile(scratch / "file"), "x");
}

TEST_F(SystemFiles, AtomicWriteReplacesTheWholeFilePrivately) {
  const std::string path = scratch / "chrome.json";
  writeFile(path, "a much longer previous content");
  // Whatever the umask, even one that would leave the owner nothing.
  const mode_t previousMask = umask(0777);
  const bool written = platform->writeFileAtomically(path, "new");
  umask(previousMask);
  ASSERT_TRUE(written);
  EXPECT_EQ(readFile(path), "new");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(listDirectory(scratch.path()), std::vector<std::string>{"chrome.json"});
}

TEST_F(SystemFiles, FailedWriteLeavesThePreviousFileAndNothingElse) {
  const std::string path = scratch / "capture-request.json";
  writeFile(path, "previous");
  std::filesystem::create_directory(scratch / "directory");
  EXPECT_FALSE(platform->writeFileAtomically(scratch / "missing/file.json", "x"));
  EXPECT_FALSE(platform->writeFileAtomically(scratch / "directory", "x"));
  EXPECT_FALSE(platform->writeFileAtomically(scratch / std::string(250, 'n'), "x"));

  // A file size limit makes the data write itself fail part-way.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{4, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
  const bool limitedWrite = platform->writeFileAtomically(path, std::string(100000, 'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);
  EXPECT_FALSE(limitedWrite) << "the limited write succeeded";

  EXPECT_EQ(readFile(path), "previous");
  EXPECT_EQ(listDirectory(scratch.path()),
            (std::vector<std::string>{"capture-request.json", "directory"}));
  EXPECT_TRUE(listDirectory(scratch / "directory").empty());
}

// The atomic write's steps, each made to fail in turn on a real directory:
// the target keeps its old content and no temporary file stays behind. Only
// a failed sync of the directory, after the rename, leaves the new content.
class FaultyFile final : public os::TemporaryFile {
 public:
  FaultyFile(std::unique_ptr<os::TemporaryFile> real, const std::string& failing)
      : real_(std::move(real)), failing_(failing) {}
  const std::string& name() const override { return real_->name(); }
  os::Status write(std::string_view bytes) override {
    // Half the bytes reach the file before the failure, as when a disk fills.
    if (failing_ != "write") return real_->write(bytes);
    real_->write(bytes.substr(0, bytes.size() / 2));
    return os::Status::failure(ENOSPC);
  }
  os::Status sync() override {
    return failing_ == "sync file" ? os::Status::failure(EIO) : real_->sync();
  }

 private:
  std::unique_ptr<os::TemporaryFile> real_;
  const std::string& failing_;
};

class FaultyDirectory final : public os::Directory {
 public:
  FaultyDirectory(std::unique_ptr<os::Directory> real, std::string failing)
      : real_(std::move(real)), failing_(std::move(failing)) {}
  os::Status createTemporary(const std::string& target, unsigned mode,
                             std::unique_ptr<os::TemporaryFile>* file) override {
    if (failing_ == "create") return os::Status::failure(EMFILE);
    ++creates;
    std::unique_ptr<os::TemporaryFile> real;
    const os::Status created = real_->createTemporary(target, mode, &real);
    if (created.ok()) *file = std::make_unique<FaultyFile>(std::move(real), failing_);
    return created;
  }
  void clearAbandoned(const std::string& target) override { real_->clearAbandoned(target); }
  os::Status rename(const std::string& from, const std::string& to) override {
    if (failing_ == "rename") return os::Status::failure(EXDEV);
    // Another writer's clean-up takes the new file for abandoned just
    // before the rename, once.
    if (failing_ == "rename finds no file" && renames++ == 0) {
      real_->remove(from);
      return os::Status::failure(ENOENT);
    }
    // Another writer's clean-up runs at the moment of the rename: a file
    // still open (and so locked) must survive it.
    if (failing_ == "clean-up at the rename") real_->clearAbandoned(to);
    return real_->rename(from, to);
  }
  os::Status remove(const std::string& name) override { return real_->remove(name); }
  os::Status sync() override {
    return failing_ == "sync directory" ? os::Status::failure(EIO) : real_->sync();
  }

 private:
  std::unique_ptr<os::Directory> real_;
  std::string failing_;
  int renames = 0;

 public:
  int creates = 0;  // temporary files made
};

TEST_F(SystemFiles, EachFailingStepOfTheAtomicWriteKeepsTheTarget) {
  const struct {
    const char* step;
    int error;
    const char* content;  // of the target afterwards
    int creates = 1;      // temporary files it takes
  } cases[] = {{"create", EMFILE, "previous", 0},
               {"write", ENOSPC, "previous"},
               {"sync file", EIO, "previous"},
               {"rename", EXDEV, "previous"},
               {"sync directory", EIO, "new content"},
               {"nothing", 0, "new content"},
               // A new file that vanished before its rename is written again ...
               {"rename finds no file", 0, "new content", 2},
               // ... which a file kept open (locked) until renamed never needs.
               {"clean-up at the rename", 0, "new content", 1}};
  for (const auto& step : cases) {
    SCOPED_TRACE(step.step);
    writeFile(scratch / "chrome.json", "previous");
    std::unique_ptr<os::Directory> real;
    ASSERT_TRUE(os::openDirectory(scratch.path(), &real).ok());
    FaultyDirectory directory(std::move(real), step.step);
    const os::Status status = os::replaceFile(directory, "chrome.json", "new content", 0600, true);
    EXPECT_EQ(status.error(), step.error) << status.message();
    EXPECT_EQ(directory.creates, step.creates);
    EXPECT_EQ(readFile(scratch / "chrome.json"), step.content);
    EXPECT_EQ(listDirectory(scratch.path()), std::vector<std::string>{"chrome.json"});
  }
}

// The one way to start a process: what the child is given, what it cannot
// start with, and the bound on what is kept of its output.
TEST(SystemProcesses, ChildGetsExactlyWhatItIsGiven) {
  ScratchDirectory scratch;
  const std::int64_t deadline = os::monotonicMilliseconds() + 20'000;
  os::ProcessOptions options;
  options.arguments = {"/bin/sh", "-c", "pwd; echo \"$ONLY ${HOME-no home}\"; cat; echo err >&2"};
  options.environment = {"ONLY=this"};
  options.workingDirectory = scratch.path();
  options.input = options.output = options.errors = os::Stream::pipe();
  os::Completion run = os::runToCompletion(options, "from the input\n", deadline);
  ASSERT_TRUE(run.started.ok()) << run.started.message();
  EXPECT_EQ(run.streams.output, std::filesystem::canonical(scratch.path()).string() +
                                    "\nthis no home\nfrom the input\n");
  EXPECT_EQ(run.streams.errors, "err\n");
  EXPECT_TRUE(run.exit.exited && run.exit.status == 0);

  // What cannot be started says why, and nothing runs.
  options.arguments = {scratch / "missing"};
  EXPECT_EQ(os::runToCompletion(options, "", deadline).started.error(), ENOENT);
  // (a program that is there on every system, so that only the directory
  // can be what is missing)
  options.arguments = {"/bin/sh", "-c", "exit 0"};
  options.workingDirectory = scratch / "missing";
  EXPECT_EQ(os::runToCompletion(options, "", deadline).started.error(), ENOENT);

  // A flood is read to its end and dropped past the bound.
  options.workingDirectory.clear();
  options.arguments = {"/bin/sh", "-c", "head -c 1000000 /dev/zero; echo done >&2"};
  run = os::runToCompletion(options, "", deadline, 1000);
  EXPECT_EQ(run.streams.output, std::string(1000, '\0'));
  EXPECT_EQ(run.streams.outputDropped, 999000u);
  EXPECT_EQ(run.streams.errors, "done\n");

  // Past the deadline the whole group goes, the child's own children too.
  options.arguments = {"/bin/sh", "-c", "sleep 30 & echo $!; wait"};
  run = os::runToCompletion(options, "", os::monotonicMilliseconds() + 300);
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.exit.signal, SIGKILL);
  options.arguments = {"/bin/ps", "-o", "stat=", "-p",
                       run.streams.output.substr(0, run.streams.output.size() - 1)};
  const std::string state = os::runToCompletion(options, "", deadline).streams.output;
  EXPECT_TRUE(state.empty() || state[0] == 'Z') << "the sleeper is still there: " << state;
}

class SystemEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = getenv("HOME")) savedHome_ = home;
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  std::unique_ptr<Platform> platform = makeSystemPlatform();

 private:
  std::optional<std::string> savedHome_;
};

TEST_F(SystemEnvironment, HomeIsHomeWhenAbsoluteElseTheUsersEntry) {
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  const std::string fromDatabase = entry->pw_dir;
  setenv("HOME", "/some/where", 1);
  EXPECT_EQ(platform->homeDirectory(), "/some/where");
  for (const char* unusable : {"relative/home", "", "."}) {
    setenv("HOME", unusable, 1);
    EXPECT_EQ(platform->homeDirectory(), fromDatabase) << "HOME=" << unusable;
  }
  unsetenv("HOME");
  EXPECT_EQ(platform->homeDirectory(), fromDatabase);
}

// The program's own path, as the system reports it (/proc on Linux,
// _NSGetExecutablePath on a Mac): this very test program, links resolved.
TEST_F(SystemEnvironment, OwnPathIsThisProgram) {
  const std::string self = os::executablePath();
  ASSERT_FALSE(self.empty());
  EXPECT_EQ(std::filesystem::path(self).filename(), "tarnwick_tests");
  EXPECT_EQ(std::filesystem::canonical(self).string(), self);
  EXPECT_EQ(os::invokedPath(self), self);
  EXPECT_EQ(os::invokedPath("no-such-program-anywhere"), self);
}

TEST_F(SystemEnvironment, IdentifiersAreFreshVersion4Uuids) {
  const std::regex form(kNoncePattern);
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    const std::optional<std::string> id = platform->newIdentifier();
    ASSERT_TRUE(id);
    EXPECT_TRUE(std::regex_match(*id, form)) << *id;
    seen.insert(*id);
  }
  EXPECT_EQ(seen.size(), 500u);
}

TEST_F(SystemEnvironment, TimeIsNowWithItsFraction) {
  const double before = static_cast<double>(time(nullptr));
  const double first = platform->currentTime();
  usleep(2000);
  const double second = platform->currentTime();
  EXPECT_GE(first, before);
  EXPECT_LE(first, before + 2);
  EXPECT_GT(second, first);
  EXPECT_LT(second - first, 1.0);  // finer than whole seconds
}

// The opener gets exactly the URL, /dev/null for its standard streams, none
// of the host's other descriptors, and a session of its own. On a Mac this
// is what POSIX_SPAWN_SETSID and POSIX_SPAWN_CLOEXEC_DEFAULT must give.
TEST(SystemOpener, OpenerIsIsolatedFromTheHost) {
  ScratchDirectory scratch;
  const std::string record = scratch / "record";
  const int leaked = 50;  // inheritable on purpose, clear of what the shell uses
  const int original = open("/dev/zero", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(dup2(original, leaked), leaked);
  close(original);
  writeOpener(scratch.path(), record, leaked);
  const std::string savedPath = getenv("PATH");
  setenv("PATH", (scratch.path() + ":/usr/bin:/bin").c_str(), 1);
  makeSystemPlatform()->openUrl("tarnwick://open");
  setenv("PATH", savedPath.c_str(), 1);
  close(leaked);
  const std::string fd = "fd" + std::to_string(leaked);
  EXPECT_EQ(
      readFile(record),
      "args:tarnwick://open\nfd0:/dev/null\nfd1:/dev/null\nfd2:/dev/null\n" + fd + ":\nleader\n");
}

}  // namespace
}  // namespace tarnwick::testing

namespace tarnwick::testing {
namespace {

// A temporary file that nobody holds was left by a killed writer and goes;
// one still locked belongs to a writer at work and stays, as does anything
// that is not a temporary file of the target.
TEST_F(SystemFiles, AbandonedTemporaryFilesAreCleared) {
  const std::string abandoned = ".chrome.json.0123456789abcdef";
  const std::string live = ".chrome.json.fedcba9876543210";
  const std::vector<std::string> unrelated{".chrome.json.0123", ".edge.json.0123456789abcdef",
                                           "chrome.json.0123456789abcdef"};
  for (const auto& name : unrelated) writeFile(scratch / name, "keep");
  writeFile(scratch / abandoned, "{\"brow");
  writeFile(scratch / live, "{\"browser\"");
  const int holder = open((scratch / live).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  ASSERT_TRUE(platform->writeFileAtomically(scratch / "chrome.json", "{}"));
  close(holder);
  std::vector<std::string> expected = unrelated;
  expected.push_back(live);
  expected.push_back("chrome.json");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listDirectory(scratch.path()), expected);
}

// Real file systems that refuse the write: full, and read-only. Mounting
// needs privileges that not every machine grants, and Linux's mount(2).
#if defined(__linux__)
// The small tmpfs is mounted in SetUp, where a skip ends the test (in a
// helper it would only end the helper).
class MountedFileSystem : public SystemFiles {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    if (mount("tmpfs", scratch.path().c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) umount2(scratch.path().c_str(), MNT_DETACH);
  }

 private:
  bool mounted_ = false;
};

TEST_F(MountedFileSystem, FullFileSystemKeepsThePreviousFile) {
  const std::string path = scratch / "capture-request.json";
  ASSERT_TRUE(platform->writeFileAtomically(path, "previous"));
  EXPECT_FALSE(platform->writeFileAtomically(path, std::string(256 * 1024, 'x')));
  EXPECT_EQ(readFile(path), "previous");
  EXPECT_EQ(listDirectory(scratch.path()), std::vector<std::string>{"capture-request.json"});
}

TEST_F(MountedFileSystem, ReadOnlyFileSystemKeepsThePreviousFile) {
  const std::string path = scratch / "chrome.json";
  ASSERT_TRUE(platform->writeFileAtomically(path, "previous"));
  ASSERT_EQ(mount(nullptr, scratch.path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_FALSE(platform->writeFileAtomically(path, "new"));
  EXPECT_FALSE(platform->createDirectory(scratch / "BrowserStatus"));
  EXPECT_EQ(readFile(path), "previous");
}

#endif  // __linux__

}  // namespace
}  // namespace tarnwick::testing
