// The JSON codec. Requests are decoded by a hand-written single pass that
// keeps only what the handlers read; flat objects are encoded directly.
#include "host/json_codec.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "util/hex.h"
#include "util/utf8.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick {
namespace {

// Advances over bytes that need no attention in a JSON string, read or
// written: printable ASCII other than the quote and the backslash. Sixteen
// at a time with SSE2 (a signed compare below 0x20 catches the control
// characters and every byte of 0x80 and above at once), eight at a time
// elsewhere; the last few, and a block that holds a byte to stop at, one by
// one.
const unsigned char* plainRun(const unsigned char* at, const unsigned char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                space = _mm_set1_epi8(0x20);
  while (end - at >= 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i stop =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)),
                     _mm_cmplt_epi8(block, space));
    const int mask = _mm_movemask_epi8(stop);
    if (mask != 0) return at + __builtin_ctz(static_cast<unsigned>(mask));
    at += 16;
  }
#else
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHighs = 0x8080808080808080ULL;
  while (end - at >= 8) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    const auto zeroIn = [&](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
    // A byte below 0x20, a quote, a backslash or a byte of 0x80 and above
    // (the test may also flag bytes after a true one: they are then looked
    // at one by one).
    if ((((word - 0x20 * kOnes) & ~word) | zeroIn(word ^ (0x22 * kOnes)) |
         zeroIn(word ^ (0x5C * kOnes)) | word) &
        kHighs) {
      break;
    }
    at += 8;
  }
#endif
  while (at != end && *at >= 0x20 && *at < 0x80 && *at != '"' && *at != '\\') ++at;
  return at;
}

// Appends `text` as a JSON string. Runs of characters that need no escape
// are copied whole. Fails on text that is not valid UTF-8.
bool appendString(std::string& out, std::string_view text) {
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t runStart = 0, at = 0;
  while (at < text.size()) {
    at = static_cast<std::size_t>(plainRun(bytes + at, bytes + text.size()) - bytes);
    if (at == text.size()) break;
    const auto c = static_cast<unsigned char>(text[at]);
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
        out.push_back(hexDigit(c >> 4U));
        out.push_back(hexDigit(c));
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

// The shortest text that reads back as the same double, as the JSON library
// writes a number, always with a fraction or an exponent so that it reads as
// a floating-point number: 1700000000.25, 1700000000.0, 1e+300.
bool appendValue(std::string& out, double value) {
  if (!std::isfinite(value)) return false;  // JSON has no text for these
  out.append(nlohmann::json(value).dump());
  return true;
}

// The decoder walks the text once, checking every byte against RFC 8259 as
// the JSON library does, and keeps only the string values of the members a
// request uses: views into the text where a string holds no escape, decoded
// copies where it does. Containers are tracked by one bit a level, so any
// depth that fits in a frame is handled in constant stack space.
class RequestDecoder {
 public:
  explicit RequestDecoder(std::string text)
      : text_(std::move(text)),
        at_(reinterpret_cast<const unsigned char*>(text_.data())),
        end_(at_ + text_.size()) {}

  std::optional<MessageObject> decode() {
    // The library skips a UTF-8 byte order mark at the very start.
    if (end_ - at_ >= 3 && at_[0] == 0xEF && at_[1] == 0xBB && at_[2] == 0xBF) at_ += 3;
    skipSpace();
    if (at_ == end_ || (*at_ != '{' && *at_ != '[')) return std::nullopt;  // no top-level scalar
    topIsObject_ = *at_ == '{';
    if (!walk()) return std::nullopt;
    skipSpace();
    if (at_ != end_) return std::nullopt;
    return message();
  }

 private:
  struct Member {
    bool present = false;
    bool escaped = false;
    std::string_view view;  // the text itself, when it holds no escape
    std::string decoded;    // the decoded text, when it does
  };

  static constexpr std::size_t kNoMember = std::size(kRequestKeys);
  static constexpr std::size_t kCutOutAtLeast = 64 * 1024;

  // The kept members. The longest one that is a plain view of the text (a
  // url filling the frame) takes the text's own buffer, cut down in place:
  // a copy would touch another megabyte of fresh memory.
  MessageObject message() {
    std::size_t longest = kNoMember;
    for (std::size_t i = 0; i < std::size(kRequestKeys); ++i) {
      const Member& member = members_[i];
      if (member.present && !member.escaped && member.view.size() >= kCutOutAtLeast &&
          (longest == kNoMember || member.view.size() > members_[longest].view.size())) {
        longest = i;
      }
    }
    MessageObject message;
    for (std::size_t i = 0; i < std::size(kRequestKeys); ++i) {
      if (members_[i].present && i != longest) {
        message.emplace(kRequestKeys[i], members_[i].escaped ? std::move(members_[i].decoded)
                                                             : std::string(members_[i].view));
      }
    }
    if (longest != kNoMember) {
      const std::string_view view = members_[longest].view;
      const auto offset = static_cast<std::size_t>(view.data() - text_.data());
      text_.erase(offset + view.size());
      text_.erase(0, offset);
      message.emplace(kRequestKeys[longest], std::move(text_));
    }
    return message;
  }

  void skipSpace() {
    while (at_ != end_ && (*at_ == ' ' || *at_ == '\n' || *at_ == '\r' || *at_ == '\t')) ++at_;
  }

  bool take(unsigned char c) {
    skipSpace();
    if (at_ == end_ || *at_ != c) return false;
    ++at_;
    return true;
  }

  // One bit a level: set for an array, clear for an object. Its words are
  // reserved for the deepest nesting the text can hold, so pushing never
  // reallocates.
  class Levels {
   public:
    explicit Levels(std::size_t most) { words_.resize(most / 64 + 1); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    bool back() const { return ((words_[(size_ - 1) >> 6] >> ((size_ - 1) & 63)) & 1U) != 0; }
    void push(bool array) {
      std::uint64_t& word = words_[size_ >> 6];
      const std::uint64_t bit = std::uint64_t{1} << (size_ & 63);
      word = array ? (word | bit) : (word & ~bit);
      ++size_;
    }
    void pop() { --size_; }

   private:
    std::vector<std::uint64_t> words_;
    std::size_t size_ = 0;
  };

  // Every container, from the top-level one on, iteratively.
  bool walk() {
    Levels levels(static_cast<std::size_t>(end_ - at_));
    std::size_t member = kNoMember;
    while (true) {
      // A value is expected here.
      skipSpace();
      if (at_ == end_) return false;
      const unsigned char c = *at_;
      const bool topMember = levels.size() == 1 && !levels.back();
      if (c == '{' || c == '[') {
        if (topMember && member != kNoMember) members_[member] = Member{};
        ++at_;
        levels.push(c == '[');
        // Arrays opened straight inside arrays, the deep case, in one run.
        if (c == '[') {
          while (at_ != end_ && *at_ == '[') {
            ++at_;
            levels.push(true);
          }
        }
        // The innermost container opened is of the kind of `c`.
        skipSpace();
        if (at_ != end_ && *at_ == (c == '[' ? ']' : '}')) {
          ++at_;
          levels.pop();
        } else if (c == '{') {
          if (!key(levels.size() == 1 && topIsObject_, member)) return false;
          continue;
        } else {
          continue;
        }
      } else if (c == '"') {
        ++at_;
        if (topMember && member != kNoMember) {
          Member& kept = members_[member];
          kept = Member{};
          kept.present = true;
          if (!string(&kept.view, &kept.decoded, kept.escaped)) return false;
        } else {
          bool escaped = false;
          if (!string(nullptr, nullptr, escaped)) return false;
        }
      } else {
        if (topMember && member != kNoMember) members_[member] = Member{};
        if (!scalar()) return false;
      }
      // After a value: a comma and the next one, or the end of containers.
      while (true) {
        if (levels.empty()) return true;
        skipSpace();
        if (at_ == end_) return false;
        if (*at_ == ',') {
          ++at_;
          if (!levels.back() && !key(levels.size() == 1 && topIsObject_, member)) return false;
          break;
        }
        if (*at_ != (levels.back() ? ']' : '}')) return false;
        ++at_;
        levels.pop();
        // Arrays closed straight after arrays, in one run.
        while (at_ != end_ && *at_ == ']' && !levels.empty() && levels.back()) {
          ++at_;
          levels.pop();
        }
      }
    }
  }

  // A member's key and its colon. `member` becomes the index of the kept key
  // it names, when it is a top-level member.
  bool key(bool topLevel, std::size_t& member) {
    member = kNoMember;
    if (!take('"')) return false;
    std::string_view view;
    std::string decoded;
    bool escaped = false;
    if (!string(&view, &decoded, escaped)) return false;
    if (topLevel) {
      const std::string_view name = escaped ? std::string_view(decoded) : view;
      for (std::size_t i = 0; i < std::size(kRequestKeys); ++i) {
        if (name == kRequestKeys[i]) member = i;
      }
    }
    return take(':');
  }

  // The rest of a string after its opening quote. With `view` and `decoded`
  // given, the text goes to the one or the other (`escaped` says which).
  bool string(std::string_view* view, std::string* decoded, bool& escaped) {
    const unsigned char* start = at_;
    while (true) {
      at_ = plainRun(at_, end_);
      if (at_ == end_) return false;
      const unsigned char c = *at_;
      if (c == '"') {
        if (view != nullptr && !escaped) {
          *view = std::string_view(reinterpret_cast<const char*>(start),
                                   static_cast<std::size_t>(at_ - start));
        } else if (decoded != nullptr) {
          decoded->append(reinterpret_cast<const char*>(start),
                          static_cast<std::size_t>(at_ - start));
        }
        ++at_;
        return true;
      }
      if (c < 0x20) return false;  // control characters must be escaped
      if (c >= 0x80) {
        const std::size_t length = utf8SequenceLength(std::string_view(
            reinterpret_cast<const char*>(at_), static_cast<std::size_t>(end_ - at_)));
        if (length == 0) return false;
        at_ += length;
        continue;
      }
      // A backslash: what came before it is plain text.
      if (decoded != nullptr) {
        decoded->append(reinterpret_cast<const char*>(start),
                        static_cast<std::size_t>(at_ - start));
      }
      escaped = true;
      ++at_;
      if (!escape(decoded)) return false;
      start = at_;
    }
  }

  // Four hex digits of a \u escape, after the "\u".
  bool codeUnit(unsigned& unit) {
    if (end_ - at_ < 4 || !hexNumber({reinterpret_cast<const char*>(at_), 4}, &unit)) return false;
    at_ += 4;
    return true;
  }

  // One escape after its backslash; its text is added to `decoded` if given.
  bool escape(std::string* decoded) {
    if (at_ == end_) return false;
    const unsigned char c = *at_++;
    char simple = 0;
    switch (c) {
      case '"':
        simple = '"';
        break;
      case '\\':
        simple = '\\';
        break;
      case '/':
        simple = '/';
        break;
      case 'b':
        simple = '\b';
        break;
      case 'f':
        simple = '\f';
        break;
      case 'n':
        simple = '\n';
        break;
      case 'r':
        simple = '\r';
        break;
      case 't':
        simple = '\t';
        break;
      case 'u':
        break;
      default:
        return false;
    }
    if (c != 'u') {
      if (decoded != nullptr) decoded->push_back(simple);
      return true;
    }
    unsigned unit = 0;
    if (!codeUnit(unit)) return false;
    const std::optional<unsigned> codePoint = escapedCodePoint(unit, [&](unsigned& low) {
      if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') return false;
      at_ += 2;
      return codeUnit(low);
    });
    if (!codePoint) return false;
    if (decoded != nullptr) appendUtf8(*decoded, *codePoint);
    return true;
  }

  // true, false, null or a number.
  bool scalar() {
    for (const std::string_view word : {"true", "false", "null"}) {
      if (static_cast<std::size_t>(end_ - at_) >= word.size() &&
          std::memcmp(at_, word.data(), word.size()) == 0) {
        at_ += word.size();
        return true;
      }
    }
    return number();
  }

  static bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? whose value is a finite
  // double: the library refuses a number that overflows.
  bool number() {
    const unsigned char* start = at_;
    if (at_ != end_ && *at_ == '-') ++at_;
    if (at_ == end_ || !isDigit(*at_)) return false;
    if (*at_ == '0') {
      ++at_;
    } else {
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    if (at_ != end_ && *at_ == '.') {
      ++at_;
      if (at_ == end_ || !isDigit(*at_)) return false;
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    bool exponent = false;
    if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
      exponent = true;
      ++at_;
      if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
      if (at_ == end_ || !isDigit(*at_)) return false;
      while (at_ != end_ && isDigit(*at_)) ++at_;
    }
    // Fewer than 300 characters without an exponent cannot exceed 1e308.
    const auto length = static_cast<std::size_t>(at_ - start);
    if (!exponent && length < 300) return true;
    const std::string digits(reinterpret_cast<const char*>(start), length);
    return std::isfinite(std::strtod(digits.c_str(), nullptr));
  }

  std::string text_;
  const unsigned char* at_;
  const unsigned char* end_;
  bool topIsObject_ = false;
  Member members_[std::size(kRequestKeys)];
};

}  // namespace

std::optional<MessageObject> decodeRequest(std::string text) {
  try {
    return RequestDecoder(std::move(text)).decode();
  } catch (...) {
    return std::nullopt;  // no memory: a failed decode
  }
}

std::optional<std::string> encodeObject(const JsonObject& object, KeyOrder order) {
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
