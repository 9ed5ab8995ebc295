// The shape of a request, as the host and its handlers see it once decoded,
// and of the flat objects they write.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwick {

// The members of a request that anything reads; a decoded request keeps
// these and no other.
inline constexpr std::string_view kRequestKeys[] = {"type", "browser", "url", "filename",
                                                    "referrer"};

// A decoded request: those of its kRequestKeys members, at the top level of
// the JSON object, whose values are strings. A member whose value is a
// number, boolean, null, array or object is not a string field and is absent
// here, so it can never be taken for one. When a key repeats, the last
// occurrence wins.
using MessageObject = std::map<std::string, std::string, std::less<>>;

// The value of a string field, or nothing when `key` is absent or not a
// string. Keys match exactly, case included.
inline std::optional<std::string_view> stringField(const MessageObject& message,
                                                   std::string_view key) {
  const auto found = message.find(key);
  if (found == message.end()) return std::nullopt;
  return std::string_view(found->second);
}

// A flat object to encode: members in the order given, each a string, a
// number or a boolean. It only views its text, which must outlive it.
using JsonValue = std::variant<std::string_view, double, bool>;
using JsonObject = std::vector<std::pair<std::string_view, JsonValue>>;

enum class KeyOrder { AsGiven, Sorted };

}  // namespace tarnwick
