// JSON as the browsers read their manifests and policy files: Chromium's
// base::JSONReader with JSON_PARSE_CHROMIUM_EXTENSIONS (base/json/json_reader.h),
// which allows what strict JSON does not:
//   - "//" and "/* */" comments wherever whitespace may stand;
//   - raw carriage returns and line feeds inside strings;
//   - "\xNN" escapes, NN being a code point (so "\xFF" is U+00FF);
// and, where asked for (JSON_ALLOW_TRAILING_COMMAS, which policy files get
// and manifests do not), a comma after the last element or member.
// Everything else is as RFC 8259 says: UTF-8 only (an invalid sequence or a
// lone surrogate fails), a leading byte order mark allowed, numbers that fit
// a finite double, no other control character and no "\v" in strings, and
// nothing after the value. Nesting deeper than 200 fails. Of repeated keys,
// the last wins.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

namespace tarnwick::registration {

enum class TrailingCommas { Refused, Allowed };

// The value in `text`, or nothing when the browser would not read it.
std::optional<nlohmann::json> readLenientJson(std::string_view text, TrailingCommas commas);

}  // namespace tarnwick::registration
