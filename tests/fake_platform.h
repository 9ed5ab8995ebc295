// An in-memory platform for tests: input fed in chosen pieces, output and
// files recorded, and any service made to fail on request. A reply counts
// among the calls (at the write of its length), so that one list records
// everything a request did, and a reply's write can be made to fail too.
#pragma once

#include <algorithm>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/json_codec.h"
#include "platform/platform.h"

namespace tarnwick::testing {

// Reply is the write of a reply's length (a failed one ends the output).
enum class Op { Reply, Home, CreateDirectory, WriteFile, NewIdentifier, Time, OpenUrl };

class FakePlatform final : public Platform {
 public:
  // Standard input: `input`, handed out at most `pieceSizes[i]` bytes per
  // read, cycling through the list (empty means as much as asked for).
  std::string input;
  std::vector<std::size_t> pieceSizes;
  std::size_t inputOffset = 0;
  std::vector<std::size_t> readRequests;  // what each read asked for

  std::vector<std::string> writes;  // every write to standard output
  bool outputClosed = false;

  std::optional<std::string> home = "/home/user";
  std::set<std::string> directories{"/", "/home", "/home/user"};
  std::map<std::string, std::string> files;
  std::vector<std::string> openedUrls;
  double now = 1700000000.25;
  int identifiersIssued = 0;

  std::vector<Op> calls;                   // every service call except the streams, in order
  std::set<Op> failing;                    // services that fail every time
  std::optional<std::size_t> failingCall;  // 1-based index into `calls`

  std::string output() const {
    std::string all;
    for (const auto& w : writes) all += w;
    return all;
  }

  std::size_t count(Op op) const {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), op));
  }

  std::size_t readInput(std::span<char> into) override {
    readRequests.push_back(into.size());
    if (inputOffset >= input.size()) return 0;
    std::size_t n = std::min(into.size(), input.size() - inputOffset);
    if (!pieceSizes.empty()) {
      n = std::min(n, pieceSizes[(readRequests.size() - 1) % pieceSizes.size()]);
    }
    std::copy_n(input.data() + inputOffset, n, into.data());
    inputOffset += n;
    return n;
  }

  bool writeOutput(std::string_view bytes) override {
    if (outputClosed) return false;
    // A reply's length is its first write: 4 bytes, where a body is 11 or 12.
    if (bytes.size() == 4 && fails(Op::Reply)) {
      outputClosed = true;
      return false;
    }
    writes.emplace_back(bytes);
    return true;
  }

  std::optional<std::string> homeDirectory() override {
    if (fails(Op::Home)) return std::nullopt;
    return home;
  }

  bool createDirectory(const std::string& path) override {
    if (fails(Op::CreateDirectory)) return false;
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      const std::string prefix = path.substr(0, slash);
      if (files.count(prefix) != 0) return false;
      directories.insert(prefix);
      if (slash == std::string::npos) return true;
    }
  }

  bool writeFileAtomically(const std::string& path, std::string_view bytes) override {
    if (fails(Op::WriteFile)) return false;
    const std::string parent = path.substr(0, path.rfind('/'));
    if (directories.count(parent) == 0 || directories.count(path) != 0) return false;
    files[path] = std::string(bytes);
    return true;
  }

  std::optional<std::string> newIdentifier() override {
    if (fails(Op::NewIdentifier)) return std::nullopt;
    const std::string serial = std::to_string(++identifiersIssued);
    return "00000000-0000-4000-8000-" + std::string(12 - serial.size(), '0') + serial;
  }

  double currentTime() override {
    fails(Op::Time);  // the clock cannot fail, but its calls are recorded
    return now;
  }

  void openUrl(std::string_view url) override {
    if (fails(Op::OpenUrl)) return;  // a lost hand-over is not reported
    openedUrls.emplace_back(url);
  }

 private:
  bool fails(Op op) {
    calls.push_back(op);
    return failing.count(op) != 0 || failingCall == calls.size();
  }
};

}  // namespace tarnwick::testing
