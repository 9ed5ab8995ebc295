#include "opener.h"

#include <sys/stat.h>

#include "platform/operating_system.h"
#include "scratch.h"

namespace tarnwick::testing {
namespace {

// `text` as one single-quoted word of the shell.
std::string quoted(const std::string& text) {
  std::string word = "'";
  for (const char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

}  // namespace

void writeOpener(const std::string& directory, const std::string& record, int watchedDescriptor,
                 const std::string& extra) {
  const std::string path = directory + "/" + std::string(urlOpener(currentSystem()));
  writeFile(path, "#!/bin/sh\nexec " + quoted(TARNWICK_OPENER_PROBE) + " " + quoted(record) + " " +
                      std::to_string(watchedDescriptor) + " " + quoted(extra) + " \"$@\"\n");
  chmod(path.c_str(), 0755);
}

}  // namespace tarnwick::testing
