#include "vistel/scene/warp_grid.h"

#include <algorithm>

#include "vistel/scene/warp_raster_pool.h"

namespace vistel {

namespace {

// Where one node lands in one picture.
struct Landing {
  bool inside = false;
  float s = 0;  // texture coordinates, [0, 1) across the picture when inside
  float t = 0;
};

Landing land(Vec3 h) {
  Landing l;
  float x, y;
  if (h.z >= 0) {
    x = h.x / h.z;
    y = h.y / h.z;
  } else {
    // Behind the camera: push the point far away so that pixels interpolated
    // towards it leave the picture.
    x = h.x * 100;
    y = h.y * 100;
  }
  l.s = x + 0.5f;
  l.t = y + 0.5f;
  // A point behind the camera is never inside, even where 100 x lands near the
  // centre. The far edges belong to the picture: a frame that ends exactly on
  // them (zoom 1 and a side that is a multiple of 16) keeps the picture in its
  // last block row and column; pixels between nodes never reach the edge.
  l.inside = h.z >= 0 && l.s >= 0 && l.s <= 1 && l.t >= 0 && l.t <= 1;
  return l;
}

}  // namespace

void WarpGrid::resize(std::int32_t width, std::int32_t height) {
  width_ = std::max(width, 0);
  height_ = std::max(height, 0);
  const std::size_t count = std::size_t(columns()) * std::size_t(rows());
  if (nodes_.size() < count) nodes_.resize(count);
}

void evaluateTransitionGrid(WarpGrid& grid, const TransitionFrame& tf, const ViewPose& pose,
                            std::int32_t widthA, std::int32_t heightA, std::int32_t widthB,
                            std::int32_t heightB, RasterPool* pool) {
  const std::int32_t W = grid.frameWidth(), H = grid.frameHeight();
  if (W <= 0 || H <= 0) return;
  const float c = 1.0f / pose.zoom;
  const float originX = pose.xOffset - c / 2, originY = pose.yOffset - c / 2;
  const float stepX = c * 16 / float(W), stepY = c * 16 / float(H);
  const double t = tf.t >= 0 ? std::min(double(tf.t), 1.0) : 0.0;  // NaN fails the test too
  const double fixA_x = double(widthA) * 65536, fixA_y = double(heightA) * 65536;
  const double fixB_x = double(widthB) * 65536, fixB_y = double(heightB) * 65536;

  const auto nodeRow = [&](std::int32_t j) {
    const float vy = originY + float(j) * stepY;
    for (std::int32_t i = 0; i < grid.columns(); ++i) {
      const Vec3 v{originX + float(i) * stepX, vy, 1};
      const Landing a = land(applyToVec3(tf.srcH, v));
      const Landing b = land(applyToVec3(tf.dstH, v));
      // A picture the node misses has a window of 0 there, so a node inside
      // one picture gives it the whole weight, while the blend lets it have
      // any. Where the blend takes every weight from the one picture that
      // covers it (t = 0 or 1), or the node misses both, the weights are the
      // plain cross-fade: at the ends of a link each picture then shows alone
      // wherever it covers, also between nodes that straddle the other
      // picture's edge.
      const double fa = a.inside ? edgeWindow(a.s) * edgeWindow(a.t) : 0;
      const double fb = b.inside ? edgeWindow(b.s) * edgeWindow(b.t) : 0;
      const double wA = (1 - t) * (fa * fa), wB = t * (fb * fb);
      const double sum = wA + wB;
      double weightA = 1 - t, weightB = t;
      if (sum > 0) {
        weightA = wA / sum;
        weightB = wB / sum;
      }
      GridNode& n = grid.node(i, j);
      n.insideA = a.inside ? 1 : 0;
      n.insideB = b.inside ? 1 : 0;
      n.uA = gridFixed(double(a.s) * fixA_x);
      n.vA = gridFixed(double(a.t) * fixA_y);
      n.weightA = gridFixed(weightA * 16777216);
      n.uB = gridFixed(double(b.s) * fixB_x);
      n.vB = gridFixed(double(b.t) * fixB_y);
      n.weightB = gridFixed(weightB * 16777216);
    }
  };
  if (pool != nullptr) {
    pool->run(grid.rows(), nodeRow);
  } else {
    for (std::int32_t j = 0; j < grid.rows(); ++j) nodeRow(j);
  }
}

void evaluateSingleViewGrid(WarpGrid& grid, std::int32_t width, std::int32_t height) {
  const std::int32_t W = grid.frameWidth(), H = grid.frameHeight();
  if (W <= 0 || H <= 0) return;
  const float stepX = 16.0f / float(W);
  for (std::int32_t j = 0; j < grid.rows(); ++j) {
    const float y = 16.0f * float(j) / float(H) - 0.5f;
    const std::int32_t v = gridFixed(double(y + 0.5f) * double(height) * 65536);
    for (std::int32_t i = 0; i < grid.columns(); ++i) {
      const float x = -0.5f + float(i) * stepX;
      grid.node(i, j) =
          GridNode{.uA = gridFixed(double(x + 0.5f) * double(width) * 65536), .vA = v};
    }
  }
}

}  // namespace vistel
