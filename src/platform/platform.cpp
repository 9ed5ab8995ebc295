// The parts of the platform that are the same everywhere; the JSON codec is
// in json_codec.cpp.
#include "platform/platform.h"

namespace tarnwick {

std::optional<std::string_view> stringField(const MessageObject& message, std::string_view key) {
  const auto found = message.find(key);
  if (found == message.end()) return std::nullopt;
  return std::string_view(found->second);
}

std::string joinPath(std::string_view base, std::string_view relative) {
  std::string path;
  path.reserve(base.size() + 1 + relative.size());
  path.append(base);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}

}  // namespace tarnwick
