// The parts of the platform that are the same everywhere: the JSON codec and
// path joining.
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

namespace tarnwick {
namespace {

using nlohmann::json;

// Collects the top-level string members of an object while the parser walks
// the text, so that a deeply nested value costs one bit per level inside the
// parser and nothing here.
class TopLevelMembers {
 public:
  MessageObject members;

  bool null() { return scalar(); }
  bool boolean(bool) { return scalar(); }
  bool number_integer(json::number_integer_t) { return scalar(); }
  bool number_unsigned(json::number_unsigned_t) { return scalar(); }
  bool number_float(json::number_float_t, const json::string_t&) { return scalar(); }
  bool binary(json::binary_t&) { return scalar(); }

  bool string(json::string_t& value) {
    if (depth_ == 0) return false;  // a top-level string is refused
    if (isTopLevelMember()) members.insert_or_assign(key_, std::move(value));
    return true;
  }

  bool start_object(std::size_t) { return open(false); }
  bool start_array(std::size_t) { return open(true); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(json::string_t& name) {
    if (depth_ == 1) key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

 private:
  bool isTopLevelMember() const { return depth_ == 1 && topIsObject_; }

  // A value that is not a string replaces any earlier string under its key.
  void dropCurrentKey() {
    if (isTopLevelMember()) members.erase(key_);
  }

  bool scalar() {
    if (depth_ == 0) return false;  // top-level scalars are refused
    dropCurrentKey();
    return true;
  }

  bool open(bool isArray) {
    if (depth_ == 0) {
      topIsObject_ = !isArray;
    } else {
      dropCurrentKey();
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  std::size_t depth_ = 0;
  bool topIsObject_ = false;
  std::string key_;
};

}  // namespace

std::optional<std::string_view> stringField(const MessageObject& message, std::string_view key) {
  const auto found = message.find(key);
  if (found == message.end()) return std::nullopt;
  return std::string_view(found->second);
}

std::string joinPath(std::string_view base, std::string_view relative) {
  std::string path;
  path.reserve(base.size() + 1 + relative.size());
  path.append(base);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}

std::optional<MessageObject> Platform::decodeJson(std::string_view text) {
  // A raw NUL byte is never valid JSON, but the parser takes it for the end
  // of the input and would accept whatever follows it.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  try {
    TopLevelMembers collector;
    if (!json::sax_parse(text.begin(), text.end(), &collector, json::input_format_t::json,
                         /*strict=*/true,
                         /*ignore_comments=*/false)) {
      return std::nullopt;
    }
    return std::move(collector.members);
  } catch (...) {
    // Only running out of memory can get here; it is a failed decode.
    return std::nullopt;
  }
}

std::optional<std::string> Platform::encodeJson(const JsonObject& object, KeyOrder order) {
  try {
    std::vector<const JsonObject::value_type*> members;
    members.reserve(object.size());
    for (const auto& member : object) members.push_back(&member);
    if (order == KeyOrder::Sorted) {
      std::stable_sort(members.begin(), members.end(),
                       [](const auto* a, const auto* b) { return a->first < b->first; });
    }
    nlohmann::ordered_json encoded = nlohmann::ordered_json::object();
    for (const auto* member : members) {
      if (const double* number = std::get_if<double>(&member->second);
          number != nullptr && !std::isfinite(*number)) {
        return std::nullopt;  // JSON has no text for NaN or infinity
      }
      std::visit([&](const auto& value) { encoded[member->first] = value; }, member->second);
    }
    return encoded.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
  } catch (...) {
    // Invalid UTF-8 in a string, or no memory: the encoding fails.
    return std::nullopt;
  }
}

}  // namespace tarnwick
