#include "app_bundle.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "readers/property_list.h"

namespace tarnwick::registration {
namespace {

bool isBundleIdentifier(const std::string& id) {
  return !id.empty() && id.find("..") == std::string::npos &&
         std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
         });
}

std::optional<std::string> stringOf(const nlohmann::json& info, const char* key) {
  const auto found = info.is_object() ? info.find(key) : info.end();
  if (found == info.end() || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

}  // namespace

AppInfo readAppInfo(const std::string& app, const std::string& root) {
  AppInfo result;
  nlohmann::json info;
  if (!readPropertyList(app + "/Contents/Info.plist", root, &info).ok()) return result;
  if (const std::optional<std::string> product = stringOf(info, "CrProductDirName")) {
    // Relative, on one line, and not climbing out of Application Support.
    if (!product->empty() && product->find('\n') == std::string::npos &&
        product->find("..") == std::string::npos && (*product)[0] != '/') {
      result.productDirectory = product;
    }
  }
  if (const std::optional<std::string> id = stringOf(info, "CFBundleIdentifier")) {
    if (isBundleIdentifier(*id)) result.bundleIdentifier = id;
  }
  return result;
}

std::optional<std::string> bundleIdentifier(const Browser& browser, const std::string& root) {
  for (const std::string& program : browser.programs) {
    if (!program.ends_with(".app")) continue;
    if (std::optional<std::string> id = readAppInfo(program, root).bundleIdentifier) return id;
  }
  return std::nullopt;
}

}  // namespace tarnwick::registration
