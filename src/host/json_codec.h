// The JSON codec: requests in, flat objects out. It is pure computation, the
// same on every system.
#pragma once

#include <optional>
#include <string>

#include "host/message.h"

namespace tarnwick {

// The request in `text`. Strict JSON (RFC 8259, UTF-8, a leading byte order
// mark allowed) is validated whole in one pass. The top level must be an
// object or an array: an array decodes to an empty message. Invalid UTF-8,
// raw NUL bytes, lone surrogate escapes, numbers too large for a double,
// trailing bytes and top-level scalars fail, as does anything that is not
// JSON. Nesting of any depth is handled without building the nested values.
// Only the kRequestKeys members are kept; the longest of them is cut out of
// `text` in place rather than copied, which is why the text is taken whole.
std::optional<MessageObject> decodeRequest(std::string text);

// Compact UTF-8 JSON text of `object`: no whitespace between tokens, numbers
// as the shortest text that reads back as the same double. Fails for text
// that is not valid UTF-8 and for numbers JSON cannot hold.
std::optional<std::string> encodeObject(const JsonObject& object, KeyOrder order);

// What the host encodes, named by the caller, so that a test can make the
// encoding of one of them fail.
enum class Document { Reply, BrowserStatus, CaptureRequest };

// The codec as the host and the handlers reach it. The strict codec is the
// two functions above; tests put one in its place that fails on demand.
class Codec {
 public:
  virtual ~Codec() = default;
  virtual std::optional<MessageObject> decode(std::string text) {
    return decodeRequest(std::move(text));
  }
  virtual std::optional<std::string> encode(const JsonObject& object, KeyOrder order,
                                            Document /*what*/) {
    return encodeObject(object, order);
  }
};

// The codec of the running host: decodeRequest and encodeObject.
Codec& strictCodec();

}  // namespace tarnwick
