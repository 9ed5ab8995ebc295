#include "manifest.h"

#include <algorithm>
#include <nlohmann/json.hpp>

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
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || text.find('\0') != std::string_view::npos) {
    problems.push_back("it is not valid JSON");
    return manifest;
  }
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
      const std::string_view id = std::string_view(value).substr(
          std::min(value.size(), kScheme.size()),
          value.size() > kScheme.size() ? value.size() - kScheme.size() - 1 : 0);
      if (value.compare(0, kScheme.size(), kScheme) != 0 || value.back() != '/' ||
          !isExtensionId(id)) {
        problems.push_back("\"" + value +
                           "\" is not an extension origin (chrome-extension://<32 letters a-p>/; "
                           "no wildcards)");
        continue;
      }
      manifest.origins.push_back(value);
    }
    if (origins->empty()) problems.push_back("\"allowed_origins\" allows no extension");
  }
  return manifest;
}

bool isOurManifest(std::string_view text) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) return false;
  const auto name = json.find("name");
  return name != json.end() && name->is_string() && name->get<std::string>() == kHostName;
}

}  // namespace tarnwick::registration
