#include "handlers/handlers.h"

namespace tarnwick {

std::optional<std::string> supportDirectory(Platform& platform) {
  std::optional<std::string> home = platform.homeDirectory();
  if (!home) return std::nullopt;
  return joinPath(*home, "Library/Application Support/Tarnwick");
}

}  // namespace tarnwick
