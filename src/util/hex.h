// Hexadecimal digits of bytes: pure computation, shared by every part of the
// project that spells bytes out.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

enum class HexCase { Lower, Upper };

inline char hexDigit(unsigned value, HexCase letters = HexCase::Lower) {
  return (letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xF];
}

// The value of the hexadecimal digit `c` (either case), or -1 for anything
// else.
inline int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `digits` (at most eight), read as hexadecimal, into `value`;
// false when one of them is not a hexadecimal digit.
inline bool hexNumber(std::string_view digits, unsigned* value) {
  *value = 0;
  for (const char c : digits) {
    const int digit = hexValue(c);
    if (digit < 0) return false;
    *value = *value * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

// Appends two digits for each byte of `bytes`.
inline void appendHex(std::string& out, std::span<const unsigned char> bytes,
                      HexCase letters = HexCase::Lower) {
  for (const unsigned char byte : bytes) {
    out.push_back(hexDigit(byte >> 4U, letters));
    out.push_back(hexDigit(byte, letters));
  }
}

}  // namespace tarnwick
