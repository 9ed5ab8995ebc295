// The reader of the browsers' lenient JSON (manifests and policy files) on
// any input: it never fails other than by refusing, it reads every strict
// text the JSON library reads (within the browsers' nesting limit) to the
// same value, and allowing trailing commas never refuses what is read
// without them.
#include <algorithm>
#include <nlohmann/json.hpp>

#include "fuzz_common.h"
#include "readers/lenient_json.h"

using namespace tarnwick;
using registration::TrailingCommas;

namespace {

// The same JSON value, numbers compared as the doubles the browsers keep
// (integers past a few digits become doubles there, exact integers in the
// library).
bool sameValue(const nlohmann::json& a, const nlohmann::json& b) {
  if (a.is_number() && b.is_number()) return a.get<double>() == b.get<double>();
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), sameValue);
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a.items()) {
      if (!b.contains(key) || !sameValue(value, b.at(key))) return false;
    }
    return true;
  }
  return a == b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto strict = registration::readLenientJson(text, TrailingCommas::Refused);
  const auto commas = registration::readLenientJson(text, TrailingCommas::Allowed);
  fuzzing::require(!strict || commas == strict,
                   "trailing commas allowed read the same as without them");
  const bool shallow =
      std::count(text.begin(), text.end(), '[') + std::count(text.begin(), text.end(), '{') < 200;
  if (shallow && text.find('\0') == std::string_view::npos) {
    const auto library = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (!library.is_discarded()) {
      fuzzing::require(strict.has_value() && sameValue(*strict, library),
                       "strict JSON reads as the library reads it");
    }
  }
  return 0;
}
