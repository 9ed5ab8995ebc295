#include "url_pattern.h"

#include <cstdint>
#include <vector>

#include "util/hex.h"
#include "util/utf8.h"

namespace tarnwick::registration {
namespace {

constexpr std::string_view kScheme = "chrome-extension";

// url/url_canon_host.cc, kHostCharLookup: what each ASCII character of a host
// becomes. 0: not allowed; kEscaped: allowed, written as an escape; else the
// character (letters lower-cased).
constexpr unsigned char kEscaped = 0xFF;
constexpr unsigned char hostCharacter(unsigned char c) {
  if (c < 0x20 || c >= 0x7F) return 0;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c - 'A' + 'a');
  switch (c) {
    case '#':
    case '%':
    case '/':
    case '<':
    case '>':
    case '?':
    case '@':
    case '\\':
    case '^':
    case '|':
      return 0;
    case ' ':
    case '*':
      return kEscaped;
    default:
      return c;
  }
}

// DoSimpleHost: escapes decoded, each ASCII character checked and
// lower-cased, other bytes passed on (and `nonAscii` set). False when a
// character or an escape makes the host invalid. A space is still taken,
// escaped (url_features.cc, IsDisallowingSpaceCharacterInURLHostParsing is
// off in the browser we check against).
bool simpleHost(std::string_view host, std::string& out, bool& nonAscii) {
  nonAscii = false;
  for (std::size_t i = 0; i < host.size(); ++i) {
    auto byte = static_cast<unsigned char>(host[i]);
    if (byte == '%') {
      if (i + 2 >= host.size()) return false;
      const int high = hexValue(host[i + 1]), low = hexValue(host[i + 2]);
      if (high < 0 || low < 0) return false;
      byte = static_cast<unsigned char>(high * 16 + low);
      i += 2;
    }
    if (byte >= 0x80) {
      out.push_back(static_cast<char>(byte));
      nonAscii = true;
      continue;
    }
    const unsigned char replacement = hostCharacter(byte);
    if (replacement == 0) return false;
    if (replacement == kEscaped) {
      out += byte == ' ' ? "%20" : "%2A";
    } else {
      out.push_back(static_cast<char>(replacement));
    }
  }
  return true;
}

// The code points of valid UTF-8, or nothing.
std::optional<std::vector<std::uint32_t>> codePoints(std::string_view text) {
  std::vector<std::uint32_t> points;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceLength(text.substr(at));
    if (length == 0) return std::nullopt;
    auto lead = static_cast<unsigned char>(text[at]);
    std::uint32_t point = length == 1   ? lead
                          : length == 2 ? lead & 0x1Fu
                          : length == 3 ? lead & 0x0Fu
                                        : lead & 0x07u;
    for (std::size_t i = 1; i < length; ++i) {
      point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
    }
    points.push_back(point);
    at += length;
  }
  return points;
}

// IDNToASCII for the characters whose UTS #46 mapping is plain: full-width
// forms become their ASCII character, the ideographic full stops a dot. A
// label that keeps any other non-ASCII character becomes an "xn--" label
// (its Punycode form, which no extension ID can equal).
std::optional<std::string> idnToAscii(std::string_view utf8) {
  const std::optional<std::vector<std::uint32_t>> points = codePoints(utf8);
  if (!points) return std::nullopt;
  std::string out, label;
  bool foreign = false;
  const auto endLabel = [&] {
    out += foreign ? "xn--" + std::to_string(label.size()) : label;
    label.clear();
    foreign = false;
  };
  for (std::uint32_t point : *points) {
    if (point >= 0xFF01 && point <= 0xFF5E) point -= 0xFEE0;
    if (point == 0x3002 || point == 0xFF0E || point == 0xFF61) point = '.';
    if (point == '.') {
      endLabel();
      out.push_back('.');
    } else if (point < 0x80) {
      label.push_back(static_cast<char>(point));
    } else {
      foreign = true;
      appendUtf8(label, point);
    }
  }
  endLabel();
  return out;
}

bool isDigits(std::string_view text, bool hex) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (hex ? hexValue(c) < 0 : (c < '0' || c > '9')) return false;
  }
  return true;
}

// url/url_canon_ip.cc: a host whose last label is a number is an IPv4
// address, and must then be a valid one (at most four numbers, decimal,
// octal or 0x hexadecimal, the last filling what the others leave).
std::optional<bool> ipv4Valid(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t dot = host.find('.', start);
    parts.push_back(host.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  const auto numeric = [](std::string_view part) {
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
      return part.size() == 2 || isDigits(part.substr(2), true);
    }
    return isDigits(part, false);
  };
  if (!numeric(parts.back())) return std::nullopt;  // not an address at all
  if (parts.size() > 4) return false;
  std::vector<unsigned long long> values;
  for (const std::string_view part : parts) {
    if (!numeric(part)) return false;
    unsigned long long value = 0;
    unsigned base = 10;
    std::string_view digits = part;
    if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
      base = 16;
      digits = part.substr(2);
    } else if (part.size() > 1 && part[0] == '0') {
      base = 8;
      digits = part.substr(1);
    }
    for (const char c : digits) {
      const int digit = hexValue(c);
      if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
      value = value * base + static_cast<unsigned>(digit);
      if (value > 0xFFFFFFFFull) return false;
    }
    values.push_back(value);
  }
  for (std::size_t i = 0; i + 1 < values.size(); ++i) {
    if (values[i] > 255) return false;
  }
  const unsigned long long room = 1ull << (8 * (5 - values.size()));
  return values.back() < room;
}

}  // namespace

std::optional<std::string> canonicalHost(std::string_view text) {
  std::string simple;
  bool nonAscii = false;
  if (!simpleHost(text, simple, nonAscii)) return std::nullopt;
  if (nonAscii) {
    const std::optional<std::string> ascii = idnToAscii(simple);
    if (!ascii) return std::nullopt;
    std::string again;
    // The mapping may bring new escapes and characters; they are checked
    // like any others.
    if (!simpleHost(*ascii, again, nonAscii) || nonAscii) return std::nullopt;
    simple = std::move(again);
  }
  if (!simple.empty() && simple.front() == '[') {
    // An IPv6 address, checked loosely: hexadecimal digits, colons and dots.
    if (simple.back() != ']' || simple.size() < 4) return std::nullopt;
    for (const char c : std::string_view(simple).substr(1, simple.size() - 2)) {
      if (hexValue(c) < 0 && c != ':' && c != '.') return std::nullopt;
    }
    return simple;
  }
  if (simple.find_first_of("[]") != std::string::npos) return std::nullopt;
  if (const std::optional<bool> address = ipv4Valid(simple); address && !*address) {
    return std::nullopt;
  }
  return simple;
}

OriginPattern parseOriginPattern(std::string_view entry) {
  OriginPattern pattern;
  const auto refuse = [&](const char* why) {
    pattern.refused = why;
    return pattern;
  };
  if (entry == "<all_urls>") return refuse("it matches every URL, which is not allowed");
  std::size_t schemeEnd = entry.find("://");
  const bool standardSeparator = schemeEnd != std::string_view::npos;
  if (!standardSeparator) schemeEnd = entry.find(':');
  if (schemeEnd == std::string_view::npos) return refuse("it has no scheme");
  const std::string_view scheme = entry.substr(0, schemeEnd);
  if (scheme == "*") {
    pattern.anyScheme = true;
  } else if (scheme != kScheme) {
    return refuse("its scheme is not chrome-extension");
  }
  if (!standardSeparator) return refuse("its scheme is not followed by \"://\"");
  const std::size_t hostStart = schemeEnd + 3;
  if (hostStart >= entry.size()) return refuse("it has no host");
  const std::size_t hostEnd = entry.find('/', hostStart);
  if (hostEnd == hostStart) return refuse("it has no host");
  if (hostEnd == std::string_view::npos) return refuse("it has no path (end it with \"/\")");
  const std::string_view hostAndPort = entry.substr(hostStart, hostEnd - hostStart);
  std::size_t portSeparator = std::string_view::npos;
  if (hostAndPort[0] != '[') {
    portSeparator = hostAndPort.find(':');
  } else {
    const std::size_t close = hostAndPort.find(']');
    if (close == std::string_view::npos) return refuse("its host is not valid");
    if (close == 1) return refuse("it has no host");
    if (close < hostAndPort.size() - 1) {
      if (hostAndPort[close + 1] != ':') return refuse("its host is not valid");
      portSeparator = close + 1;
    }
  }
  // The extension scheme has no default port, so "*" is the only port.
  if (portSeparator != std::string_view::npos && hostAndPort.substr(portSeparator + 1) != "*") {
    return refuse("it has a port other than \"*\"");
  }
  std::string_view host = hostAndPort.substr(0, portSeparator);
  if (host.empty()) return refuse("it has no host");
  if (host == "*" || host.substr(0, 2) == "*.") {
    return refuse("its host is a wildcard, which is not allowed");
  }
  if (host.find('*') != std::string_view::npos) return refuse("its host holds a \"*\"");
  const std::optional<std::string> canonical = canonicalHost(host);
  if (!canonical) return refuse("its host is not valid");
  pattern.host = *canonical;
  return pattern;
}

bool patternAllows(const OriginPattern& pattern, std::string_view id) {
  if (!pattern.refused.empty() || pattern.anyScheme) return false;
  // Trailing dots do not count: the real browser allows "ID.." as it allows
  // "ID." (url_pattern.cc strips one as it matches; the rest it loses on the
  // way, as the differential test against it shows).
  std::string_view host = pattern.host;
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  return host == id;
}

}  // namespace tarnwick::registration
