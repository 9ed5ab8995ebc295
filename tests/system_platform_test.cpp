// The POSIX platform itself, where the operating system's behaviour matters.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "frames.h"
#include "host/host.h"
#include "platform/platform.h"

namespace tarnwick::testing {
namespace {

volatile sig_atomic_t interruptions = 0;
void countInterruption(int) { interruptions = interruptions + 1; }

// A child process serves frames with a timer signal arriving every 200
// microseconds, installed without SA_RESTART, so that its blocked reads and
// writes keep failing with EINTR. Its replies must still be exact.
TEST(SystemStreams, InterruptedCallsAreRetried) {
  int input[2], output[2];
  ASSERT_EQ(pipe(input), 0);
  ASSERT_EQ(pipe(output), 0);
  const pid_t child = fork();
  if (child == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    close(input[1]);
    close(output[0]);
    struct sigaction action {};
    action.sa_handler = countInterruption;
    sigaction(SIGALRM, &action, nullptr);
    const itimerval every{{0, 200}, {0, 200}};
    setitimer(ITIMER_REAL, &every, nullptr);
    runHost(*makeSystemPlatform());
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    _exit(interruptions > 0 ? 0 : 3);
  }
  close(input[0]);
  close(output[1]);
  const std::string frames = frame("{}") + frame(deepArray(100000)) + frame("[1]");
  for (std::size_t at = 0; at < frames.size(); at += 4096) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GT(write(input[1], frames.data() + at, std::min<std::size_t>(4096, frames.size() - at)),
              0);
  }
  close(input[1]);
  std::string replies_;
  char buffer[256];
  for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) {
    replies_.append(buffer, static_cast<std::size_t>(n));
  }
  close(output[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "no read was interrupted; the test proved nothing";
  EXPECT_EQ(replies_, replies(kOkFalse, 3));
}

}  // namespace
}  // namespace tarnwick::testing
