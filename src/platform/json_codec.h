// The JSON codec: requests in, flat objects out. It is pure computation, the
// same on every system, and the default of Platform::decodeJson and
// Platform::encodeJson.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace tarnwick {

// The request in `text`, as Platform::decodeJson describes it: one pass that
// validates the whole text strictly and keeps only the kRequestKeys members.
// A long member is cut out of `text` in place rather than copied.
std::optional<MessageObject> decodeRequest(std::string text);

// `object` as compact JSON text, as Platform::encodeJson describes it.
std::optional<std::string> encodeObject(const JsonObject& object, KeyOrder order);

}  // namespace tarnwick
