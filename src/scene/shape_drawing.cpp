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

// Draws the closed polygon of `count` points given by `pixelAt` (frame pixel
// positions, not yet truncated).
template <class PixelAt>
void drawOutline(FrameRenderer& renderer, ShapeInstance& shape, std::size_t count,
                 PixelAt pixelAt) {
  if (count == 0) return;
  const std::uint32_t colour = shape.scope().getColour("linecolor");
  Vec2 a = pixelAt(count - 1);
  for (std::size_t i = 0; i < count; ++i) {
    const Vec2 b = pixelAt(i);
    if (!std::isnan(a.x) && !std::isnan(a.y) && !std::isnan(b.x) && !std::isnan(b.y)) {
      renderer.drawLine(toPixel(a.x), toPixel(a.y), toPixel(b.x), toPixel(b.y), colour);
    }
    a = b;
  }
}

}  // namespace

void drawFlat(FrameRenderer& renderer, ShapeInstance& shape) {
  const auto points = shape.points();
  const float width = static_cast<float>(renderer.width());
  const float height = static_cast<float>(renderer.height());
  drawOutline(renderer, shape, points.size(), [&](std::size_t i) {
    return Vec2{points[i].x * width, points[i].y * height};
  });
}

void drawProjected(FrameRenderer& renderer, ShapeInstance& shape, const Homography& viewToImage) {
  if (!shape.isProjected()) {
    drawFlat(renderer, shape);
    return;
  }
  const Homography imageToView = inverse(viewToImage);
  const Vec2 half{0.5f, 0.5f};
  const float width = static_cast<float>(renderer.width());
  const float height = static_cast<float>(renderer.height());
  const BlockArea blocks = blockAreaOf(renderer.width(), renderer.height());
  const float zoom = renderer.zoom();
  const Vec2 offset{renderer.xOffset(), renderer.yOffset()};
  const auto points = shape.points();
  drawOutline(renderer, shape, points.size(), [&](std::size_t i) {
    const Vec2 view = applyToPoint(imageToView, Vec2{points[i].x, points[i].y} - half);
    const Vec2 fraction = (view - offset) * zoom + half;
    return Vec2{static_cast<float>(blocks.left) + fraction.x * width,
                static_cast<float>(blocks.top) + fraction.y * height};
  });
}

}  // namespace vistel
