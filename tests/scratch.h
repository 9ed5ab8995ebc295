// A temporary directory that is removed, with everything in it, at the end of
// the scope; and small file helpers for tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tarnwick::testing {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Names of the entries of a directory, sorted.
std::vector<std::string> listDirectory(const std::string& path);

}  // namespace tarnwick::testing
