// The request decoder as it was first written, on the JSON library's own
// strict SAX parser: the reference that the hand-written decoder is checked
// against (by the decode fuzz target on every input, and by the tests), so
// that both accept exactly the same bodies and read the same members.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "host/message.h"

namespace tarnwick::testing {
namespace reference {

using nlohmann::json;

// Collects the top-level string members of an object while the parser walks
// the text, so that a deeply nested value costs one bit per level inside the
// parser and nothing here.
class TopLevelMembers {
 public:
  MessageObject members;  // every top-level string member

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

}  // namespace reference

// Every top-level string member of the body, or nothing when the library
// refuses it (or it holds a raw NUL, which the library takes for the end).
inline std::optional<MessageObject> referenceDecode(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  reference::TopLevelMembers collector;
  if (!reference::json::sax_parse(text.begin(), text.end(), &collector,
                                  reference::json::input_format_t::json, /*strict=*/true,
                                  /*ignore_comments=*/false)) {
    return std::nullopt;
  }
  return std::move(collector.members);
}

// The same, narrowed to the members a request keeps.
inline std::optional<MessageObject> referenceRequest(std::string_view text) {
  std::optional<MessageObject> all = referenceDecode(text);
  if (!all) return all;
  MessageObject kept;
  for (const std::string_view key : kRequestKeys) {
    if (const auto found = all->find(key); found != all->end())
      kept.emplace(found->first, found->second);
  }
  return kept;
}

}  // namespace tarnwick::testing
