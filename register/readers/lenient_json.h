// JSON as the Chromium-family browsers read their manifests and policy
// files. base/json/json_reader.cc hands every document to the Rust crate
// serde_json_lenient (third_party/rust/serde_json_lenient/v0_2: the crate's
// src/de.rs and src/read.rs, driven by the wrapper's lib.rs and visitor.rs)
// with base::JSON_PARSE_CHROMIUM_EXTENSIONS, and for policy files also
// JSON_ALLOW_TRAILING_COMMAS. What that allows beyond RFC 8259:
//   - "//" comments, which end at a line feed only (a lone carriage return
//     does not end one), and "/* */" comments, where the star that opens one
//     may also close it ("/*/" is a whole comment);
//   - raw carriage returns and line feeds inside strings;
//   - "\xNN" escapes, NN being a code point (so "\xFF" is U+00FF);
//   - where asked for, one comma after the last element or member.
// Everything else is strict: UTF-8 only (an invalid sequence or an unpaired
// surrogate escape fails), a leading byte order mark allowed, numbers that
// fit a finite double, no other control character and no "\v" in strings,
// nothing after the value, the last of repeated keys wins. Nesting follows
// the wrapper's budget of 200 levels, the top level counting as one: an
// array or object at level 200 fails, even an empty one (json_common.h,
// depth >= kAbsoluteMaxDepth). No size limit.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace tarnwick::registration {

enum class TrailingCommas { Refused, Allowed };

// The value in `text`, or nothing when the browser would not read it.
std::optional<nlohmann::json> readLenientJson(std::string_view text, TrailingCommas commas);

}  // namespace tarnwick::registration
