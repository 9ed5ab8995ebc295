// UTF-8, as JSON text needs it: pure computation, shared by the host's codec
// and the registration tool's reader of the browsers' JSON.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// The length of the valid UTF-8 sequence at the start of `text`, or 0 when
// it is not one (overlong forms, surrogates and code points past U+10FFFF
// are not valid). An ASCII byte is a sequence of 1.
inline std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](std::size_t i) {
    return i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  if (text.empty()) return 0;
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

// Appends the UTF-8 encoding of `codePoint` (at most U+10FFFF, no surrogate).
inline void appendUtf8(std::string& out, unsigned codePoint) {
  const auto byte = [](unsigned value) { return static_cast<char>(value); };
  if (codePoint < 0x80) {
    out.push_back(byte(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(byte(0xC0 | (codePoint >> 6)));
    out.push_back(byte(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(byte(0xE0 | (codePoint >> 12)));
    out.push_back(byte(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(byte(0xF0 | (codePoint >> 18)));
    out.push_back(byte(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(byte(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(byte(0x80 | (codePoint & 0x3F)));
  }
}

// The code point of a "\u" escape whose four hex digits gave `unit`. A
// high surrogate takes its low half from the "\uXXXX" that must follow it,
// which `readLow` reads into its argument (false when there is none, or its
// digits are not four hex digits); a surrogate of either half alone is no
// code point. Nothing when there is none.
template <typename ReadLow>
inline std::optional<unsigned> escapedCodePoint(unsigned unit, ReadLow readLow) {
  if (unit >= 0xDC00 && unit <= 0xDFFF) return std::nullopt;  // a low surrogate alone
  if (unit < 0xD800 || unit > 0xDBFF) return unit;
  unsigned low = 0;
  if (!readLow(low) || low < 0xDC00 || low > 0xDFFF) return std::nullopt;
  return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
}

}  // namespace tarnwick
