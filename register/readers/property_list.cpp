#include "property_list.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "util/utf8.h"

namespace tarnwick::registration {
namespace {

constexpr int kMaxDepth = 200;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':';
}

struct Tag {
  std::string_view name;
  bool closing = false;      // </name>
  bool selfClosing = false;  // <name/>
};

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<nlohmann::json> document() {
    skipMarkup();
    Tag plist;
    if (!tag(&plist) || plist.name != "plist" || plist.closing || plist.selfClosing) return {};
    std::optional<nlohmann::json> value = element(0);
    if (!value || !closes("plist")) return {};
    skipMarkup();
    if (at_ != text_.size()) return {};
    return value;
  }

 private:
  bool startsWith(std::string_view prefix) const {
    return text_.substr(at_).substr(0, prefix.size()) == prefix;
  }

  // Moves past `end`, which must come; false when it never does.
  bool skipPast(std::string_view end) {
    const std::size_t found = text_.find(end, at_);
    if (found == std::string_view::npos) return false;
    at_ = found + end.size();
    return true;
  }

  // Whitespace and comments, which may stand between any two elements.
  bool skipSpace() {
    for (;;) {
      while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
      if (!startsWith("<!--")) return true;
      if (!skipPast("-->")) return false;
    }
  }

  // Before and after the root element, processing instructions and the
  // document type may stand too.
  void skipMarkup() {
    for (;;) {
      if (!skipSpace()) return;
      if (startsWith("<?")) {
        if (!skipPast("?>")) return;
      } else if (startsWith("<!DOCTYPE")) {
        // It ends at the first ">" outside its quoted names and its subset.
        char quote = 0;
        bool subset = false;
        std::size_t end = at_ + 9;
        for (; end < text_.size(); ++end) {
          const char c = text_[end];
          if (quote != 0) {
            if (c == quote) quote = 0;
          } else if (c == '"' || c == '\'') {
            quote = c;
          } else if (c == '[' || c == ']') {
            subset = c == '[';
          } else if (c == '>' && !subset) {
            break;
          }
        }
        if (end >= text_.size()) return;
        at_ = end + 1;
      } else {
        return;
      }
    }
  }

  // The tag at the reading position, its attributes skipped.
  bool tag(Tag* result) {
    if (!skipSpace() || at_ >= text_.size() || text_[at_] != '<') return false;
    ++at_;
    if (at_ < text_.size() && text_[at_] == '/') {
      result->closing = true;
      ++at_;
    }
    const std::size_t start = at_;
    while (at_ < text_.size() && isNameCharacter(text_[at_])) ++at_;
    result->name = text_.substr(start, at_ - start);
    if (result->name.empty()) return false;
    for (;;) {
      while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
      if (at_ >= text_.size()) return false;
      if (text_[at_] == '>') {
        ++at_;
        return true;
      }
      if (startsWith("/>") && !result->closing) {
        result->selfClosing = true;
        at_ += 2;
        return true;
      }
      // An attribute: name="value" or name='value'.
      const std::size_t name = at_;
      while (at_ < text_.size() && isNameCharacter(text_[at_])) ++at_;
      if (at_ == name || result->closing) return false;
      while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
      if (at_ >= text_.size() || text_[at_] != '=') return false;
      ++at_;
      while (at_ < text_.size() && isSpace(text_[at_])) ++at_;
      if (at_ >= text_.size() || (text_[at_] != '"' && text_[at_] != '\'')) return false;
      const char quote = text_[at_++];
      const std::size_t end = text_.find(quote, at_);
      if (end == std::string_view::npos) return false;
      at_ = end + 1;
    }
  }

  bool closes(std::string_view name) {
    Tag end;
    return tag(&end) && end.closing && end.name == name;
  }

  // One entity after its "&": the named five or a character reference.
  bool entity(std::string* out) {
    const std::size_t end = text_.find(';', at_);
    if (end == std::string_view::npos) return false;
    const std::string_view name = text_.substr(at_, end - at_);
    at_ = end + 1;
    const std::pair<std::string_view, char> named[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entityName, character] : named) {
      if (name == entityName) {
        out->push_back(character);
        return true;
      }
    }
    if (name.size() < 2 || name[0] != '#') return false;
    const bool hex = name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    std::uint32_t codePoint = 0;
    const auto [last, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), codePoint, hex ? 16 : 10);
    if (digits.empty() || error != std::errc() || last != digits.data() + digits.size() ||
        codePoint == 0 || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    appendUtf8(*out, codePoint);
    return true;
  }

  // The character data up to the next tag.
  bool text(std::string* out) {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '&') {
        ++at_;
        if (!entity(out)) return false;
      } else if (startsWith("<![CDATA[")) {
        const std::size_t start = at_ + 9;
        if (!skipPast("]]>")) return false;
        out->append(text_.substr(start, at_ - 3 - start));
      } else if (startsWith("<!--")) {
        if (!skipPast("-->")) return false;
      } else if (c == '<') {
        return true;
      } else {
        out->push_back(c);
        ++at_;
      }
    }
    return false;
  }

  // The text of a leaf element that has been opened, through its end tag.
  std::optional<std::string> leaf(const Tag& open) {
    std::string content;
    if (!open.selfClosing && (!text(&content) || !closes(open.name))) return {};
    return content;
  }

  static std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
  }

  static std::optional<nlohmann::json> integer(std::string_view digits) {
    digits = trimmed(digits);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    const char* const end = digits.data() + digits.size();
    if (std::int64_t value = 0; !digits.empty() && digits.front() == '-') {
      const auto [last, error] = std::from_chars(digits.data(), end, value);
      if (error == std::errc() && last == end) return nlohmann::json(value);
    } else if (std::uint64_t unsignedValue = 0; !digits.empty()) {
      const auto [last, error] = std::from_chars(digits.data(), end, unsignedValue);
      if (error == std::errc() && last == end) return nlohmann::json(unsignedValue);
    }
    return {};
  }

  // As CFPropertyList reads a real: strtod's syntax, in the C locale this
  // tool never leaves.
  static nlohmann::json real(std::string_view text) {
    const std::string copy(trimmed(text));
    char* end = nullptr;
    const double number = std::strtod(copy.c_str(), &end);
    if (!copy.empty() && end == copy.c_str() + copy.size() && std::isfinite(number)) {
      return number;
    }
    return copy;  // "nan", "inf" and the like
  }

  // The element whose start tag comes next, through its end tag.
  std::optional<nlohmann::json> element(int depth) {
    Tag open;
    if (!tag(&open) || open.closing) return {};
    const std::string_view name = open.name;
    if (name == "dict" || name == "array") {
      if (depth >= kMaxDepth) return {};
      const bool dict = name == "dict";
      nlohmann::json container = dict ? nlohmann::json::object() : nlohmann::json::array();
      if (open.selfClosing) return container;
      for (;;) {
        if (!skipSpace()) return {};
        if (startsWith("</")) return closes(name) ? std::optional(container) : std::nullopt;
        if (!dict) {
          std::optional<nlohmann::json> item = element(depth + 1);
          if (!item) return {};
          container.push_back(std::move(*item));
          continue;
        }
        Tag key;
        if (!tag(&key) || key.closing || key.name != "key") return {};
        std::optional<std::string> keyText = leaf(key);
        if (!keyText) return {};
        std::optional<nlohmann::json> value = element(depth + 1);
        if (!value) return {};
        container[*keyText] = std::move(*value);
      }
    }
    if (name == "true" || name == "false") {
      if (!open.selfClosing && !closes(name)) return {};
      return nlohmann::json(name == "true");
    }
    if (name != "string" && name != "integer" && name != "real" && name != "date" &&
        name != "data") {
      return {};
    }
    std::optional<std::string> content = leaf(open);
    if (!content) return {};
    if (name == "integer") return integer(*content);
    if (name == "real") return real(*content);
    return nlohmann::json(std::move(*content));
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

bool validUtf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = utf8SequenceLength(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace

std::optional<nlohmann::json> parseXmlPropertyList(std::string_view text) {
  if (!validUtf8(text)) return {};
  return Reader(text).document();
}

os::Status readPropertyList(const std::string& file, const std::string& root,
                            nlohmann::json* value) {
  os::FileInfo info;
  if (const os::Status found = os::fileInfo(file, &info); !found.ok()) return found;
  os::ProcessOptions plutil;
  plutil.arguments = {root + "/usr/bin/plutil", "-convert", "xml1", "-o", "-", file};
  plutil.output = os::Stream::pipe();
  const os::Completion read =
      os::runToCompletion(plutil, "", os::monotonicMilliseconds() + 5000, 16 * 1024 * 1024);
  if (!read.started.ok()) return read.started;
  if (read.timedOut || !read.exit.exited || read.exit.status != 0) {
    return os::Status::failure(EIO, "plutil could not read it");
  }
  std::optional<nlohmann::json> parsed = parseXmlPropertyList(read.streams.output);
  if (!parsed) return os::Status::failure(EIO, "plutil's output is not a property list");
  *value = std::move(*parsed);
  return {};
}

}  // namespace tarnwick::registration
