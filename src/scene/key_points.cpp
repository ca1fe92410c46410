#include "vistel/scene/key_points.h"

#include <cmath>

#include "vistel/project/encoding.h"

namespace vistel {

namespace {

// The block area starts here (see warp_raster.h).
double blockLeft(std::int32_t width) { return double((width / 2) % 8); }
double blockTop(std::int32_t height) { return double((height / 2) % 8); }

double cross(Vec2 o, Vec2 a, Vec2 b) {
  return (double(a.x) - o.x) * (double(b.y) - o.y) - (double(a.y) - o.y) * (double(b.x) - o.x);
}

// A millionth of the picture: 0.3 square pixels at 640 x 480.
constexpr double kMinTurn = 1e-6;
// Corners further than one picture outside it are no point of the picture.
constexpr float kMaxCoordinate = 1.5f;

}  // namespace

Vec2 viewPointOfFramePosition(double x, double y, std::int32_t width, std::int32_t height,
                              const ViewPose& pose) {
  const double span = 1.0 / pose.zoom;
  return {float(pose.xOffset - span / 2 + (x - blockLeft(width)) * span / width),
          float(pose.yOffset - span / 2 + (y - blockTop(height)) * span / height)};
}

FramePoint framePositionOfViewPoint(Vec2 v, std::int32_t width, std::int32_t height,
                                    const ViewPose& pose) {
  const double span = 1.0 / pose.zoom;
  return {(double(v.x) - pose.xOffset + span / 2) * width / span + blockLeft(width),
          (double(v.y) - pose.yOffset + span / 2) * height / span + blockTop(height)};
}

KeyQuadCheck checkKeyQuad(const KeyQuad& quad) {
  const std::array<Vec2, 4> p{quad.p0, quad.p1, quad.p2, quad.p3};
  for (const Vec2& v : p) {
    if (!std::isfinite(v.x) || !std::isfinite(v.y)) return KeyQuadCheck::NotFinite;
  }
  for (const Vec2& v : p) {
    if (std::fabs(v.x) > kMaxCoordinate || std::fabs(v.y) > kMaxCoordinate) {
      return KeyQuadCheck::OutOfRange;
    }
  }
  // Convex and in one sense: every turn has the same sign. A perspective
  // picture of a square never turns the other way or folds over itself.
  int positive = 0, negative = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const double turn = cross(p[i], p[(i + 1) % 4], p[(i + 2) % 4]);
    if (std::fabs(turn) < kMinTurn) return KeyQuadCheck::Degenerate;
    (turn > 0 ? positive : negative) += 1;
  }
  // (Four turns of one sense cannot wind twice round: that takes more than
  // four half turns.)
  return positive == 4 || negative == 4 ? KeyQuadCheck::Ok : KeyQuadCheck::NotConvex;
}

std::optional<std::string> keyTextOf(const KeyQuad& quad) {
  if (checkKeyQuad(quad) != KeyQuadCheck::Ok) return std::nullopt;
  return encodeKeyText(keyQuadToBytes(quad));
}

std::optional<KeyQuad> keyQuadOfText(const std::string& text) {
  return keyQuadFromBytes(decodeKeyText(text));
}

KeyQuad keyOfFramePositions(const std::array<FramePoint, 4>& points, std::int32_t width,
                            std::int32_t height) {
  std::array<Vec2, 4> corners;
  for (std::size_t i = 0; i < 4; ++i) {
    corners[i] = viewPointOfFramePosition(points[i].x, points[i].y, width, height);
  }
  return {corners[0], corners[1], corners[2], corners[3]};
}

std::array<FramePoint, 4> framePositionsOfKey(const KeyQuad& quad, std::int32_t width,
                                              std::int32_t height) {
  return {framePositionOfViewPoint(quad.p0, width, height),
          framePositionOfViewPoint(quad.p1, width, height),
          framePositionOfViewPoint(quad.p2, width, height),
          framePositionOfViewPoint(quad.p3, width, height)};
}

}  // namespace vistel
