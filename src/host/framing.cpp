#include "host/framing.h"

#include <cstring>

namespace tarnwick {

std::optional<std::string> readExactly(Platform& platform, std::size_t count) {
  std::string buffer(count, '\0');
  std::size_t held = 0;
  while (held < count) {
    const std::size_t got = platform.readInput(std::span<char>(buffer).subspan(held));
    if (got == 0) return std::nullopt;
    held += got;
  }
  return buffer;
}

std::optional<std::string> readMessage(Platform& platform) {
  const std::optional<std::string> header = readExactly(platform, sizeof(std::uint32_t));
  if (!header) return std::nullopt;
  std::uint32_t length = 0;
  std::memcpy(&length, header->data(), sizeof length);  // native byte order
  if (length == 0 || length > kMaxInboundLength) return std::nullopt;
  return readExactly(platform, length);
}

bool sendReply(Platform& platform, bool ok) {
  const std::optional<std::string> body = platform.encodeJson({{"ok", ok}}, KeyOrder::AsGiven);
  if (!body) return true;  // nothing to send, but the stream is still fine
  const auto length = static_cast<std::uint32_t>(body->size());
  char header[sizeof length];
  std::memcpy(header, &length, sizeof length);
  return platform.writeOutput(std::string_view(header, sizeof header)) &&
         platform.writeOutput(*body);
}

}  // namespace tarnwick
