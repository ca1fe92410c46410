// Key quads from hostile bytes (the decoded content of key texts): two keys
// and a progress value run through everything a link, the navigator and image
// registration do with them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "vistel/scene/geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vistel;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto a = keyQuadFromBytes(bytes);
  if (!a) return 0;
  const auto b = keyQuadFromBytes(bytes.subspan(size >= 64 ? 32 : 0));
  float t = 0.5f;
  if (size >= 68) std::memcpy(&t, data + 64, sizeof t);

  if (std::memcmp(keyQuadToBytes(*a).data(), data, kKeyQuadBytes) != 0) std::abort();
  const auto frame = makeTransitionFrame(*a, *b, t);
  if (!frame) std::abort();
  std::vector<Segment> outline;
  outlineOfImage(frame->srcH, outline);
  outlineOfImage(frame->dstH, outline);
  outlineOfImage(quadToQuad(*a, *b), outline);
  // Clipping four vertices by one plane keeps at most four and adds at most four
  // crossings, which alternate with the kept ones: at most six edges an outline.
  if (outline.size() > 18) std::abort();
  const Homography h = squareToQuad(*b);
  const Vec2 p = applyToPoint(inverse(h), applyToPoint(h, {0.25f, 0.75f}));
  (void)p;
  const Vec3 corners[4] = {applyToVec3(h, {0, 0, 1}), applyToVec3(h, {1, 0, 1}),
                           applyToVec3(h, {1, 1, 1}), applyToVec3(h, {0, 1, 1})};
  if (clipPolygon({0, 0, 1, -0.25f}, corners).size() > 6) std::abort();
  return 0;
}
