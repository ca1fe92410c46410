// A <lens> record from hostile bytes: parsed, turned into a small map (directly
// and through the cache, as a document lens) and used for single points. Two
// bytes after the 120-byte record choose the map size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "vistel/project/document.h"
#include "vistel/scene/lens.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vistel;
  const std::span<const std::uint8_t> bytes(data, size);
  const auto profile = lensProfileFromBytes(bytes);
  if (!profile) return 0;
  const std::int32_t width = size > 120 ? data[120] % 64 + 1 : 16;
  const std::int32_t height = size > 121 ? data[121] % 48 + 1 : 12;

  const auto map = buildProfileMap(*profile, "fuzz", width, height);
  if (!map || map->words.size() != static_cast<std::size_t>(width) * height) std::abort();
  if (map->fractionBits < 0 || map->fractionBits > kMaxDisplacementFractionBits) std::abort();

  ProjectDocument doc;
  auto lens = std::make_unique<LensElement>();
  lens->id = "fuzz";
  lens->data.assign(data, data + size);
  lens->dataLength = static_cast<std::int32_t>(size);
  doc.lenses["fuzz"] = std::move(lens);
  LensMapCache cache(&doc);
  const DisplacementMap* cached = cache.getMap("fuzz", width, height);
  if (cached == nullptr || cached->words != map->words) std::abort();

  const PointDistorter distorter(*profile);
  for (double y = 0; y < 480; y += 160) {
    for (double x = 0; x < 640; x += 160) {
      const LensPoint p = distorter.distort(x, y);
      (void)p;
    }
  }
  return 0;
}
