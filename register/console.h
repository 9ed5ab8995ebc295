// The tool's own output: everything meant for the user goes through here.
// What it computed (paths above all, which come from HOME, manifests and
// directory listings) is printed with its control characters escaped as
// \xNN, so that a NUL or a newline in a name can neither hide nor fake a
// line; the tool's own literal text passes as it is.
#pragma once

#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

namespace tarnwick::registration {

class Output {
 public:
  explicit Output(std::ostream& stream) : stream_(stream) {}
  Output& operator<<(const char* text) {
    stream_ << text;
    return *this;
  }
  Output& operator<<(const std::string& text);
  template <typename Number>
  requires std::is_arithmetic_v<Number> Output& operator<<(Number number) {
    stream_ << number;
    return *this;
  }
  // Text that is already safe as it is (a shell-quoted command).
  void raw(std::string_view text) { stream_ << text; }
  // Whether every write so far reached the stream.
  bool good() {
    stream_.flush();
    return stream_.good();
  }

 private:
  std::ostream& stream_;
};

// What the commands print to: `out` for what they did and found, `err` for
// what failed.
struct Console {
  Output out;
  Output err;
  // Reports that the command cannot go on, as one line, and gives the exit
  // status to leave with.
  int refuse(const std::string& message, int status = 1) {
    err << "tarnwick-register: " << message << "\n";
    return status;
  }
};

}  // namespace tarnwick::registration
