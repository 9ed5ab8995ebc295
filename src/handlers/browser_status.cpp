#include <algorithm>

#include "handlers/handlers.h"

namespace tarnwick {

bool recordBrowserStatus(Platform& platform, const MessageObject& message) {
  const std::optional<std::string_view> browser = stringField(message, "browser");
  if (!browser || std::find(allowedBrowsers.begin(), allowedBrowsers.end(), *browser) ==
                      allowedBrowsers.end()) {
    return true;  // nothing to record
  }
  const std::optional<std::string> support = supportDirectory(platform);
  if (!support) return false;
  const std::string directory = joinPath(*support, "BrowserStatus");
  if (!platform.createDirectory(directory)) return false;

  const JsonObject status{{"browser", *browser}, {"lastSeen", platform.currentTime()}};
  const std::optional<std::string> text = encodeObject(status, KeyOrder::Sorted);
  if (!text) return false;
  return platform.writeFileAtomically(joinPath(directory, std::string(*browser) + ".json"), *text);
}

}  // namespace tarnwick
