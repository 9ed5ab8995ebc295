#include "console.h"

#include "util/hex.h"

namespace tarnwick::registration {

Output& Output::operator<<(const std::string& text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      stream_ << "\\x" << hexDigit(byte >> 4U) << hexDigit(byte);
    } else {
      stream_ << c;
    }
  }
  return *this;
}

}  // namespace tarnwick::registration
