// The hand-written request decoder against two references built on the JSON
// library's own strict parser: the decoder it replaced (streaming) and the
// library's whole tree. The same bodies accepted, the same members kept, and
// every decoded string encodes back to JSON that reads as the same text.
#include "fake_platform.h"
#include "fuzz_common.h"
#include "reference_decoder.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  testing::FakePlatform platform;
  const std::optional<MessageObject> decoded = decodeRequest(std::string(body));
  const auto streaming = testing::referenceRequest(body);
  const auto tree = fuzzing::referenceDecode(body);
  fuzzing::require(decoded.has_value() == streaming.has_value(),
                   "accepts what the library's streaming parser accepts");
  fuzzing::require(decoded.has_value() == tree.has_value(),
                   "accepts what the library's tree accepts");
  if (!decoded) return 0;
  fuzzing::require(*decoded == *streaming, "the same members as the streaming reference");
  fuzzing::require(std::equal(decoded->begin(), decoded->end(), tree->begin(), tree->end()),
                   "the same members as the tree");
  for (const auto& [key, value] : *decoded) {
    const auto encoded = encodeObject({{key, std::string_view(value)}}, KeyOrder::Sorted);
    fuzzing::require(encoded.has_value(), "decoded text always encodes");
    const auto reread = nlohmann::json::parse(*encoded, nullptr, false);
    fuzzing::require(!reread.is_discarded() && reread.size() == 1 && reread.begin().key() == key &&
                         reread.begin().value() == value,
                     "encoded text reads back unchanged");
  }
  return 0;
}
