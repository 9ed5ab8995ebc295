#include "manifest.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

namespace tarnwick::registration {

std::optional<std::string> extensionOrigin(std::string_view id) {
  constexpr std::string_view kScheme = "chrome-extension://";
  if (id.substr(0, kScheme.size()) == kScheme) {
    id.remove_prefix(kScheme.size());
    if (id.empty() || id.back() != '/') return std::nullopt;
    id.remove_suffix(1);
  }
  if (id.size() != 32 || id.find_first_not_of("abcdefghijklmnop") != std::string_view::npos) {
    return std::nullopt;
  }
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

std::optional<Registration> readManifest(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto manifest = nlohmann::json::parse(text, nullptr, false);
  const auto textOf = [&](const char* key) {
    const auto found = manifest.find(key);
    return found != manifest.end() && found->is_string() ? found->get<std::string>() : "";
  };
  if (!manifest.is_object() || textOf("name") != kHostName) return std::nullopt;
  Registration registration;
  registration.hostPath = textOf("path");
  if (const auto origins = manifest.find("allowed_origins");
      origins != manifest.end() && origins->is_array()) {
    for (const auto& origin : *origins) {
      if (origin.is_string()) registration.origins.push_back(origin.get<std::string>());
    }
  }
  return registration;
}

}  // namespace tarnwick::registration
