#pragma once

// The pixel core of the frame renderer: block rasterisation of a warp grid
// (warp_grid.h) into the output frame, with the lens displacement lookup and
// the bilinear samplers, for the transition path (two pictures warped and
// cross-faded) and the single-view path (one picture stretched over the frame).
//
// Blocks: a W x H frame is covered by (W div 16) x (H div 16) blocks of 16 x 16
// pixels whose area is centred, the first block's top-left pixel at column
// (W div 2) mod 8, row (H div 2) mod 8. Pixels outside the block area keep
// their contents. Between nodes every value is interpolated in integer
// arithmetic with truncating divisions.
//
// Reads stay inside each picture buffer whatever the grid, the keys or the
// displacement words say: a position (before or after displacement) outside
// the picture samples as 0 (all four bytes).
//
// Thread-safety: pure functions over the buffers given; calls on different
// frames may run at once. Given a RasterPool, a call shares its block rows (and
// grid rows) with the pool's helpers and returns when they are done; the bytes
// are the same as without one.

#include <cstdint>

#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/pixel_views.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster_pool.h"

namespace vistel {

// A picture with the displacement map that removes its lens distortion. `map`
// may be null, meaning no displacement (the "none" lens); otherwise it must be
// the map for the picture's size. Both must outlive the call they are given to.
struct WarpSource {
  PictureView picture;
  const DisplacementMap* map = nullptr;
};

// Whether `source` can be sampled: pictureUsable, and a map (if any) of the
// picture's size holding width * height words, with 0 to 8 fraction bits.
bool warpSourceUsable(const WarpSource& source);

// Renders the transition from A to B into `frame` (block area only):
// evaluateTransitionGrid into `grid` (resized to the frame; reused between
// calls so that frames allocate nothing), then rasteriseTransition. False,
// with frame and grid untouched, when the frame or a source is unusable.
[[nodiscard]] bool renderTransitionPixels(FrameView frame, WarpGrid& grid,
                                          const TransitionFrame& tf, const ViewPose& pose,
                                          const WarpSource& a, const WarpSource& b,
                                          RasterPool* pool = nullptr);

// Renders `source` stretched over the whole frame (block area only):
// evaluateSingleViewGrid into `grid`, then rasteriseSingleView. False, with
// frame and grid untouched, when the frame or the source is unusable.
[[nodiscard]] bool renderSingleViewPixels(FrameView frame, WarpGrid& grid, const WarpSource& source,
                                          RasterPool* pool = nullptr);

// Rasterises an evaluated transition grid: per block, codes 2 (every corner
// inside), 0 (none) or 1 for each picture select a fast path (2/2 mixes both
// samples by the interpolated weight of A, 2/0 and 0/2 copy one sample) or the
// per-pixel path, where a position outside its picture contributes black and
// hands the whole weight to the other picture. False, with the frame untouched,
// when the frame or a source is unusable or the grid was sized for another
// frame.
[[nodiscard]] bool rasteriseTransition(FrameView frame, const WarpGrid& grid, const WarpSource& a,
                                       const WarpSource& b, RasterPool* pool = nullptr);

// Rasterises an evaluated single-view grid (uA, vA of each node) with the
// single-view sampler, which has no window; the fourth byte is 0. False, with
// the frame untouched, as for rasteriseTransition.
[[nodiscard]] bool rasteriseSingleView(FrameView frame, const WarpGrid& grid,
                                       const WarpSource& source, RasterPool* pool = nullptr);

}  // namespace vistel
