// Frames on the standard streams: a 4-byte unsigned length in the machine's
// native byte order, then that many bytes of JSON text. Frames follow one
// another with nothing in between, in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/json_codec.h"
#include "platform/platform.h"

namespace tarnwick {

// Inbound lengths outside 1 to kMaxInboundLength end the session.
inline constexpr std::uint32_t kMaxInboundLength = 0xFFFFF;  // 1 MiB - 1

// The two reply bodies there are.
inline constexpr std::string_view kReplyTrue = R"({"ok":true})";
inline constexpr std::string_view kReplyFalse = R"({"ok":false})";

// The four length bytes of a frame, in native byte order.
std::string lengthBytes(std::uint32_t length);

// A whole frame carrying `body` (of at most 4 GiB - 1 bytes), for those
// that talk to a host: its length bytes, then the body.
std::string frame(std::string_view body);

// Exactly `count` (at least 1) bytes from standard input, or nothing once the
// input ends first, in which case the bytes gathered are dropped. No read asks
// for more than the bytes still missing, so the next field stays unread.
std::optional<std::string> readExactly(Platform& platform, std::size_t count);

// The body of the next inbound frame, or nothing when the session must end:
// the input ended (possibly part-way through the frame) or the length is
// refused, in which case no byte of the body is read.
std::optional<std::string> readMessage(Platform& platform);

// Writes {"ok":true} or {"ok":false} (kReplyTrue, kReplyFalse) as one frame:
// the length, then the body, as two writes. Returns false when standard
// output can no longer be written.
bool sendReply(Platform& platform, bool ok);

}  // namespace tarnwick
