// Hexadecimal digits of bytes: pure computation, shared by every part of the
// project that spells bytes out.
#pragma once

#include <span>
#include <string>

namespace tarnwick {

enum class HexCase { Lower, Upper };

inline char hexDigit(unsigned value, HexCase letters = HexCase::Lower) {
  return (letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xF];
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
