#include "vistel/scene/warp_raster.h"

#include <algorithm>
#include <cstring>

#include "vistel/scene/warp_raster_p.h"

namespace vistel {

namespace detail {
namespace {

std::uint32_t loadPixel(const std::uint8_t* pixels, std::size_t index) {
  std::uint32_t p;
  std::memcpy(&p, pixels + index * 4, sizeof p);
  return p;
}

std::int32_t channel(std::uint32_t pixel, int k) { return std::int32_t(pixel >> (8 * k) & 0xFF); }

// Pixel (x, y) and its right, lower and lower-right neighbours; for x, y inside
// the picture these lie inside its buffer thanks to the spare row and pixel.
struct Neighbours {
  std::uint32_t p00, p10, p01, p11;
};

Neighbours neighbours(const SourceInfo& s, std::int32_t x, std::int32_t y) {
  const std::size_t base = std::size_t(y) * std::size_t(s.width) + std::size_t(x);
  const std::size_t below = base + std::size_t(s.width);
  return {loadPixel(s.pixels, base), loadPixel(s.pixels, base + 1), loadPixel(s.pixels, below),
          loadPixel(s.pixels, below + 1)};
}

// Moves (u, v) by the displacement word of the pixel it lies in; false when
// that pixel is outside the picture. Without a map nothing moves: the samplers'
// own bounds then reject the same positions.
bool displace(const SourceInfo& s, std::int32_t& u, std::int32_t& v) {
  if (s.map == nullptr) return true;
  const std::int32_t mx = u >> 16, my = v >> 16;
  if (std::uint32_t(mx) >= std::uint32_t(s.width) || std::uint32_t(my) >= std::uint32_t(s.height)) {
    return false;
  }
  const std::int32_t d = s.map[std::size_t(my) * std::size_t(s.width) + std::size_t(mx)];
  const int shift = 16 - s.fractionBits;
  u = std::int32_t(std::uint32_t(u) + (std::uint32_t(displacementX(d)) << shift));
  v = std::int32_t(std::uint32_t(v) + (std::uint32_t(displacementY(d)) << shift));
  return true;
}

// The transition sampler: 15-bit fractions, doubled steps, all four bytes,
// 0 outside the picture.
std::uint32_t sampleTransition(const SourceInfo& s, std::int32_t u, std::int32_t v) {
  if (!displace(s, u, v)) return 0;
  const std::int32_t x = u >> 16, y = v >> 16;
  if (std::uint32_t(x) >= std::uint32_t(s.width) || std::uint32_t(y) >= std::uint32_t(s.height))
    return 0;
  const std::int32_t fx = (u & 0xFFFF) >> 1, fy = (v & 0xFFFF) >> 1;
  const Neighbours p = neighbours(s, x, y);
  std::uint32_t out = 0;
  for (int k = 0; k < 4; ++k) {
    const std::int32_t c00 = channel(p.p00, k), c10 = channel(p.p10, k);
    const std::int32_t c01 = channel(p.p01, k), c11 = channel(p.p11, k);
    const std::int32_t top = c00 + 2 * (((c10 - c00) * fx) >> 16);
    const std::int32_t bottom = c01 + 2 * (((c11 - c01) * fx) >> 16);
    const std::int32_t r = std::clamp(top + 2 * (((bottom - top) * fy) >> 16), 0, 255);
    out |= std::uint32_t(r) << (8 * k);
  }
  return out;
}

// The single-view sampler: weights 65535 - fraction, fourth byte 0.
std::uint32_t sampleSingle(const SourceInfo& s, std::int32_t u, std::int32_t v) {
  if (!displace(s, u, v)) return 0;
  const std::int32_t x = u >> 16, y = v >> 16;
  if (std::uint32_t(x) >= std::uint32_t(s.width) || std::uint32_t(y) >= std::uint32_t(s.height))
    return 0;
  const std::int32_t gx = 65535 - (u & 0xFFFF), gy = 65535 - (v & 0xFFFF);
  const Neighbours p = neighbours(s, x, y);
  std::uint32_t out = 0;
  for (int k = 0; k < 3; ++k) {
    const std::int32_t c00 = channel(p.p00, k), c10 = channel(p.p10, k);
    const std::int32_t c01 = channel(p.p01, k), c11 = channel(p.p11, k);
    const std::int32_t top = c10 + (((c00 - c10) * gx) >> 16);
    const std::int32_t bottom = c11 + (((c01 - c11) * gx) >> 16);
    out |= std::uint32_t(bottom + (((top - bottom) * gy) >> 16)) << (8 * k);
  }
  return out;
}

// The share of A, 0 .. 65536, from an interpolated weight.
std::int32_t level(std::int32_t weight) { return std::clamp(weight >> 8, 0, 65536); }

std::uint32_t mix(std::uint32_t a, std::uint32_t b, std::int32_t share) {
  std::uint32_t out = 0;
  for (int k = 0; k < 3; ++k) {
    const std::int32_t ca = channel(a, k), cb = channel(b, k);
    out |= std::uint32_t(cb + (((ca - cb) * share) >> 16)) << (8 * k);
  }
  return out;
}

bool inPicture(const SourceInfo& s, std::int32_t u, std::int32_t v) {
  // width * 65536 <= kGridValueLimit fits.
  return std::uint32_t(u) < (std::uint32_t(s.width) << 16) &&
         std::uint32_t(v) < (std::uint32_t(s.height) << 16);
}

std::uint32_t transitionPixel(const TransitionBlock& blk, BlockKind kind, const SourceInfo& a,
                              const SourceInfo& b, std::int32_t x, std::int32_t y) {
  const std::int32_t uA = blk.uA.at(x, y), vA = blk.vA.at(x, y);
  const std::int32_t uB = blk.uB.at(x, y), vB = blk.vB.at(x, y);
  switch (kind) {
    case BlockKind::Black:
      return 0;
    case BlockKind::OnlyA:
      return sampleTransition(a, uA, vA);
    case BlockKind::OnlyB:
      return sampleTransition(b, uB, vB);
    case BlockKind::Both:
      return mix(sampleTransition(a, uA, vA), sampleTransition(b, uB, vB),
                 level(blk.weightA.at(x, y)));
    case BlockKind::Mixed:
      break;
  }
  std::int32_t share = level(blk.weightA.at(x, y));
  std::uint32_t pa = 0, pb = 0;
  if (!inPicture(a, uA, vA)) {
    share = 0;
  } else if (blk.codeA != 0) {
    pa = sampleTransition(a, uA, vA);
  }
  if (!inPicture(b, uB, vB)) {
    share = 65536;
  } else if (blk.codeB != 0) {
    pb = sampleTransition(b, uB, vB);
  }
  return mix(pa, pb, share);
}

void transitionBlockPortable(const TransitionBlock& blk, BlockKind kind, const SourceInfo& a,
                             const SourceInfo& b) {
  for (std::int32_t y = 0; y < 16; ++y) {
    std::uint32_t* row = blk.out + y * blk.stride;
    for (std::int32_t x = 0; x < 16; ++x) row[x] = transitionPixel(blk, kind, a, b, x, y);
  }
}

void singleViewBlockPortable(std::uint32_t* out, std::ptrdiff_t stride, const Lerp& u,
                             const Lerp& v, const SourceInfo& s) {
  for (std::int32_t y = 0; y < 16; ++y) {
    for (std::int32_t x = 0; x < 16; ++x)
      out[y * stride + x] = sampleSingle(s, u.at(x, y), v.at(x, y));
  }
}

SourceInfo sourceInfo(const WarpSource& source) {
  const PictureView& p = source.picture;
  return {p.pixels, source.map ? source.map->words.data() : nullptr, p.width, p.height,
          source.map ? source.map->fractionBits : kMaxDisplacementFractionBits};
}

bool gridFits(const FrameView& frame, const WarpGrid& grid) {
  return grid.frameWidth() == frame.width && grid.frameHeight() == frame.height;
}

int code(std::int32_t insideCount) { return insideCount == 4 ? 2 : insideCount == 0 ? 0 : 1; }

BlockKind kindOf(int codeA, int codeB) {
  if (codeA == 2 && codeB == 2) return BlockKind::Both;
  if (codeA == 2 && codeB == 0) return BlockKind::OnlyA;
  if (codeA == 0 && codeB == 2) return BlockKind::OnlyB;
  // Neither picture has a sample and both positions are tested: every pixel
  // comes out 0.
  if (codeA == 0 && codeB == 0) return BlockKind::Black;
  return BlockKind::Mixed;
}

// Calls visit(out, tl, tr, bl, br) for every block of the centred block area,
// one block row at a time, the rows shared out over `pool` (may be null).
template <typename Visit>
void forEachBlock(const FrameView& frame, const WarpGrid& grid, RasterPool* pool, Visit&& visit) {
  const std::int32_t W = frame.width, H = frame.height;
  const std::int32_t left = (W / 2) % 8, top = (H / 2) % 8;
  const auto blockRow = [&](std::int32_t by) {
    std::uint32_t* rowOut =
        frame.pixels + std::size_t(top + 16 * by) * std::size_t(W) + std::size_t(left);
    for (std::int32_t bx = 0; bx < W / 16; ++bx) {
      visit(rowOut + 16 * bx, grid.node(bx, by), grid.node(bx + 1, by), grid.node(bx, by + 1),
            grid.node(bx + 1, by + 1));
    }
  };
  if (pool != nullptr) {
    pool->run(H / 16, blockRow);
  } else {
    for (std::int32_t by = 0; by < H / 16; ++by) blockRow(by);
  }
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
bool warpHasAvx2() {
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
}
#else
bool warpHasAvx2() { return false; }
void transitionBlockAvx2(const TransitionBlock&, BlockKind, const SourceInfo&, const SourceInfo&) {}
void singleViewBlockAvx2(std::uint32_t*, std::ptrdiff_t, const Lerp&, const Lerp&,
                         const SourceInfo&) {}
#endif

bool rasteriseTransition(FrameView frame, const WarpGrid& grid, const WarpSource& a,
                         const WarpSource& b, PixelPath path, RasterPool* pool) {
  if (!frameUsable(frame) || !gridFits(frame, grid) || !warpSourceUsable(a) || !warpSourceUsable(b))
    return false;
  const SourceInfo sa = sourceInfo(a), sb = sourceInfo(b);
  const bool wide = path == PixelPath::Avx2 && warpHasAvx2();
  forEachBlock(frame, grid, pool,
               [&](std::uint32_t* out, const GridNode& tl, const GridNode& tr, const GridNode& bl,
                   const GridNode& br) {
                 TransitionBlock blk;
                 blk.out = out;
                 blk.stride = frame.width;
                 blk.codeA = code(tl.insideA + tr.insideA + bl.insideA + br.insideA);
                 blk.codeB = code(tl.insideB + tr.insideB + bl.insideB + br.insideB);
                 blk.uA = makeLerp(tl.uA, tr.uA, bl.uA, br.uA);
                 blk.vA = makeLerp(tl.vA, tr.vA, bl.vA, br.vA);
                 blk.weightA = makeLerp(tl.weightA, tr.weightA, bl.weightA, br.weightA);
                 blk.uB = makeLerp(tl.uB, tr.uB, bl.uB, br.uB);
                 blk.vB = makeLerp(tl.vB, tr.vB, bl.vB, br.vB);
                 const BlockKind kind = kindOf(blk.codeA, blk.codeB);
                 if (kind == BlockKind::Black) {
                   for (std::int32_t y = 0; y < 16; ++y) std::fill_n(out + y * blk.stride, 16, 0u);
                 } else if (wide) {
                   transitionBlockAvx2(blk, kind, sa, sb);
                 } else {
                   transitionBlockPortable(blk, kind, sa, sb);
                 }
               });
  return true;
}

bool rasteriseSingleView(FrameView frame, const WarpGrid& grid, const WarpSource& source,
                         PixelPath path, RasterPool* pool) {
  if (!frameUsable(frame) || !gridFits(frame, grid) || !warpSourceUsable(source)) return false;
  const SourceInfo s = sourceInfo(source);
  const bool wide = path == PixelPath::Avx2 && warpHasAvx2();
  forEachBlock(frame, grid, pool,
               [&](std::uint32_t* out, const GridNode& tl, const GridNode& tr, const GridNode& bl,
                   const GridNode& br) {
                 const Lerp u = makeLerp(tl.uA, tr.uA, bl.uA, br.uA);
                 const Lerp v = makeLerp(tl.vA, tr.vA, bl.vA, br.vA);
                 if (wide) {
                   singleViewBlockAvx2(out, frame.width, u, v, s);
                 } else {
                   singleViewBlockPortable(out, frame.width, u, v, s);
                 }
               });
  return true;
}

}  // namespace detail

bool warpSourceUsable(const WarpSource& source) {
  const PictureView& p = source.picture;
  if (!pictureUsable(p)) return false;
  if (source.map == nullptr) return true;
  const DisplacementMap& m = *source.map;
  return m.width == p.width && m.height == p.height && m.fractionBits >= 0 &&
         m.fractionBits <= kMaxDisplacementFractionBits &&
         m.words.size() == std::size_t(p.width) * std::size_t(p.height);
}

bool rasteriseTransition(FrameView frame, const WarpGrid& grid, const WarpSource& a,
                         const WarpSource& b, RasterPool* pool) {
  return detail::rasteriseTransition(frame, grid, a, b, detail::PixelPath::Avx2, pool);
}

bool rasteriseSingleView(FrameView frame, const WarpGrid& grid, const WarpSource& source,
                         RasterPool* pool) {
  return detail::rasteriseSingleView(frame, grid, source, detail::PixelPath::Avx2, pool);
}

bool renderTransitionPixels(FrameView frame, WarpGrid& grid, const TransitionFrame& tf,
                            const ViewPose& pose, const WarpSource& a, const WarpSource& b,
                            RasterPool* pool) {
  if (!frameUsable(frame) || !warpSourceUsable(a) || !warpSourceUsable(b)) return false;
  grid.resize(frame.width, frame.height);
  evaluateTransitionGrid(grid, tf, pose, a.picture.width, a.picture.height, b.picture.width,
                         b.picture.height, pool);
  return rasteriseTransition(frame, grid, a, b, pool);
}

bool renderSingleViewPixels(FrameView frame, WarpGrid& grid, const WarpSource& source,
                            RasterPool* pool) {
  if (!frameUsable(frame) || !warpSourceUsable(source)) return false;
  grid.resize(frame.width, frame.height);
  evaluateSingleViewGrid(grid, source.picture.width, source.picture.height);
  return rasteriseSingleView(frame, grid, source, pool);
}

}  // namespace vistel
