// The systems the host is built for, and the few names that differ between
// them, as data: every build can check both systems' values.
#pragma once

#include <string_view>

namespace tarnwick {

enum class System { Linux, MacOs };

// The system this build is for.
constexpr System currentSystem() {
#if defined(__APPLE__)
  return System::MacOs;
#else
  return System::Linux;
#endif
}

// The desktop's program that opens a URL with the application registered for
// its scheme, found through PATH.
constexpr std::string_view urlOpener(System system) {
  return system == System::MacOs ? "open" : "xdg-open";
}

}  // namespace tarnwick
