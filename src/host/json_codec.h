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

}  // namespace tarnwick
