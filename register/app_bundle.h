// What a macOS browser's app says of itself in its Contents/Info.plist: the
// one place that file is read.
#pragma once

#include <optional>
#include <string>

#include "locations.h"

namespace tarnwick::registration {

struct AppInfo {
  // CrProductDirName: its user data directory under ~/Library/Application
  // Support (chrome/common/chrome_paths_mac.mm), when it names a usable one.
  std::optional<std::string> productDirectory;
  // CFBundleIdentifier, when it is one as Apple allows (letters, digits, "-"
  // and "."): the preference domain of its policies.
  std::optional<std::string> bundleIdentifier;
};

// The Info.plist of the .app at `app`, read with the plutil under `root`;
// nothing known when it cannot be read.
AppInfo readAppInfo(const std::string& app, const std::string& root);

// The bundle identifier of the first of `browser`'s programs that is an .app
// here with one.
std::optional<std::string> bundleIdentifier(const Browser& browser, const std::string& root);

}  // namespace tarnwick::registration
