// What the fuzz targets share: splitting a stream into frames the way the
// host must, and the oracle that says what a body should decode to.
#pragma once

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/framing.h"

namespace tarnwick::fuzzing {

// Aborts with a message: the property named did not hold.
[[noreturn]] inline void violated(const char* property) {
  std::fprintf(stderr, "property violated: %s\n", property);
  std::abort();
}

inline void require(bool holds, const char* property) {
  if (!holds) violated(property);
}

struct SplitStream {
  std::vector<std::string_view> bodies;  // every whole, accepted frame
  std::size_t consumed = 0;              // how far the host may read
};

// The frames of `stream` in order, up to the first refused length (whose
// header is read, its body not) or the first frame cut short (read to the end).
inline SplitStream splitFrames(std::string_view stream) {
  SplitStream split;
  std::size_t at = 0;
  while (true) {
    if (stream.size() - at < 4) {
      split.consumed = stream.size();
      return split;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, stream.data() + at, 4);
    if (length == 0 || length > kMaxInboundLength) {
      split.consumed = at + 4;
      return split;
    }
    if (stream.size() - at - 4 < length) {
      split.consumed = stream.size();
      return split;
    }
    split.bodies.push_back(stream.substr(at + 4, length));
    at += 4 + length;
  }
}

// The reference decoding, by the JSON library's own strict parser building
// its whole tree: the top-level string members that a request keeps, or
// nothing when the body must be refused.
inline std::optional<std::map<std::string, std::string>> referenceDecode(std::string_view body) {
  if (body.find('\0') != std::string_view::npos) return std::nullopt;
  const auto parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded() || !(parsed.is_object() || parsed.is_array())) return std::nullopt;
  std::map<std::string, std::string> members;
  if (parsed.is_object()) {
    for (const auto& [key, value] : parsed.items()) {
      const bool kept = std::find(std::begin(kRequestKeys), std::end(kRequestKeys), key) !=
                        std::end(kRequestKeys);
      if (kept && value.is_string()) members[key] = value.get<std::string>();
    }
  }
  return members;
}

}  // namespace tarnwick::fuzzing
