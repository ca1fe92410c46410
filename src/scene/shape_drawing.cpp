#include "vistel/scene/shape_drawing.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "vistel/scene/frame_renderer.h"

namespace vistel {

namespace {

// trunc(v) held inside int32; hostile points may lie anywhere.
std::int32_t toPixel(float v) {
  constexpr float kLimit = 2147483648.0f;  // 2^31
  if (v >= kLimit) return std::numeric_limits<std::int32_t>::max();
  if (v <= -kLimit) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

// Draws the closed polygon of `count` points given by `pointAt` (frame fractions).
template <class PointAt>
void drawOutline(FrameRenderer& renderer, ShapeInstance& shape, std::size_t count,
                 PointAt pointAt) {
  if (count == 0) return;
  const std::uint32_t colour = shape.scope().getColour("linecolor");
  const float width = static_cast<float>(renderer.width());
  const float height = static_cast<float>(renderer.height());
  Vec2 a = pointAt(count - 1);
  for (std::size_t i = 0; i < count; ++i) {
    const Vec2 b = pointAt(i);
    const float ax = a.x * width, ay = a.y * height, bx = b.x * width, by = b.y * height;
    if (!std::isnan(ax) && !std::isnan(ay) && !std::isnan(bx) && !std::isnan(by)) {
      renderer.drawLine(toPixel(ax), toPixel(ay), toPixel(bx), toPixel(by), colour);
    }
    a = b;
  }
}

}  // namespace

void drawFlat(FrameRenderer& renderer, ShapeInstance& shape) {
  const auto points = shape.points();
  drawOutline(renderer, shape, points.size(), [&](std::size_t i) {
    return Vec2{points[i].x, points[i].y};
  });
}

void drawProjected(FrameRenderer& renderer, ShapeInstance& shape, const Homography& viewToImage) {
  if (!shape.isProjected()) {
    drawFlat(renderer, shape);
    return;
  }
  const Homography imageToView = inverse(viewToImage);
  const Vec2 half{0.5f, 0.5f};
  const auto points = shape.points();
  drawOutline(renderer, shape, points.size(), [&](std::size_t i) {
    return applyToPoint(imageToView, Vec2{points[i].x, points[i].y} - half) + half;
  });
}

}  // namespace vistel
