// The renderer's pixel core under hostile keys, poses, lens maps and sizes:
// two small pictures (each buffer exactly as large as the layout asks, so the
// sanitizer sees any read beyond it), their displacement maps (none, a
// built-in lens, or words from the input), two key quads with progress, zoom
// and offsets taken as raw floats, and a frame size. Both render paths run on
// the portable and the 256-bit kernels, which must agree byte for byte.
//
// Layout: [0..3] picture sizes, [4..5] frame size, [6..7] map kinds (and the
// units of maps made of input words),
// [8..71] two keys, [72..87] t, zoom, xOffset, yOffset, [88..103] a line,
// the rest fills pixels and map words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "vistel/scene/frame_drawing.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster.h"
#include "vistel/scene/warp_raster_p.h"

namespace {

using namespace vistel;

constexpr std::size_t kHeader = 104;

// Cycles through the bytes after the header (zeros when there are none).
struct Filler {
  std::span<const std::uint8_t> bytes;
  std::size_t at = 0;
  std::uint32_t word() {
    std::uint32_t w = 0;
    for (int k = 0; k < 4 && !bytes.empty(); ++k, at = (at + 1) % bytes.size())
      w = w << 8 | bytes[at];
    return w;
  }
};

struct Picture {
  std::int32_t width, height;
  std::vector<std::uint32_t> pixels;
  std::unique_ptr<DisplacementMap> map;
  WarpSource source() const {
    return {{reinterpret_cast<const std::uint8_t*>(pixels.data()), width, height}, map.get()};
  }
};

Picture makePicture(std::uint8_t w, std::uint8_t h, std::uint8_t mapKind, Filler& fill) {
  Picture p{w % 40 + 1, h % 40 + 1, {}, nullptr};
  p.pixels.resize(std::size_t(p.width) * (p.height + 1) + 1);
  for (auto& px : p.pixels) px = fill.word();
  switch (mapKind % 4) {
    case 1:
      p.map = buildMap("kamolens0", p.width, p.height, nullptr);
      break;
    case 2:
      p.map = buildMap("kamolens1", p.width, p.height, nullptr);
      break;
    case 3:
      p.map = std::make_unique<DisplacementMap>();
      p.map->width = p.width;
      p.map->height = p.height;
      p.map->words.resize(std::size_t(p.width) * p.height);
      p.map->fractionBits = mapKind / 4 % (kMaxDisplacementFractionBits + 1);
      for (auto& word : p.map->words) word = std::int32_t(fill.word());
      break;
    default:
      break;
  }
  return p;
}

float floatAt(const std::uint8_t* data) {
  float f;
  std::memcpy(&f, data, sizeof f);
  return f;
}

std::int32_t intAt(const std::uint8_t* data) {
  std::int32_t v;
  std::memcpy(&v, data, sizeof v);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  Filler fill{{data + kHeader, size - kHeader}};
  const Picture a = makePicture(data[0], data[1], data[6], fill);
  const Picture b = makePicture(data[2], data[3], data[7], fill);
  const std::int32_t W = data[4] % 80 + 1, H = data[5] % 80 + 1;
  const auto keyA = keyQuadFromBytes({data + 8, 32});
  const auto keyB = keyQuadFromBytes({data + 40, 32});
  const auto tf = makeTransitionFrame(*keyA, *keyB, floatAt(data + 72));
  const ViewPose pose{floatAt(data + 76), floatAt(data + 80), floatAt(data + 84)};

  WarpGrid transitionGrid, singleGrid;
  transitionGrid.resize(W, H);
  singleGrid.resize(W, H);
  evaluateTransitionGrid(transitionGrid, *tf, pose, a.width, a.height, b.width, b.height);
  evaluateSingleViewGrid(singleGrid, a.width, a.height);

  std::vector<std::uint32_t> frames[2][2];
  for (int path = 0; path < 2; ++path) {
    const auto kernels = path == 0 ? detail::PixelPath::Portable : detail::PixelPath::Avx2;
    for (auto& f : frames[path]) f.assign(std::size_t(W) * H, 0x5A5A5A5A);
    if (!detail::rasteriseTransition({frames[path][0].data(), W, H}, transitionGrid, a.source(),
                                     b.source(), kernels) ||
        !detail::rasteriseSingleView({frames[path][1].data(), W, H}, singleGrid, a.source(),
                                     kernels)) {
      std::abort();
    }
  }
  if (frames[0][0] != frames[1][0] || frames[0][1] != frames[1][1]) std::abort();

  drawLine({frames[0][0].data(), W, H}, intAt(data + 88), intAt(data + 92), intAt(data + 96),
           intAt(data + 100), 0xFFFFFFFF);
  return 0;
}
