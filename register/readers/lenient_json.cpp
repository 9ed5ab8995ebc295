#include "lenient_json.h"

#include <cmath>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "util/hex.h"
#include "util/utf8.h"

namespace tarnwick::registration {
namespace {

// base/json/json_common.h, kAbsoluteMaxDepth: the levels a document may
// nest, the top level counting as one.
constexpr int kMaxDepth = 200;

// A recursive-descent reader that follows serde_json_lenient step by step,
// so that it fails exactly where the crate fails.
class Reader {
 public:
  Reader(std::string_view text, TrailingCommas commas) : text_(text), commas_(commas) {}

  std::optional<nlohmann::json> read() {
    // The wrapper drops one byte order mark before the crate sees the text.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;
    nlohmann::json value;
    // The top level has the whole budget but one (visitor.rs, ValueVisitor::new).
    if (!skipSpace() || atEnd() || !parseValue(value, kMaxDepth - 1)) return std::nullopt;
    if (!skipSpace() || !atEnd()) return std::nullopt;
    return value;
  }

 private:
  bool atEnd() const { return at_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[at_]; }

  // de.rs, parse_whitespace: blanks and comments; false for a comment that
  // is broken or never ends. A "//" comment that runs to the end of the
  // text ends the text.
  bool skipSpace() {
    while (!atEnd()) {
      const char c = text_[at_];
      if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        ++at_;
        continue;
      }
      if (c != '/') return true;
      ++at_;
      if (peek() == '/') {
        const std::size_t end = text_.find('\n', at_);
        at_ = end == std::string_view::npos ? text_.size() : end + 1;
      } else if (peek() == '*') {
        // The star after the slash is not consumed first, so it may be the
        // star of the closing "*/".
        while (true) {
          if (atEnd()) return false;
          if (text_[at_++] != '*') continue;
          if (atEnd()) return false;
          if (text_[at_] == '/') {
            ++at_;
            break;
          }
        }
      } else {
        return false;  // a slash that starts no comment
      }
    }
    return true;
  }

  // `budget`: how many more levels the value may open below itself.
  bool parseValue(nlohmann::json& value, int budget) {
    switch (peek()) {
      case '[':
      case '{':
        return parseContainer(value, budget);
      case '"': {
        std::string text;
        if (!parseString(text)) return false;
        value = std::move(text);
        return true;
      }
      case 't':
        return parseWord("true", true, value);
      case 'f':
        return parseWord("false", false, value);
      case 'n':
        return parseWord("null", nullptr, value);
      default:
        return parseNumber(value);
    }
  }

  bool parseWord(std::string_view word, nlohmann::json literal, nlohmann::json& value) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    value = std::move(literal);
    return true;
  }

  // An object or an array, from its opening bracket: members (a key, a
  // colon, a value) or elements, separated by commas, with one after the
  // last where trailing commas are allowed. visitor.rs: a container spends
  // a level as it opens, empty or not, and fails when none is left
  // ("recursion limit exceeded").
  bool parseContainer(nlohmann::json& value, int budget) {
    if (budget < 1) return false;
    const bool object = text_[at_++] == '{';
    const char close = object ? '}' : ']';
    value = object ? nlohmann::json::object() : nlohmann::json::array();
    for (bool first = true;; first = false) {
      if (!skipSpace() || atEnd()) return false;
      if (peek() == close) {
        ++at_;
        return true;
      }
      if (!first) {
        if (peek() != ',') return false;
        ++at_;
        if (!skipSpace() || atEnd()) return false;
        if (peek() == close) {
          if (commas_ != TrailingCommas::Allowed) return false;
          ++at_;
          return true;
        }
      }
      std::string key;
      if (object) {
        if (peek() != '"' || !parseString(key)) return false;  // a key must be a string
        if (!skipSpace() || peek() != ':') return false;
        ++at_;
        if (!skipSpace() || atEnd()) return false;
      }
      nlohmann::json element;
      if (!parseValue(element, budget - 1)) return false;
      if (object) {
        value[key] = std::move(element);  // a repeated key: the last wins
      } else {
        value.push_back(std::move(element));
      }
    }
  }

  bool hexDigits(int count, unsigned& value) {
    const auto length = static_cast<std::size_t>(count);
    if (text_.size() - at_ < length || !hexNumber(text_.substr(at_, length), &value)) return false;
    at_ += length;
    return true;
  }

  // read.rs, parse_str_bytes: raw bytes up to the closing quote, each run of
  // them valid UTF-8 on its own (an escape always yields whole characters,
  // so it can neither complete nor continue a sequence), carriage returns
  // and line feeds allowed raw, every other control character refused.
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
        if (c != '\r' && c != '\n') return false;
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

  // read.rs, parse_escape, with \x allowed and \v not.
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
      case 'x': {  // a code point below 256, never invalid
        unsigned code = 0;
        if (!hexDigits(2, code)) return false;
        appendUtf8(out, code);
        return true;
      }
      case 'u': {
        unsigned unit = 0;
        if (!hexDigits(4, unit)) return false;
        // Only another \u escape may follow a high surrogate, and it must
        // be the low half.
        const std::optional<unsigned> codePoint = escapedCodePoint(unit, [&](unsigned& low) {
          if (text_.substr(at_, 2) != "\\u") return false;
          at_ += 2;
          return hexDigits(4, low);
        });
        if (!codePoint) return false;
        appendUtf8(out, *codePoint);
        return true;
      }
      default:
        return false;
    }
  }

  // de.rs, parse_integer and what follows it: an optional minus, no leading
  // zero before another digit, a fraction and an exponent each with at
  // least one digit; a value too large for a double fails, one too small
  // is zero.
  bool parseNumber(nlohmann::json& value) {
    const std::size_t start = at_;
    const auto digits = [&] {
      const std::size_t from = at_;
      while (!atEnd() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
      return at_ > from;
    };
    if (peek() == '-') ++at_;
    if (peek() == '0') {
      ++at_;
      if (peek() >= '0' && peek() <= '9') return false;
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
    // The wrapper keeps what fits 32 bits as an integer, the rest as a double.
    if (integral && parsed >= -2147483648.0 && parsed <= 2147483647.0) {
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
