// Times the host against the floor, run by run in ABBA order, on a tmpfs home
// and on a disk home, and prints each figure with its ratio to the floor.
#include <stdlib.h>
#include <unistd.h>  // mkdtemp, on macOS

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "host/framing.h"
#include "platform/process.h"
#include "platform/system.h"

using tarnwick::frame;
namespace os = tarnwick::os;

namespace {

struct Sample {
  double seconds = 0;
  long peakKiB = 0;
};

// Requests of every kind but "open", whose cost is the desktop's opener.
std::string mixedSession(int count) {
  const std::string kinds[] = {
      R"({"type":"ping","browser":"chrome"})",
      R"({"type":"capture","browser":"edge","url":"https://example.org/articles/2026/12/a-long-read.html","filename":"a-long-read.html","referrer":"https://example.org/"})",
      R"({"type":"ping","browser":"brave"})",
      R"({"type":"capture","url":"https://example.org/paper.pdf"})",
      R"({"type":"ping","browser":"netscape"})",
      R"({"type":"ping"})",
      R"({"type":"unknown","browser":"chrome"})",
      R"(not json at all)",
      R"({"type":"ping","browser":"vivaldi","extra":[1,2,{"a":null}]})",
      R"({"type":"capture","browser":"chromium","url":"https://example.org/?q=%E2%9C%93"})",
  };
  std::string all;
  for (int i = 0; i < count; ++i)
    all += frame(kinds[static_cast<std::size_t>(i) % std::size(kinds)]);
  return all;
}

std::string writeInput(const std::string& directory, const std::string& name,
                       const std::string& bytes) {
  const std::string path = directory + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string launcher;  // the small program that starts and measures each run

Sample runOnce(const std::string& program, const std::string& input, const std::string& output,
               const std::string& home) {
  os::ProcessOptions options;
  options.arguments = {launcher, input, output, program};
  options.environment = {"HOME=" + home, "PATH=/usr/bin:/bin"};
  options.output = os::Stream::pipe();
  options.errors = os::Stream::inherit();
  // No deadline: a run takes as long as it takes.
  const os::Completion run = os::runToCompletion(options, "", INT64_MAX, 128);
  if (!run.started.ok()) {
    std::fprintf(stderr, "%s: %s\n", launcher.c_str(), run.started.message().c_str());
    std::exit(1);
  }
  const std::string& text = run.streams.output;
  Sample sample;
  if (!run.exit.exited || run.exit.status != 0 ||
      std::sscanf(text.c_str(), "%lf %ld", &sample.seconds, &sample.peakKiB) != 2) {
    std::fprintf(stderr, "%s did not exit cleanly\n", program.c_str());
    std::exit(1);
  }
  return sample;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Case {
  std::string name;
  std::string input;  // path
  int requests;
  int rounds;
};

struct Programs {
  std::string host, floor;
};

// Counts reply frames in a file and checks each is {"ok":true} or {"ok":false}.
int countReplies(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int count = 0;
  for (std::size_t at = 0; at + 4 <= bytes.size(); ++count) {
    std::uint32_t length = 0;
    std::memcpy(&length, bytes.data() + at, 4);
    const std::string body = bytes.substr(at + 4, length);
    if (body != R"({"ok":true})" && body != R"({"ok":false})") return -1;
    at += 4 + length;
  }
  return count;
}

void measure(const Programs& programs, const std::vector<Case>& cases, const std::string& medium,
             const std::string& home, const std::string& scratch) {
  std::printf("\nHOME on %s (%s)\n", medium.c_str(), home.c_str());
  std::printf("%-34s %12s %12s %7s %13s %12s %12s %7s\n", "case", "host", "floor", "ratio",
              "ratio p25-p75", "host peak", "floor peak", "ratio");
  const std::string output = scratch + "/replies";
  for (const Case& c : cases) {
    // Both must answer every request; this also leaves the files in place,
    // as they are in use.
    for (const std::string* program : {&programs.host, &programs.floor}) {
      runOnce(*program, c.input, output, home);
      const int replies = countReplies(output);
      if (replies != c.requests) {
        std::fprintf(stderr, "%s answered %d of %d requests in '%s'\n", program->c_str(), replies,
                     c.requests, c.name.c_str());
        std::exit(1);
      }
    }
    std::vector<double> hostTimes, floorTimes, hostPeaks, floorPeaks, ratios;
    auto run = [&](bool host) {
      const Sample s = runOnce(host ? programs.host : programs.floor, c.input, "/dev/null", home);
      (host ? hostTimes : floorTimes).push_back(s.seconds / c.requests);
      (host ? hostPeaks : floorPeaks).push_back(static_cast<double>(s.peakKiB));
    };
    for (int round = 0; round < c.rounds; ++round) {  // A B B A, A B B A, ...
      const bool hostFirst = round % 2 == 0;
      run(hostFirst);
      run(!hostFirst);
      ratios.push_back(hostTimes.back() / floorTimes.back());  // the pair run side by side
    }
    const double host = median(hostTimes), floor = median(floorTimes);
    const double hostPeak = median(hostPeaks), floorPeak = median(floorPeaks);
    std::sort(ratios.begin(), ratios.end());
    const double lowRatio = ratios[ratios.size() / 4], highRatio = ratios[ratios.size() * 3 / 4];
    const bool perRequest = c.requests > 1;
    std::printf("%-34s %9.1f %s %9.1f %s %7.2f %6.2f-%-6.2f %9.0f KiB %9.0f KiB %7.2f\n",
                c.name.c_str(), host * 1e6, perRequest ? "µs/r" : "µs  ", floor * 1e6,
                perRequest ? "µs/r" : "µs  ", host / floor, lowRatio, highRatio, hostPeak,
                floorPeak, hostPeak / floorPeak);
    std::fflush(stdout);
  }
}

std::string makeDirectory(const std::string& parent) {
  std::string pattern = parent + "/tarnwick-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror(parent.c_str());
    std::exit(1);
  }
  return pattern;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: %s LAUNCHER HOST FLOOR [ONE_SHOT_ROUNDS [SESSION_REQUESTS "
                 "[DISK_DIRECTORY]]]\n",
                 argv[0]);
    return 2;
  }
  launcher = argv[1];
  const Programs programs{argv[2], argv[3]};
  const int oneShotRounds = argc > 4 ? std::atoi(argv[4]) : 100;
  const int sessionRequests = argc > 5 ? std::atoi(argv[5]) : 10000;
  const std::string disk = argc > 6 ? argv[6] : "/var/tmp";

  // A tmpfs where the system has one at hand (Linux's /dev/shm); elsewhere
  // only the disk is measured.
  const bool tmpfs = os::pathExists("/dev/shm");
  const std::string scratch = makeDirectory(tmpfs ? "/dev/shm" : disk);
  constexpr std::size_t kMaxBody = 0xFFFFF;
  // The three largest kinds of request: a capture whose url fills the frame
  // (ASCII with a 2-byte character now and then), a ping carrying the
  // deepest nesting that fits, and a ping with 50,000 small string members.
  const std::string urlPrefix = R"({"type":"capture","browser":"chrome","url":")";
  std::string url;
  while (url.size() + 2 < kMaxBody - urlPrefix.size() - 2)
    url += (url.size() % 64 == 0) ? "é" : "u";
  const std::string bigUrl = urlPrefix + url + "\"}";
  const std::string deepPrefix = R"({"type":"ping","x":)";
  const std::size_t levels = (kMaxBody - deepPrefix.size() - 1) / 2;
  const std::string deep = deepPrefix + std::string(levels, '[') + std::string(levels, ']') + "}";
  std::string members = R"({"type":"ping")";
  for (int i = 0; i < 50000; ++i) members += ",\"m" + std::to_string(10000 + i) + "\":\"value\"";
  members += "}";

  const std::vector<Case> cases{
      {"one-shot ping", writeInput(scratch, "ping", frame(R"({"type":"ping","browser":"chrome"})")),
       1, oneShotRounds},
      {"one-shot capture",
       writeInput(scratch, "capture",
                  frame(R"({"type":"capture","browser":"chrome","url":"https://example.org/a"})")),
       1, oneShotRounds},
      {"session of " + std::to_string(sessionRequests) + " mixed",
       writeInput(scratch, "session", mixedSession(sessionRequests)), sessionRequests, 2},
      {"1 MiB url capture", writeInput(scratch, "big-url", frame(bigUrl)), 1,
       std::max(2, oneShotRounds / 5)},
      {"1 MiB deepest nesting ping", writeInput(scratch, "deep", frame(deep)), 1,
       std::max(2, oneShotRounds / 5)},
      {"50,000 string members ping", writeInput(scratch, "members", frame(members)), 1,
       std::max(2, oneShotRounds / 5)},
  };

  std::printf("host %s, floor %s; medians of ABBA-alternated runs\n", programs.host.c_str(),
              programs.floor.c_str());
  if (tmpfs) {
    const std::string shmHome = makeDirectory("/dev/shm");
    measure(programs, cases, "tmpfs", shmHome, scratch);
    std::filesystem::remove_all(shmHome);
  } else {
    std::printf("\nHOME on tmpfs: not measured, this system has no /dev/shm\n");
  }
  const std::string diskHome = makeDirectory(disk);
  measure(programs, cases, "disk", diskHome, scratch);

  std::filesystem::remove_all(diskHome);
  std::filesystem::remove_all(scratch);
  return 0;
}
