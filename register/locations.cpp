#include "locations.h"

#include <sys/stat.h>

namespace tarnwick::registration {
namespace {

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

Location under(const std::string& base, const std::string& browser, const std::string& relative) {
  const std::string configuration = base + "/" + relative;
  return {browser, configuration, configuration + "/NativeMessagingHosts"};
}

}  // namespace

std::vector<Location> userLocations(const std::string& home, const std::string& configHome) {
#if defined(__APPLE__)
  (void)configHome;
  const std::string base = home + "/Library/Application Support";
  return {
      under(base, "Chrome", "Google/Chrome"),
      under(base, "Chrome Beta", "Google/Chrome Beta"),
      under(base, "Chrome Dev", "Google/Chrome Dev"),
      under(base, "Chrome Canary", "Google/Chrome Canary"),
      under(base, "Chromium", "Chromium"),
      under(base, "Edge", "Microsoft Edge"),
      under(base, "Edge Beta", "Microsoft Edge Beta"),
      under(base, "Edge Dev", "Microsoft Edge Dev"),
      under(base, "Edge Canary", "Microsoft Edge Canary"),
      under(base, "Brave", "BraveSoftware/Brave-Browser"),
      under(base, "Brave Beta", "BraveSoftware/Brave-Browser-Beta"),
      under(base, "Brave Nightly", "BraveSoftware/Brave-Browser-Nightly"),
      under(base, "Vivaldi", "Vivaldi"),
  };
#else
  (void)home;
  const std::string& base = configHome;
  return {
      under(base, "Chrome", "google-chrome"),
      under(base, "Chrome Beta", "google-chrome-beta"),
      under(base, "Chrome Unstable", "google-chrome-unstable"),
      under(base, "Chromium", "chromium"),
      under(base, "Edge", "microsoft-edge"),
      under(base, "Edge Beta", "microsoft-edge-beta"),
      under(base, "Edge Dev", "microsoft-edge-dev"),
      under(base, "Brave", "BraveSoftware/Brave-Browser"),
      under(base, "Brave Beta", "BraveSoftware/Brave-Browser-Beta"),
      under(base, "Brave Nightly", "BraveSoftware/Brave-Browser-Nightly"),
      under(base, "Vivaldi", "vivaldi"),
      under(base, "Vivaldi Snapshot", "vivaldi-snapshot"),
  };
#endif
}

std::vector<Location> systemLocations() {
#if defined(__APPLE__)
  return {
      {"Chrome", "/Library/Google/Chrome", "/Library/Google/Chrome/NativeMessagingHosts"},
      {"Chromium", "/Library/Application Support/Chromium",
       "/Library/Application Support/Chromium/NativeMessagingHosts"},
      {"Edge", "/Library/Microsoft/Edge", "/Library/Microsoft/Edge/NativeMessagingHosts"},
  };
#else
  return {
      {"Chrome", "/etc/opt/chrome", "/etc/opt/chrome/native-messaging-hosts"},
      {"Chromium", "/etc/chromium", "/etc/chromium/native-messaging-hosts"},
      {"Edge", "/etc/opt/edge", "/etc/opt/edge/native-messaging-hosts"},
  };
#endif
}

std::vector<std::string> browsersWithoutSystemLocation() { return {"Brave", "Vivaldi"}; }

std::vector<std::string> sandboxedBrowsers(const std::string& home) {
  struct Package {
    const char* browser;
    const char* kind;
    std::vector<std::string> traces;
  };
  const std::vector<Package> packages{
      {"Chromium", "Snap", {"/snap/chromium", home + "/snap/chromium"}},
      {"Brave", "Snap", {"/snap/brave", home + "/snap/brave"}},
      {"Chrome",
       "Flatpak",
       {home + "/.var/app/com.google.Chrome", "/var/lib/flatpak/app/com.google.Chrome"}},
      {"Chromium",
       "Flatpak",
       {home + "/.var/app/org.chromium.Chromium", "/var/lib/flatpak/app/org.chromium.Chromium"}},
      {"Edge",
       "Flatpak",
       {home + "/.var/app/com.microsoft.Edge", "/var/lib/flatpak/app/com.microsoft.Edge"}},
      {"Brave",
       "Flatpak",
       {home + "/.var/app/com.brave.Browser", "/var/lib/flatpak/app/com.brave.Browser"}},
      {"Vivaldi",
       "Flatpak",
       {home + "/.var/app/com.vivaldi.Vivaldi", "/var/lib/flatpak/app/com.vivaldi.Vivaldi"}},
  };
  std::vector<std::string> found;
  for (const Package& package : packages) {
    for (const std::string& trace : package.traces) {
      if (exists(trace)) {
        found.push_back(std::string(package.browser) + " (" + package.kind + ")");
        break;
      }
    }
  }
  return found;
}

}  // namespace tarnwick::registration
