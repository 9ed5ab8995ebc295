// Where each browser looks for native-messaging host manifests.
#pragma once

#include <string>
#include <vector>

namespace tarnwick::registration {

struct Location {
  std::string browser;        // as shown to the user: "Chrome Beta"
  std::string configuration;  // the browser's own directory; present when it is installed
  std::string manifests;      // the directory that holds host manifests
};

// The per-user locations under `home` (and, on Linux, `configHome`, the XDG
// configuration directory).
std::vector<Location> userLocations(const std::string& home, const std::string& configHome);

// The system-wide locations that the browsers document.
std::vector<Location> systemLocations();

// Browsers documented to have no system-wide location, for the message.
std::vector<std::string> browsersWithoutSystemLocation();

// Browsers installed as Snap or Flatpak packages, which cannot start hosts
// registered in these places.
std::vector<std::string> sandboxedBrowsers(const std::string& home);

}  // namespace tarnwick::registration
