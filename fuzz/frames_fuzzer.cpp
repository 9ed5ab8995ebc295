// The frame reader over any byte stream, delivered in pieces of any size:
// exactly the whole frames come out, in order, and reading stops right after
// a refused header without touching the body.
#include "fake_platform.h"
#include "fuzz_common.h"

using namespace tarnwick;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  testing::FakePlatform platform;
  // The first byte chooses how the stream is cut into reads.
  platform.pieceSizes = {static_cast<std::size_t>(data[0] % 17) + 1, 1, 3};
  if (data[0] >= 128) platform.pieceSizes.clear();
  platform.input.assign(reinterpret_cast<const char*>(data) + 1, size - 1);

  const fuzzing::SplitStream expected = fuzzing::splitFrames(platform.input);
  std::size_t frames = 0;
  while (const std::optional<std::string> body = readMessage(platform)) {
    fuzzing::require(frames < expected.bodies.size(), "no frame beyond the whole ones");
    fuzzing::require(*body == expected.bodies[frames], "each body exactly as sent");
    ++frames;
  }
  fuzzing::require(frames == expected.bodies.size(), "every whole frame is read");
  fuzzing::require(platform.inputOffset == expected.consumed, "nothing read past a refused header");
  return 0;
}
