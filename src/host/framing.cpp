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

std::string lengthBytes(std::uint32_t length) {
  std::string bytes(sizeof length, '\0');
  std::memcpy(bytes.data(), &length, sizeof length);  // native byte order
  return bytes;
}

std::string frame(std::string_view body) {
  return lengthBytes(static_cast<std::uint32_t>(body.size())).append(body);
}

bool sendReply(Platform& platform, bool ok) {
  const std::string_view body = ok ? kReplyTrue : kReplyFalse;
  return platform.writeOutput(lengthBytes(static_cast<std::uint32_t>(body.size()))) &&
         platform.writeOutput(body);
}

}  // namespace tarnwick
