// The entries of a manifest's "allowed_origins", read as the browsers read
// them: URL patterns of the extension scheme (extensions/common/
// url_pattern.cc, URLPattern::Parse with SCHEME_EXTENSION), whose host is
// canonicalised as URL hosts are (net::CanonicalizeHost, url/
// url_canon_host.cc), and matched against an extension's origin as
// URLPattern::MatchesSecurityOrigin does.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::registration {

struct OriginPattern {
  // Why the browser refuses the entry, and with it the whole manifest;
  // empty when it takes it.
  std::string refused;
  // The scheme was "*": the pattern parses, but the extension scheme is no
  // scheme it may stand for, so it matches no extension.
  bool anyScheme = false;
  std::string host;  // canonical: lower case, escapes decoded
};

// `entry` as the browser reads it. Refused: anything but
// "chrome-extension://HOST[:*]/PATH" (or "*://..."), a host that is "*",
// "*.x" or holds a "*", a port other than "*", and a host that does not
// canonicalise (userinfo, "?", a backslash, a bad escape, a control
// character, ...).
OriginPattern parseOriginPattern(std::string_view entry);

// Whether the extension `id` (32 letters a-p) may start the host by
// `pattern`: the hosts are equal once the pattern's loses its trailing dots.
bool patternAllows(const OriginPattern& pattern, std::string_view id);

// The host of `text` canonicalised as a URL host of a standard scheme:
// percent escapes decoded, ASCII letters lower-cased, full-width forms and
// ideographic full stops mapped as IDNA maps them; nothing when a character
// is not allowed in a host. Other non-ASCII text yields an "xn--" label
// that stands for its Punycode form and matches no extension.
std::optional<std::string> canonicalHost(std::string_view text);

}  // namespace tarnwick::registration
