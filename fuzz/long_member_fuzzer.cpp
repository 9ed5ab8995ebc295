// Requests whose one member is 64 KiB long or more, past the fuzzer's
// -max_len: the input is stretched into such a member, so that the decoder's
// path that cuts a long member out of the frame in place is fuzzed too. The
// decoder must agree with the JSON library's tree on every one.
#include "fuzz_common.h"
#include "host/json_codec.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // The first byte picks the member, the second its length: from a little
  // below the cut-out bound to well past it, in steps that fall on every
  // offset from a 16-byte boundary. The rest is the text, repeated.
  const std::string_view key = kRequestKeys[data[0] % std::size(kRequestKeys)];
  const std::size_t length = 64 * 1024 - 40 + static_cast<std::size_t>(data[1]) * 61;
  const std::string_view piece(reinterpret_cast<const char*>(data) + 2, size - 2);
  std::string value;
  value.reserve(length + piece.size());
  while (value.size() < length) value.append(piece);
  value.resize(length);
  // The member comes first or last; escapes and invalid text in the piece
  // make it a copy, or a body both must refuse.
  const bool first = (data[0] & 0x80) != 0;
  const std::string body = first ? "{\"" + std::string(key) + "\":\"" + value + "\",\"n\":[1]}"
                                 : "{\"n\":\"x\",\"" + std::string(key) + "\":\"" + value + "\"}";
  const std::optional<MessageObject> decoded = decodeRequest(body);
  const auto reference = fuzzing::referenceDecode(body);
  fuzzing::require(decoded.has_value() == reference.has_value(),
                   "a long member is accepted when the library's tree accepts it");
  if (!decoded) return 0;
  fuzzing::require(
      std::equal(decoded->begin(), decoded->end(), reference->begin(), reference->end()),
      "a long member decodes to exactly the library's text");
  return 0;
}
