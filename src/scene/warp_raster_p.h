#pragma once

// Internals of the warp rasteriser shared by its portable and 256-bit paths,
// and the path choice its tests and benchmarks make explicitly.

#include <cstddef>
#include <cstdint>

#include "vistel/scene/warp_raster.h"

namespace vistel::detail {

enum class PixelPath {
  Portable,  // one pixel at a time in plain integer arithmetic; every processor
  Avx2,      // eight pixels at a time; only where warpHasAvx2()
};

// Whether this processor runs the Avx2 path.
bool warpHasAvx2();

// The public rasterisers with the path chosen by the caller (Avx2 only where
// warpHasAvx2()).
[[nodiscard]] bool rasteriseTransition(FrameView frame, const WarpGrid& grid, const WarpSource& a,
                                       const WarpSource& b, PixelPath path,
                                       RasterPool* pool = nullptr);
[[nodiscard]] bool rasteriseSingleView(FrameView frame, const WarpGrid& grid,
                                       const WarpSource& source, PixelPath path,
                                       RasterPool* pool = nullptr);

// One node value across a block: pixel (x, y) of the block, 0 <= x, y < 16,
// holds start + y * rowStep + x * (colStep + y * cross). Each factor is a
// truncated quotient of corner differences formed in 64 bits; the products and
// sums wrap in 32 bits, which gives the exact value since the value itself
// stays within kGridValueLimit + 255.
struct Lerp {
  std::int32_t start = 0;
  std::int32_t rowStep = 0;
  std::int32_t colStep = 0;
  std::int32_t cross = 0;

  std::int32_t at(std::int32_t x, std::int32_t y) const {
    const std::uint32_t step = std::uint32_t(colStep) + std::uint32_t(y) * std::uint32_t(cross);
    return std::int32_t(std::uint32_t(start) + std::uint32_t(y) * std::uint32_t(rowStep) +
                        std::uint32_t(x) * step);
  }
};

constexpr Lerp makeLerp(std::int32_t tl, std::int32_t tr, std::int32_t bl, std::int32_t br) {
  return {tl, std::int32_t((std::int64_t{bl} - tl) / 16),
          std::int32_t((std::int64_t{tr} - tl) / 16),
          std::int32_t((std::int64_t{br} + tl - tr - bl) / 256)};
}

// A source as the kernels see it.
struct SourceInfo {
  const std::uint8_t* pixels = nullptr;  // picture layout, spare row and pixel included
  const std::int32_t* map = nullptr;     // width * height words, or null for no displacement
  std::int32_t width = 0;
  std::int32_t height = 0;
  // The map's fraction bits: a displacement unit is 2^(16 - fractionBits) in
  // 16.16 positions. A displaced position is formed in wrapping 32-bit
  // arithmetic; built maps never wrap (they hold at most the picture's side).
  std::int32_t fractionBits = kMaxDisplacementFractionBits;
};

// What a transition block holds: code 2 (every corner inside), 0 (none) or 1
// for each picture.
enum class BlockKind { Black, OnlyA, OnlyB, Both, Mixed };

struct TransitionBlock {
  std::uint32_t* out = nullptr;  // the block's top-left pixel
  std::ptrdiff_t stride = 0;     // frame width in pixels
  Lerp uA, vA, weightA, uB, vB;
  int codeA = 0;
  int codeB = 0;
};

// The 256-bit kernels (defined only on x86).
void transitionBlockAvx2(const TransitionBlock& block, BlockKind kind, const SourceInfo& a,
                         const SourceInfo& b);
void singleViewBlockAvx2(std::uint32_t* out, std::ptrdiff_t stride, const Lerp& u, const Lerp& v,
                         const SourceInfo& source);

}  // namespace vistel::detail
