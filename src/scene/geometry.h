#pragma once

// The geometry kernel shared by every picture-producing path: float vectors,
// the 3x3 projective transform, key quads and their 32-byte form, the
// transition frame a link hands to the renderer, and the clipping that turns an
// image rectangle into an outline in view space.
//
// Coordinates: a camera image spans x in [-0.5, 0.5] left to right and y in
// [-0.5, 0.5] top to bottom ("normalised image coordinates"); pixel position is
// ((x + 0.5) * width, (y + 0.5) * height). View space at zoom 1 and no pan spans
// the same square. Homogeneous points are column vectors (x, y, w).
//
// Storage is float32 throughout; products and sums inside the homography
// operations are formed in double and rounded once.
//
// Thread-safety: values and pure functions only; any thread may call anything
// here on its own data.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vistel {

struct Vec2 {
  float x = 0;
  float y = 0;
  friend bool operator==(const Vec2&, const Vec2&) = default;
};

constexpr Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
constexpr Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
constexpr Vec2 operator*(Vec2 a, float s) { return {a.x * s, a.y * s}; }
// Multiplies by the reciprocal, so a / s may differ from dividing each
// component by s in the last bit.
constexpr Vec2 operator/(Vec2 a, float s) {
  const float r = 1.0f / s;
  return {a.x * r, a.y * r};
}
constexpr Vec2& operator+=(Vec2& a, Vec2 b) {
  a.x += b.x;
  a.y += b.y;
  return a;
}
constexpr Vec2& operator-=(Vec2& a, Vec2 b) {
  a.x -= b.x;
  a.y -= b.y;
  return a;
}

struct Vec3 {
  float x = 0;
  float y = 0;
  float z = 0;
  friend bool operator==(const Vec3&, const Vec3&) = default;
};

constexpr Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
constexpr Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
constexpr Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
constexpr Vec3 operator-(Vec3 a) { return {-a.x, -a.y, -a.z}; }
constexpr Vec3& operator+=(Vec3& a, Vec3 b) {
  a.x += b.x;
  a.y += b.y;
  a.z += b.z;
  return a;
}

// 3x3 projective transform stored column by column: component k of column j is
// the entry in row k, column j. Never normalised; only its action on
// homogeneous points matters, and its sign, which quadToQuad chooses so that
// points inside the mapped region get w > 0.
struct Homography {
  Vec3 c0;
  Vec3 c1;
  Vec3 c2;

  static constexpr Homography identity() { return {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}; }
  // Entry in `row`, `col` (both 0..2).
  constexpr float entry(int row, int col) const {
    const Vec3& c = col == 0 ? c0 : col == 1 ? c1 : c2;
    return row == 0 ? c.x : row == 1 ? c.y : c.z;
  }
  friend bool operator==(const Homography&, const Homography&) = default;
};

// Where a project's common reference square lies in one camera image: p0..p3
// are the normalised positions of the square's corners (0,0), (1,0), (1,1),
// (0,1), in that order.
struct KeyQuad {
  Vec2 p0;
  Vec2 p1;
  Vec2 p2;
  Vec2 p3;
  friend bool operator==(const KeyQuad&, const KeyQuad&) = default;
};

// The key whose reference square is the whole image.
inline constexpr KeyQuad kImageCornerKey{
    {-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0.5f}, {-0.5f, 0.5f}};

// Size of a key's binary form (the decoded bytes of a key text).
inline constexpr std::size_t kKeyQuadBytes = 32;

// Reads the first 32 bytes as eight little-endian float32 values p0.x, p0.y,
// p1.x, ... p3.y. Nothing when fewer than 32 bytes are given; bytes beyond 32
// are ignored. Values are taken as they are (NaN and infinities included).
[[nodiscard]] std::optional<KeyQuad> keyQuadFromBytes(std::span<const std::uint8_t> bytes);

// The inverse of keyQuadFromBytes: the eight values as little-endian float32.
std::array<std::uint8_t, kKeyQuadBytes> keyQuadToBytes(const KeyQuad& quad);

// Homogeneous half-space a*x + b*y + c*w + d >= 0.
struct ClipPlane {
  float a = 0;
  float b = 0;
  float c = 0;
  float d = 0;
  // Signed distance of `v` (float32 arithmetic); 0 counts as inside.
  constexpr float distance(Vec3 v) const { return a * v.x + b * v.y + c * v.z + d; }
};

// Directed 2D line segment from (x1, y1) to (x2, y2).
struct Segment {
  float x1 = 0;
  float y1 = 0;
  float x2 = 0;
  float y2 = 0;
  friend bool operator==(const Segment&, const Segment&) = default;
};

// The state of a link at one instant. srcH maps view coordinates to normalised
// coordinates of the source image, dstH likewise for the destination image; t
// is the blend weight of the destination image (makeTransitionFrame stores its
// interpolation factor; a link's transitionAt its own blend weight).
struct TransitionFrame {
  float t = 0;
  Homography srcH;
  Homography dstH;
};

// The operations below allocate nothing unless they say so.
//
// Degenerate input (a quad whose corners p1, p2, p3 are collinear, a singular
// matrix, non-finite key values, or results beyond float range) yields the zero
// homography from squareToQuad, quadToQuad and inverse. Other collinear
// corners give a singular but finite map. The zero homography
// maps every point to (0, 0, 0): w = 0 there, so the renderer and the outline
// clipper treat the whole plane as outside.

// (X/W, Y/W) where (X, Y, W) = H * (p.x, p.y, 1). No test for W = 0: callers
// that can meet points at or behind the camera test W with applyToVec3.
Vec2 applyToPoint(const Homography& h, Vec2 p);
// H * v, no division.
Vec3 applyToVec3(const Homography& h, Vec3 v);
// a * b: column j of the result is a applied to column j of b.
Homography multiply(const Homography& a, const Homography& b);
// The transposed cofactor matrix.
Homography adjugate(const Homography& h);
float determinant(const Homography& h);
// adjugate(h) / determinant(h); the zero homography when h is singular.
Homography inverse(const Homography& h);
// Maps (0,0), (1,0), (1,1), (0,1) to q.p0, q.p1, q.p2, q.p3.
Homography squareToQuad(const KeyQuad& q);
// Maps each point of `from` to the matching point of `to`, signed so that the
// points inside `from` get w > 0 (for a convex quad).
Homography quadToQuad(const KeyQuad& to, const KeyQuad& from);

// The link state between keys a and b at progress t: corners interpolated as
// a + (b - a) * t, srcH = quadToQuad(a, interpolated), dstH = quadToQuad(b,
// interpolated). The caller owns the result (one heap object per frame).
std::unique_ptr<TransitionFrame> makeTransitionFrame(const KeyQuad& a, const KeyQuad& b, float t);

// Sutherland-Hodgman against one plane for a closed polygon: walking each
// vertex C with its predecessor P (the last vertex precedes the first), emits P
// when P is inside, then the crossing point when exactly one of P, C is
// outside. The result therefore starts with the last input vertex when that
// one is inside; an empty result means nothing is inside. Allocates the result.
std::vector<Vec3> clipPolygon(const ClipPlane& plane, std::span<const Vec3> polygon);

// Appends to `out` the outline, in view space, of the image that `viewToImage`
// maps view coordinates into: the image corners mapped by its inverse, clipped
// to w >= 0.025, divided by w, and joined vertex k to k+1 (the last to the
// first). Appends nothing when the image lies wholly behind the viewer.
void outlineOfImage(const Homography& viewToImage, std::vector<Segment>& out);

}  // namespace vistel
