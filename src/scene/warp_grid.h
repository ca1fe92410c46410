#pragma once

// The coarse half of the two-stage warp: the exact mapping from output pixels
// to picture positions is evaluated only at grid nodes 16 pixels apart; the
// rasteriser (warp_raster.h) interpolates between them in fixed point.
//
// Node (i, j) stands for output pixel (16 * i, 16 * j) relative to the first
// block's corner; a W x H frame has (W div 16 + 1) x (H div 16 + 1) nodes.
//
// Fixed-point values hostile keys, zoom or offsets can drive out of range are
// defined: every stored value is truncated toward zero and clamped to
// [-kGridValueLimit, kGridValueLimit], and a position that is not a number
// becomes -kGridValueLimit, outside every picture. The limit keeps the
// rasteriser's interpolation inside 32 bits while covering pictures of
// kMaxWarpPictureSide pixels.
//
// Thread-safety: a WarpGrid is a plain value owned by one renderer; the
// functions may run on any thread on their own grid.

#include <cstdint>
#include <span>
#include <vector>

#include "vistel/scene/geometry.h"

namespace vistel {

class RasterPool;

inline constexpr std::int32_t kGridValueLimit = std::int32_t{1} << 30;

// One node of the transition grid, eight int32 in this order. Positions are
// pixels of a picture in 16.16 fixed point; weights have 2^24 = 1.0.
struct GridNode {
  std::int32_t insideA = 0;  // 1 if the node maps inside source picture A
  std::int32_t insideB = 0;  // 1 if it maps inside destination picture B
  std::int32_t uA = 0;
  std::int32_t vA = 0;
  std::int32_t weightA = 0;
  std::int32_t uB = 0;
  std::int32_t vB = 0;
  std::int32_t weightB = 0;  // kept for completeness; the rasteriser reads weightA only
};
static_assert(sizeof(GridNode) == 32);

// Zoom and pan of the output frame: it shows the square of side 1/zoom centred
// on (xOffset, yOffset) of view space.
struct ViewPose {
  float zoom = 1;
  float xOffset = 0;
  float yOffset = 0;
};

// The node array for one frame size. Not thread-safe; one owner.
class WarpGrid {
 public:
  // Sizes the grid for a frame of `width` x `height` pixels (negative sides
  // count as 0). Reallocates only when the node count grows; node contents are
  // undefined until evaluated.
  void resize(std::int32_t width, std::int32_t height);

  std::int32_t frameWidth() const { return width_; }
  std::int32_t frameHeight() const { return height_; }
  std::int32_t columns() const { return width_ / 16 + 1; }
  std::int32_t rows() const { return height_ / 16 + 1; }

  // Node (i, j), 0 <= i < columns(), 0 <= j < rows(); no range check.
  GridNode& node(std::int32_t i, std::int32_t j) { return nodes_[std::size_t(j) * columns() + i]; }
  const GridNode& node(std::int32_t i, std::int32_t j) const {
    return nodes_[std::size_t(j) * columns() + i];
  }
  // All nodes row by row; valid until the next resize.
  std::span<const GridNode> nodes() const {
    return {nodes_.data(), std::size_t(columns()) * std::size_t(rows())};
  }

 private:
  std::vector<GridNode> nodes_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
};

// Fills every node of `grid` for a transition between picture A (widthA x
// heightA) and picture B: the view point of the node is mapped by tf.srcH and
// tf.dstH, projected (a point with w < 0 lies behind the camera: outside, and
// pushed away as (100 x, 100 y)), tested against the picture (inside: texture
// coordinates in [0, 1], edges included) and weighted by the edge window
// f(s) = 8s^4 - 16s^3 + 6s^2 + 2s: wA = (1 - t) (f(sA) f(tA))^2 where the node
// is inside A, else 0, wB = t (f(sB) f(tB))^2 likewise, weightA = wA / (wA +
// wB). Where wA + wB is 0 (t = 0 at a node only B covers, t = 1 at one only A
// covers, a node outside both, or windows that vanish on an edge) the weights
// are the plain cross-fade 1 - t and t. tf.t is clamped to [0, 1] (not a
// number counts as 0).
// With a pool (may be null) the node rows are shared out over its helpers.
void evaluateTransitionGrid(WarpGrid& grid, const TransitionFrame& tf, const ViewPose& pose,
                            std::int32_t widthA, std::int32_t heightA, std::int32_t widthB,
                            std::int32_t heightB, RasterPool* pool = nullptr);

// Fills uA, vA of every node for a picture of width x height stretched over the
// whole frame (no zoom, no pan); the other fields become 0.
void evaluateSingleViewGrid(WarpGrid& grid, std::int32_t width, std::int32_t height);

// The edge window: 0 at s = 0 and s = 1, 1 at s = 0.5.
constexpr double edgeWindow(double s) {
  const double s2 = s * s;
  return 8 * s2 * s2 - 16 * s2 * s + 6 * s2 + 2 * s;
}

// trunc(value) clamped to [-kGridValueLimit, kGridValueLimit]; not a number
// gives -kGridValueLimit.
constexpr std::int32_t gridFixed(double value) {
  if (!(value >= -kGridValueLimit)) return -kGridValueLimit;
  if (value > kGridValueLimit) return kGridValueLimit;
  return static_cast<std::int32_t>(value);
}

}  // namespace vistel
