// The parts of the platform that are the same everywhere: the JSON codec and
// path joining.
#include "platform/platform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
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

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// it is not one (overlong forms, surrogates and code points past U+10FFFF are
// not valid).
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](std::size_t i) {
    return i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    if (!continuation(1) || !continuation(2)) return 0;
    if (lead == 0xE0 && byte(1) < 0xA0) return 0;   // overlong
    if (lead == 0xED && byte(1) >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
    if (lead == 0xF0 && byte(1) < 0x90) return 0;   // overlong
    if (lead == 0xF4 && byte(1) >= 0x90) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

// Appends `text` as a JSON string. Runs of characters that need no escape
// are copied whole. Fails on text that is not valid UTF-8.
bool appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t runStart = 0, at = 0;
  while (at < text.size()) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
      ++at;
      continue;
    }
    if (c >= 0x80) {
      const std::size_t length = utf8SequenceLength(text.substr(at));
      if (length == 0) return false;
      at += length;
      continue;
    }
    out.append(text, runStart, at - runStart);
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
    runStart = ++at;
  }
  out.append(text, runStart, at - runStart);
  out.push_back('"');
  return true;
}

bool appendValue(std::string& out, std::string_view text) { return appendString(out, text); }

bool appendValue(std::string& out, bool value) {
  out.append(value ? "true" : "false");
  return true;
}

// The shortest text that reads back as the same double (the JSON library's
// Grisu2 formatting), always with a fraction or an exponent so that it reads
// as a floating-point number: 1700000000.25, 1700000000.0, 1e+300.
bool appendValue(std::string& out, double value) {
  if (!std::isfinite(value)) return false;  // JSON has no text for these
  char text[64];
  const char* end = nlohmann::detail::to_chars(text, text + sizeof text, value);
  out.append(text, static_cast<std::size_t>(end - text));
  return true;
}

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
    // Only sorted output needs a copy, and the object only holds views.
    JsonObject sorted;
    const JsonObject* members = &object;
    if (order == KeyOrder::Sorted) {
      sorted = object;
      std::stable_sort(sorted.begin(), sorted.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      members = &sorted;
    }
    std::size_t size = 2;
    for (const auto& [key, value] : *members) {
      size += key.size() + 4 + 32;
      if (const auto* text = std::get_if<std::string_view>(&value)) size += text->size() + 2;
    }
    std::string encoded;
    encoded.reserve(size);
    encoded.push_back('{');
    for (const auto& [key, value] : *members) {
      if (encoded.size() > 1) encoded.push_back(',');
      if (!appendString(encoded, key)) return std::nullopt;
      encoded.push_back(':');
      const bool written =
          std::visit([&](auto scalar) { return appendValue(encoded, scalar); }, value);
      if (!written) return std::nullopt;
    }
    encoded.push_back('}');
    return encoded;
  } catch (...) {
    return std::nullopt;  // no memory
  }
}

}  // namespace tarnwick
