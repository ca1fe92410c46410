#include "vistel/scene/geometry.h"

#include <bit>
#include <cmath>

namespace vistel {

namespace {

// Working form of a homography: m[row][col] in double, so that a chain such as
// quadToQuad rounds to float once at the end instead of after every step.
struct Mat3 {
  double m[3][3];
};

Mat3 widen(const Homography& h) {
  return {{{h.c0.x, h.c1.x, h.c2.x}, {h.c0.y, h.c1.y, h.c2.y}, {h.c0.z, h.c1.z, h.c2.z}}};
}

constexpr Homography kZero{};

// Rounds to float; a matrix that does not survive the rounding (NaN, or entries
// beyond float range) becomes the zero homography so that no caller meets
// infinities in its fixed-point conversions.
Homography narrow(const Mat3& a) {
  const auto col = [&a](int j) {
    return Vec3{static_cast<float>(a.m[0][j]), static_cast<float>(a.m[1][j]),
                static_cast<float>(a.m[2][j])};
  };
  const Homography h{col(0), col(1), col(2)};
  for (int j = 0; j < 3; ++j) {
    for (int k = 0; k < 3; ++k) {
      if (!std::isfinite(h.entry(k, j))) return kZero;
    }
  }
  return h;
}

Mat3 product(const Mat3& a, const Mat3& b) {
  Mat3 r;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      r.m[i][j] = a.m[i][0] * b.m[0][j] + a.m[i][1] * b.m[1][j] + a.m[i][2] * b.m[2][j];
    }
  }
  return r;
}

Mat3 adjugateOf(const Mat3& a) {
  const auto& m = a.m;
  Mat3 r;
  r.m[0][0] = m[1][1] * m[2][2] - m[1][2] * m[2][1];
  r.m[0][1] = -(m[0][1] * m[2][2] - m[0][2] * m[2][1]);
  r.m[0][2] = m[0][1] * m[1][2] - m[0][2] * m[1][1];
  r.m[1][0] = -(m[1][0] * m[2][2] - m[1][2] * m[2][0]);
  r.m[1][1] = m[0][0] * m[2][2] - m[0][2] * m[2][0];
  r.m[1][2] = -(m[0][0] * m[1][2] - m[0][2] * m[1][0]);
  r.m[2][0] = m[1][0] * m[2][1] - m[1][1] * m[2][0];
  r.m[2][1] = -(m[0][0] * m[2][1] - m[0][1] * m[2][0]);
  r.m[2][2] = m[0][0] * m[1][1] - m[0][1] * m[1][0];
  return r;
}

double determinantOf(const Mat3& a) {
  const auto& m = a.m;
  return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
         m[1][0] * (m[0][1] * m[2][2] - m[0][2] * m[2][1]) +
         m[2][0] * (m[0][1] * m[1][2] - m[0][2] * m[1][1]);
}

// The projective square-to-quad mapping; false for a degenerate quad (den = 0
// or non-finite), whose mapping does not exist.
bool squareToQuadOf(const KeyQuad& q, Mat3& out) {
  const double x0 = q.p0.x, y0 = q.p0.y, x1 = q.p1.x, y1 = q.p1.y;
  const double x2 = q.p2.x, y2 = q.p2.y, x3 = q.p3.x, y3 = q.p3.y;
  const double d1x = x1 - x2, d1y = y1 - y2;
  const double d2x = x3 - x2, d2y = y3 - y2;
  const double sx = x0 - x1 + x2 - x3, sy = y0 - y1 + y2 - y3;
  const double den = d1x * d2y - d1y * d2x;
  if (den == 0 || !std::isfinite(den)) return false;
  const double g = (sx * d2y - sy * d2x) / den;
  const double h = (d1x * sy - d1y * sx) / den;
  out = {{{x1 * (g + 1) - x0, x3 * (h + 1) - x0, x0},
          {y1 * (g + 1) - y0, y3 * (h + 1) - y0, y0},
          {g, h, 1}}};
  return true;
}

float readFloatLE(const std::uint8_t* p) {
  const std::uint32_t bits = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                             std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  return std::bit_cast<float>(bits);
}

void writeFloatLE(float v, std::uint8_t* p) {
  const auto bits = std::bit_cast<std::uint32_t>(v);
  p[0] = static_cast<std::uint8_t>(bits);
  p[1] = static_cast<std::uint8_t>(bits >> 8);
  p[2] = static_cast<std::uint8_t>(bits >> 16);
  p[3] = static_cast<std::uint8_t>(bits >> 24);
}

}  // namespace

std::optional<KeyQuad> keyQuadFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kKeyQuadBytes) return std::nullopt;
  float v[8];
  for (int i = 0; i < 8; ++i) v[i] = readFloatLE(bytes.data() + 4 * i);
  return KeyQuad{{v[0], v[1]}, {v[2], v[3]}, {v[4], v[5]}, {v[6], v[7]}};
}

std::array<std::uint8_t, kKeyQuadBytes> keyQuadToBytes(const KeyQuad& quad) {
  const float v[8] = {quad.p0.x, quad.p0.y, quad.p1.x, quad.p1.y,
                      quad.p2.x, quad.p2.y, quad.p3.x, quad.p3.y};
  std::array<std::uint8_t, kKeyQuadBytes> out{};
  for (int i = 0; i < 8; ++i) writeFloatLE(v[i], out.data() + 4 * i);
  return out;
}

Vec2 applyToPoint(const Homography& h, Vec2 p) {
  const double px = p.x, py = p.y;
  const double x = h.c0.x * px + h.c1.x * py + h.c2.x;
  const double y = h.c0.y * px + h.c1.y * py + h.c2.y;
  const double w = h.c0.z * px + h.c1.z * py + h.c2.z;
  const double r = 1 / w;
  return {static_cast<float>(x * r), static_cast<float>(y * r)};
}

Vec3 applyToVec3(const Homography& h, Vec3 v) {
  const double vx = v.x, vy = v.y, vz = v.z;
  return {static_cast<float>(h.c0.x * vx + h.c1.x * vy + h.c2.x * vz),
          static_cast<float>(h.c0.y * vx + h.c1.y * vy + h.c2.y * vz),
          static_cast<float>(h.c0.z * vx + h.c1.z * vy + h.c2.z * vz)};
}

Homography multiply(const Homography& a, const Homography& b) {
  const Mat3 r = product(widen(a), widen(b));
  const auto col = [&r](int j) {
    return Vec3{static_cast<float>(r.m[0][j]), static_cast<float>(r.m[1][j]),
                static_cast<float>(r.m[2][j])};
  };
  return {col(0), col(1), col(2)};
}

Homography adjugate(const Homography& h) {
  const Mat3 r = adjugateOf(widen(h));
  const auto col = [&r](int j) {
    return Vec3{static_cast<float>(r.m[0][j]), static_cast<float>(r.m[1][j]),
                static_cast<float>(r.m[2][j])};
  };
  return {col(0), col(1), col(2)};
}

float determinant(const Homography& h) { return static_cast<float>(determinantOf(widen(h))); }

Homography inverse(const Homography& h) {
  const Mat3 a = widen(h);
  const double det = determinantOf(a);
  if (det == 0 || !std::isfinite(det)) return kZero;
  const double r = 1 / det;
  Mat3 adj = adjugateOf(a);
  for (auto& row : adj.m) {
    for (double& e : row) e *= r;
  }
  return narrow(adj);
}

Homography squareToQuad(const KeyQuad& q) {
  Mat3 s;
  if (!squareToQuadOf(q, s)) return kZero;
  return narrow(s);
}

Homography quadToQuad(const KeyQuad& to, const KeyQuad& from) {
  Mat3 sTo, sFrom;
  if (!squareToQuadOf(to, sTo) || !squareToQuadOf(from, sFrom)) return kZero;
  // The adjugate stands in for the inverse: scale does not matter, and it
  // keeps the sign of det(sFrom) in the product, which the rule below undoes.
  Mat3 m = product(sTo, adjugateOf(sFrom));
  if (determinantOf(m) < 0) {
    for (auto& row : m.m) {
      for (double& e : row) e = -e;
    }
  }
  return narrow(m);
}

std::unique_ptr<TransitionFrame> makeTransitionFrame(const KeyQuad& a, const KeyQuad& b, float t) {
  const KeyQuad q{a.p0 + (b.p0 - a.p0) * t, a.p1 + (b.p1 - a.p1) * t, a.p2 + (b.p2 - a.p2) * t,
                  a.p3 + (b.p3 - a.p3) * t};
  auto frame = std::make_unique<TransitionFrame>();
  frame->t = t;
  frame->srcH = quadToQuad(a, q);
  frame->dstH = quadToQuad(b, q);
  return frame;
}

std::vector<Vec3> clipPolygon(const ClipPlane& plane, std::span<const Vec3> polygon) {
  std::vector<Vec3> out;
  if (polygon.empty()) return out;
  out.reserve(polygon.size() * 2);
  Vec3 prev = polygon.back();
  float ePrev = plane.distance(prev);
  for (const Vec3& cur : polygon) {
    const float eCur = plane.distance(cur);
    if (ePrev >= 0) out.push_back(prev);
    if ((ePrev < 0) != (eCur < 0)) out.push_back(cur + (prev - cur) * (eCur / (eCur - ePrev)));
    prev = cur;
    ePrev = eCur;
  }
  return out;
}

void outlineOfImage(const Homography& viewToImage, std::vector<Segment>& out) {
  const Homography toView = inverse(viewToImage);
  const Vec3 corners[4] = {
      applyToVec3(toView, {-0.5f, -0.5f, 1}), applyToVec3(toView, {0.5f, -0.5f, 1}),
      applyToVec3(toView, {0.5f, 0.5f, 1}), applyToVec3(toView, {-0.5f, 0.5f, 1})};
  // Points too close to the viewer's plane would blow up in the division.
  const std::vector<Vec3> clipped = clipPolygon({0, 0, 1, -0.025f}, corners);
  const std::size_t n = clipped.size();
  std::vector<Vec2> points(n);
  for (std::size_t k = 0; k < n; ++k)
    points[k] = {clipped[k].x / clipped[k].z, clipped[k].y / clipped[k].z};
  out.reserve(out.size() + n);
  for (std::size_t k = 0; k < n; ++k) {
    const Vec2 a = points[k], b = points[(k + 1) % n];
    out.push_back({a.x, a.y, b.x, b.y});
  }
}

}  // namespace vistel
