#include "manifest.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "lenient_json.h"

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
      // A URL pattern of the extension scheme: a host, then a path, which
      // matching ignores; no wildcard host (chrome/browser/extensions/api/
      // messaging/native_messaging_host_manifest.cc, and URLPattern).
      const std::string_view rest = std::string_view(value).substr(
          value.compare(0, kScheme.size(), kScheme) == 0 ? kScheme.size() : value.size());
      const std::size_t slash = rest.find('/');
      std::string host(rest.substr(0, slash));
      for (char& c : host) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
      if (rest.empty() || slash == std::string_view::npos || host.empty() ||
          host.find('*') != std::string::npos) {
        problems.push_back("\"" + value +
                           "\" is not an extension origin (chrome-extension://<32 letters a-p>/; "
                           "no wildcards)");
        continue;
      }
      if (isExtensionId(host)) manifest.origins.push_back(std::string(kScheme) + host + "/");
    }
    if (manifest.origins.empty() && problems.empty()) {
      problems.push_back("\"allowed_origins\" allows no extension");
    }
  }
  return manifest;
}

bool isOurManifest(std::string_view text) {
  const std::optional<nlohmann::json> json = readLenientJson(text, TrailingCommas::Allowed);
  if (!json || !json->is_object()) return false;
  const auto name = json->find("name");
  return name != json->end() && name->is_string() && name->get<std::string>() == kHostName;
}

}  // namespace tarnwick::registration
