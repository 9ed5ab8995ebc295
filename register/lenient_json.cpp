#include "lenient_json.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "util/utf8.h"

namespace tarnwick::registration {
namespace {

// The browsers' limit (base/json/json_common.h, kAbsoluteMaxDepth).
constexpr int kMaxDepth = 200;

class Reader {
 public:
  Reader(std::string_view text, TrailingCommas commas) : text_(text), commas_(commas) {}

  std::optional<nlohmann::json> read() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    nlohmann::json value;
    if (!skipSpace() || !parseValue(value, 0) || !skipSpace() || at_ != text_.size()) {
      return std::nullopt;
    }
    return value;
  }

 private:
  bool atEnd() const { return at_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[at_]; }

  // Whitespace and comments; false for a comment that never ends.
  bool skipSpace() {
    while (!atEnd()) {
      const char c = text_[at_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++at_;
      } else if (text_.substr(at_, 2) == "//") {
        const std::size_t end = text_.find_first_of("\r\n", at_);
        at_ = end == std::string_view::npos ? text_.size() : end;
      } else if (text_.substr(at_, 2) == "/*") {
        const std::size_t end = text_.find("*/", at_ + 2);
        if (end == std::string_view::npos) return false;
        at_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  bool parseValue(nlohmann::json& value, int depth) {
    switch (peek()) {
      case '{':
      case '[':
        return parseContainer(value, depth + 1);
      case '"': {
        std::string text;
        if (!parseString(text)) return false;
        value = std::move(text);
        return true;
      }
      default:
        return parseLiteral(value);
    }
  }

  // An object or an array, from its opening bracket: members (a key, a
  // colon, a value) or elements, separated by commas, with one after the
  // last where trailing commas are allowed.
  bool parseContainer(nlohmann::json& value, int depth) {
    if (depth > kMaxDepth) return false;
    const bool object = text_[at_++] == '{';
    const char close = object ? '}' : ']';
    value = object ? nlohmann::json::object() : nlohmann::json::array();
    if (!skipSpace()) return false;
    bool first = true;
    while (true) {
      if (peek() == close && (first || commas_ == TrailingCommas::Allowed)) {
        ++at_;
        return true;
      }
      std::string key;
      if (object) {
        if (peek() != '"' || !parseString(key) || !skipSpace() || peek() != ':') return false;
        ++at_;
        if (!skipSpace()) return false;
      }
      nlohmann::json element;
      if (!parseValue(element, depth) || !skipSpace()) return false;
      if (object) {
        value[key] = std::move(element);  // a repeated key: the last wins
      } else {
        value.push_back(std::move(element));
      }
      if (peek() == close) {
        ++at_;
        return true;
      }
      if (peek() != ',') return false;
      ++at_;
      if (!skipSpace()) return false;
      first = false;
    }
  }

  static int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hexDigits(int count, unsigned& value) {
    if (text_.size() - at_ < static_cast<std::size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
      const int digit = hexValue(text_[at_++]);
      if (digit < 0) return false;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    return true;
  }

  bool parseString(std::string& out) {
    ++at_;  // the opening quote
    while (!atEnd()) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') {
        ++at_;
        return true;
      }
      if (c == '\\') {
        ++at_;
        if (!parseEscape(out)) return false;
      } else if (c < 0x20) {
        if (c != '\r' && c != '\n') return false;  // JSON_ALLOW_NEWLINES_IN_STRINGS only
        out.push_back(static_cast<char>(c));
        ++at_;
      } else if (c < 0x80) {
        out.push_back(static_cast<char>(c));
        ++at_;
      } else {
        const std::size_t length = utf8SequenceLength(text_.substr(at_));
        if (length == 0) return false;
        out.append(text_.substr(at_, length));
        at_ += length;
      }
    }
    return false;
  }

  bool parseEscape(std::string& out) {
    if (atEnd()) return false;
    const char c = text_[at_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out.push_back(c);
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'x': {  // JSON_ALLOW_X_ESCAPES: a code point below 256
        unsigned code = 0;
        if (!hexDigits(2, code)) return false;
        appendUtf8(out, code);
        return true;
      }
      case 'u': {
        unsigned unit = 0;
        if (!hexDigits(4, unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // a low surrogate alone
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          unsigned low = 0;
          if (text_.substr(at_, 2) != "\\u") return false;
          at_ += 2;
          if (!hexDigits(4, low) || low < 0xDC00 || low > 0xDFFF) return false;
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        appendUtf8(out, unit);
        return true;
      }
      default:
        return false;
    }
  }

  // true, false, null or a number.
  bool parseLiteral(nlohmann::json& value) {
    for (const auto& [word, literal] : {std::pair<std::string_view, nlohmann::json>{"true", true},
                                        {"false", false},
                                        {"null", nullptr}}) {
      if (text_.substr(at_, word.size()) == word) {
        at_ += word.size();
        value = literal;
        return true;
      }
    }
    const std::size_t start = at_;
    const auto digits = [&] {
      const std::size_t from = at_;
      while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
    } else if (!digits()) {
      return false;
    }
    bool integral = true;
    if (peek() == '.') {
      ++at_;
      integral = false;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++at_;
      integral = false;
      if (peek() == '+' || peek() == '-') ++at_;
      if (!digits()) return false;
    }
    const std::string number(text_.substr(start, at_ - start));
    const double parsed = std::strtod(number.c_str(), nullptr);
    if (!std::isfinite(parsed)) return false;
    if (integral && std::abs(parsed) < 9e15) {
      value = static_cast<long long>(parsed);
    } else {
      value = parsed;
    }
    return true;
  }

  std::string_view text_;
  TrailingCommas commas_;
  std::size_t at_ = 0;
};

}  // namespace

std::optional<nlohmann::json> readLenientJson(std::string_view text, TrailingCommas commas) {
  try {
    return Reader(text, commas).read();
  } catch (...) {
    return std::nullopt;  // no memory
  }
}

}  // namespace tarnwick::registration
