// Building frames for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/framing.h"

namespace tarnwick::testing {

using tarnwick::frame;
using tarnwick::lengthBytes;

// The exact reply frames, spelt out byte by byte rather than built by the
// code under test.
inline const std::string kOkTrue = std::string("\x0B\x00\x00\x00", 4) + R"({"ok":true})";
inline const std::string kOkFalse = std::string("\x0C\x00\x00\x00", 4) + R"({"ok":false})";

// The ok flags of a stream of reply frames, or nothing if the stream holds
// anything but whole, exact reply frames.
std::optional<std::vector<bool>> parseReplies(std::string_view stream);

// The same reply frame `count` times.
std::string replies(const std::string& reply, int count);

// A JSON array nested as deep as fits in `size` bytes.
std::string deepArray(std::size_t size);

}  // namespace tarnwick::testing
