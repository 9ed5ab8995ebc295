// Building frames for tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnwick::testing {

// Four length bytes in native byte order.
std::string lengthBytes(std::uint32_t length);

// A whole inbound frame carrying `body`.
std::string frame(std::string_view body);

// The exact reply frames.
inline const std::string kOkTrue = std::string("\x0B\x00\x00\x00", 4) + R"({"ok":true})";
inline const std::string kOkFalse = std::string("\x0C\x00\x00\x00", 4) + R"({"ok":false})";

// The same reply frame `count` times.
std::string replies(const std::string& reply, int count);

// A JSON array nested as deep as fits in `size` bytes.
std::string deepArray(std::size_t size);

}  // namespace tarnwick::testing
