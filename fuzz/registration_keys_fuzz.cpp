// Image registration under hostile keys (the decoded content of the two key
// texts Recalibrate is given): any 64 bytes are two key quads, NaN, infinite,
// huge, degenerate and mirrored ones included. Registration must neither
// crash nor hand back a region it cannot correlate, and must leave the source
// key as it was whenever it did not register. Full-size regions only run
// through the steps the keys steer, so the target stays fast.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "vistel/calibration/fft.h"
#include "vistel/calibration/registration.h"
#include "vistel/calibration/registration_p.h"
#include "vistel/scene/geometry.h"

namespace {

// A noisy working-size picture, made once.
const std::vector<std::uint8_t>& picture(std::uint32_t seed) {
  static std::vector<std::uint8_t> pictures[2];
  std::vector<std::uint8_t>& p = pictures[seed & 1];
  if (p.empty()) {
    p.resize(std::size_t{vistel::kWorkingWidth} * vistel::kWorkingHeight * 4);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : p) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<std::uint8_t>(state >> 24);
    }
  }
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vistel;
  if (size < 2 * kKeyQuadBytes) return 0;
  const std::span<const std::uint8_t> bytes(data, size);
  const KeyQuad source = *keyQuadFromBytes(bytes);
  const KeyQuad destination = *keyQuadFromBytes(bytes.subspan(kKeyQuadBytes));
  const RegistrationPicture a{picture(0).data(), kWorkingWidth, kWorkingHeight};
  const RegistrationPicture b{picture(1).data(), kWorkingWidth, kWorkingHeight};

  // The steps the keys steer: region, and resampling through both keys'
  // homographies (a corner of the region is enough to walk every formula).
  const Homography h1 = quadToQuad(source, source), h2 = quadToQuad(source, destination);
  const auto box = registration::commonRegion(h1, h2);
  if (!box) return 0;
  registration::PixelRegion region = registration::pixelRegion(*box);
  if (region.width < 0 || region.height < 0) std::abort();
  const bool small = region.width * std::int64_t{region.height} <= 48 * 48;
  region.width = std::min(region.width, 24);
  region.height = std::min(region.height, 24);
  std::vector<std::uint32_t> pixels;
  registration::resampleRegion(a, h1, PointDistorter(kKamoLens0), region, pixels);
  registration::resampleRegion(b, h2, PointDistorter(kKamoLens1), region, pixels);
  // The whole registration only where it is quick: a full-size region takes
  // a tenth of a second and tells nothing more about the keys.
  if (!small) return 0;

  const RegistrationOutcome out = registerKeys(a, b, source, destination);
  if (out.status != RegistrationStatus::Registered) {
    if (keyQuadToBytes(out.sourceKey) != keyQuadToBytes(source)) std::abort();
    return 0;
  }
  if (out.regionWidth < kMinRegionSide || out.regionHeight < kMinRegionSide ||
      out.regionWidth > kMaxFftLength || out.regionHeight > kMaxFftLength) {
    std::abort();
  }
  const PixelShift s = out.correlation.shift;
  if (s.dx <= -out.regionWidth || s.dx >= out.regionWidth || s.dy <= -out.regionHeight ||
      s.dy >= out.regionHeight) {
    std::abort();
  }
  return 0;
}
