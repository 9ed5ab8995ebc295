// The request decoder against the JSON library's own strict parser: the same
// bodies accepted, the same top-level string members, and every decoded
// string encodes back to JSON that reads as the same text.
#include "fake_platform.h"
#include "fuzz_common.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  testing::FakePlatform platform;
  const std::optional<MessageObject> decoded = platform.decodeJson(body);
  const auto reference = fuzzing::referenceDecode(body);
  fuzzing::require(decoded.has_value() == reference.has_value(), "accepts what the reference accepts");
  if (!decoded) return 0;
  fuzzing::require(std::equal(decoded->begin(), decoded->end(), reference->begin(), reference->end()),
                   "the same top-level string members");
  for (const auto& [key, value] : *decoded) {
    const auto encoded = platform.encodeJson({{key, std::string_view(value)}}, KeyOrder::Sorted);
    fuzzing::require(encoded.has_value(), "decoded text always encodes");
    const auto reread = nlohmann::json::parse(*encoded, nullptr, false);
    fuzzing::require(!reread.is_discarded() && reread.size() == 1 && reread.begin().key() == key &&
                         reread.begin().value() == value,
                     "encoded text reads back unchanged");
  }
  return 0;
}
