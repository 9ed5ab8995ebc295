#include "frames.h"

namespace tarnwick::testing {

std::optional<std::vector<bool>> parseReplies(std::string_view stream) {
  std::vector<bool> flags;
  while (!stream.empty()) {
    if (stream.substr(0, kOkTrue.size()) == kOkTrue) {
      flags.push_back(true);
      stream.remove_prefix(kOkTrue.size());
    } else if (stream.substr(0, kOkFalse.size()) == kOkFalse) {
      flags.push_back(false);
      stream.remove_prefix(kOkFalse.size());
    } else {
      return std::nullopt;
    }
  }
  return flags;
}

std::string replies(const std::string& reply, int count) {
  std::string all;
  for (int i = 0; i < count; ++i) all += reply;
  return all;
}

std::string deepArray(std::size_t size) {
  return std::string(size / 2, '[') + std::string(size / 2, ']');
}

}  // namespace tarnwick::testing
