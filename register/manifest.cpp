#include "manifest.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "readers/lenient_json.h"

namespace tarnwick::registration {
namespace {

constexpr std::string_view kScheme = "chrome-extension://";

bool isExtensionId(std::string_view id) {
  return id.size() == 32 && id.find_first_not_of("abcdefghijklmnop") == std::string_view::npos;
}

// The browsers' own rule for host names (chrome/browser/extensions/api/
// messaging/native_messaging_host_manifest.cc, IsValidName).
bool isValidHostName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    if (!allowed) return false;
    if (c == '.' && (i == 0 || name[i - 1] == '.' || i + 1 == name.size())) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> extensionOrigin(std::string_view id) {
  if (id.substr(0, kScheme.size()) == kScheme) {
    id.remove_prefix(kScheme.size());
    if (id.empty() || id.back() != '/') return std::nullopt;
    id.remove_suffix(1);
  }
  if (!isExtensionId(id)) return std::nullopt;
  return std::string(kScheme) + std::string(id) + "/";
}

std::optional<std::string> manifestText(const std::string& hostPath,
                                        const std::vector<std::string>& origins) {
  nlohmann::ordered_json manifest{
      {"name", kHostName},
      {"description", "Tarnwick browser host: hands pages from the browser to the Tarnwick app"},
      {"path", hostPath},
      {"type", "stdio"},
      {"allowed_origins", origins},
  };
  try {
    return manifest.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::strict) + "\n";
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

os::Status readBoundedFile(const std::string& path, std::string* text) {
  return os::readRegularFile(path, kManifestLimit, text);
}

Manifest checkManifest(std::string_view text, std::string_view expectedName) {
  Manifest manifest;
  std::vector<std::string>& problems = manifest.problems;
  const std::optional<nlohmann::json> parsed = readLenientJson(text, TrailingCommas::Refused);
  if (!parsed) {
    problems.push_back("it is not valid JSON");
    return manifest;
  }
  const nlohmann::json& json = *parsed;
  if (!json.is_object()) {
    problems.push_back("it is not a JSON object");
    return manifest;
  }
  const auto stringOf = [&](const char* key) -> std::optional<std::string> {
    const auto found = json.find(key);
    if (found == json.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };

  const std::optional<std::string> name = stringOf("name");
  manifest.name = name.value_or("");
  if (!name || !isValidHostName(*name)) {
    problems.push_back("\"name\" must be a string of a-z, 0-9, '.' and '_'");
  } else if (*name != expectedName) {
    problems.push_back("\"name\" is \"" + *name + "\", not \"" + std::string(expectedName) +
                       "\" as the file name says");
  }
  if (stringOf("description").value_or("").empty()) {
    problems.push_back("\"description\" must be a non-empty string");
  }
  if (stringOf("type") != "stdio") problems.push_back("\"type\" must be \"stdio\"");
  const std::optional<std::string> path = stringOf("path");
  manifest.hostPath = path.value_or("");
  if (!path || path->empty()) {
    problems.push_back("\"path\" must be a string");
  } else if ((*path)[0] != '/') {
    problems.push_back("\"path\" must be absolute: \"" + *path + "\"");
  }
  const auto origins = json.find("allowed_origins");
  if (origins == json.end() || !origins->is_array()) {
    problems.push_back("\"allowed_origins\" must be a list of extension origins");
  } else {
    for (const auto& origin : *origins) {
      if (!origin.is_string()) {
        problems.push_back("\"allowed_origins\" holds something that is not a string");
        continue;
      }
      const std::string value = origin.get<std::string>();
      OriginPattern pattern = parseOriginPattern(value);
      if (!pattern.refused.empty()) {
        problems.push_back("\"allowed_origins\" holds \"" + value +
                           "\", which is no extension origin the browser takes: " +
                           pattern.refused + "; write one as chrome-extension://<32 letters a-p>/");
        continue;
      }
      std::string id = pattern.host;
      while (!id.empty() && id.back() == '.') id.pop_back();
      if (!pattern.anyScheme && isExtensionId(id)) {
        const std::string shown = std::string(kScheme) + id + "/";
        if (std::find(manifest.origins.begin(), manifest.origins.end(), shown) ==
            manifest.origins.end()) {
          manifest.origins.push_back(shown);
        }
      }
      manifest.patterns.push_back(std::move(pattern));
    }
  }
  return manifest;
}

bool Manifest::allows(std::string_view id) const {
  return std::any_of(patterns.begin(), patterns.end(),
                     [&](const OriginPattern& pattern) { return patternAllows(pattern, id); });
}

bool isOurManifest(std::string_view text) {
  const std::optional<nlohmann::json> json = readLenientJson(text, TrailingCommas::Allowed);
  if (!json || !json->is_object()) return false;
  const auto name = json->find("name");
  return name != json->end() && name->is_string() && name->get<std::string>() == kHostName;
}

}  // namespace tarnwick::registration
