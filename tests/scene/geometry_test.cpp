#include "vistel/scene/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vistel {
namespace {

// A projective quad (no two sides parallel), convex, in image orientation.
constexpr KeyQuad kTilted{{-0.31f, -0.27f}, {0.36f, -0.22f}, {0.28f, 0.41f}, {-0.4f, 0.3f}};
// A different convex quad with the same orientation.
constexpr KeyQuad kOther{{-0.2f, -0.35f}, {0.45f, -0.3f}, {0.35f, 0.2f}, {-0.25f, 0.33f}};

KeyQuad mirrored(const KeyQuad& q) {
  return {{-q.p0.x, q.p0.y}, {-q.p1.x, q.p1.y}, {-q.p2.x, q.p2.y}, {-q.p3.x, q.p3.y}};
}

Vec2 centroid(const KeyQuad& q) { return (q.p0 + q.p1 + q.p2 + q.p3) * 0.25f; }

double maxAbs(const Homography& h) {
  double m = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m = std::max(m, std::abs(double{h.entry(r, c)}));
  }
  return m;
}

// h == s * g for some s > 0, each entry within `tol` of the largest entry.
void expectPositiveMultiple(const Homography& h, const Homography& g, double tol = 1e-5) {
  double hg = 0, gg = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      hg += double{h.entry(r, c)} * g.entry(r, c);
      gg += double{g.entry(r, c)} * g.entry(r, c);
    }
  }
  ASSERT_GT(gg, 0);
  const double s = hg / gg;
  ASSERT_GT(s, 0) << "opposite sign";
  const double scale = maxAbs(h);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(h.entry(r, c), s * g.entry(r, c), tol * scale) << "entry " << r << "," << c;
    }
  }
}

void expectNear(Vec2 a, Vec2 b, float tol = 1e-5f) {
  EXPECT_NEAR(a.x, b.x, tol);
  EXPECT_NEAR(a.y, b.y, tol);
}

TEST(KeyBytes, LittleEndianFloatsInPointOrder) {
  std::vector<std::uint8_t> bytes(40, 0xEE);  // longer than a key: the tail is ignored
  // p0.x = 1.0f (0x3F800000), p1.y = -2.5f (0xC0200000), p3.y = 0.5f (0x3F000000), others 0.
  const std::uint8_t zero[4] = {0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) std::copy(zero, zero + 4, bytes.begin() + 4 * i);
  bytes[2] = 0x80, bytes[3] = 0x3F;
  bytes[14] = 0x20, bytes[15] = 0xC0;
  bytes[31] = 0x3F;
  const auto quad = keyQuadFromBytes(bytes);
  ASSERT_TRUE(quad);
  EXPECT_EQ(*quad, (KeyQuad{{1.0f, 0}, {0, -2.5f}, {0, 0}, {0, 0.5f}}));

  const auto back = keyQuadToBytes(*quad);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), bytes.begin()));
  EXPECT_EQ(keyQuadFromBytes(keyQuadToBytes(kTilted)), kTilted);
}

TEST(KeyBytes, FewerThanThirtyTwoBytesIsNoKey) {
  const auto bytes = keyQuadToBytes(kTilted);
  EXPECT_FALSE(keyQuadFromBytes(std::span(bytes.data(), 31)));
  EXPECT_FALSE(keyQuadFromBytes({}));
}

TEST(Vectors, OperatorsAndPlaneDistance) {
  Vec2 a{1.5f, -2};
  a += Vec2{0.5f, 1};
  a -= Vec2{1, 1};
  EXPECT_EQ(a, (Vec2{1, -2}));
  EXPECT_EQ(a / 4.0f, (Vec2{0.25f, -0.5f}));
  Vec3 v{1, 2, 3};
  v += Vec3{1, 1, 1};
  EXPECT_EQ(-v, (Vec3{-2, -3, -4}));
  EXPECT_EQ((v * 0.5f - Vec3{1, 1, 1}), (Vec3{0, 0.5f, 1}));
  EXPECT_FLOAT_EQ((ClipPlane{1, -2, 3, -4}.distance({1, 1, 1})), -2.0f);
}

TEST(Homography, ColumnsAreAppliedToColumnVectors) {
  // Translation sits in the third column; the bottom row divides.
  const Homography shift{{1, 0, 0}, {0, 1, 0}, {0.25f, -0.5f, 1}};
  expectNear(applyToPoint(shift, {1, 2}), {1.25f, 1.5f});
  EXPECT_FLOAT_EQ(shift.entry(0, 2), 0.25f);
  const Homography halve{{1, 0, 0}, {0, 1, 0}, {0, 0, 2}};
  expectNear(applyToPoint(halve, {1, -3}), {0.5f, -1.5f});
  EXPECT_EQ(applyToVec3(halve, {1, -3, 1}), (Vec3{1, -3, 2}));
  const Homography a{{2, 0, 1}, {1, 3, 0}, {0, 1, 1}};
  // Rows (2 1 0), (0 3 1), (1 0 1): det = 2*(3*1 - 1*0) - 1*(0*1 - 1*1) + 0 = 7.
  EXPECT_FLOAT_EQ(determinant(a), 7.0f);
}

TEST(Homography, MultiplyComposesAndInverseUndoes) {
  const Homography a = squareToQuad(kTilted);
  const Homography b{{0.9f, 0.1f, 0.02f}, {-0.2f, 1.1f, 0.03f}, {0.05f, -0.1f, 1}};
  for (const Vec2 p : {Vec2{0.1f, 0.2f}, Vec2{0.7f, 0.4f}, Vec2{-0.3f, 0.9f}}) {
    expectNear(applyToPoint(multiply(a, b), p), applyToPoint(a, applyToPoint(b, p)));
    expectNear(applyToPoint(inverse(a), applyToPoint(a, p)), p);
  }
  expectPositiveMultiple(multiply(a, inverse(a)), Homography::identity());
  expectPositiveMultiple(multiply(inverse(b), b), Homography::identity());
  // adjugate = det * inverse, entry by entry.
  const Homography adj = adjugate(b), inv = inverse(b);
  const float det = determinant(b);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(adj.entry(r, c), det * inv.entry(r, c), 1e-6);
  }
}

TEST(SquareToQuad, ImageCornerKeyIsTheImageSquare) {
  const Homography h = squareToQuad(kImageCornerKey);
  EXPECT_EQ(applyToPoint(h, {0.5f, 0.5f}), (Vec2{0, 0}));
  EXPECT_EQ(applyToPoint(h, {0, 0}), kImageCornerKey.p0);
  EXPECT_EQ(applyToPoint(h, {1, 1}), kImageCornerKey.p2);
}

TEST(SquareToQuad, MapsTheUnitSquareCornersToAProjectiveQuad) {
  const Homography h = squareToQuad(kTilted);
  EXPECT_NE(h.c0.z, 0.0f);  // genuinely projective
  expectNear(applyToPoint(h, {0, 0}), kTilted.p0);
  expectNear(applyToPoint(h, {1, 0}), kTilted.p1);
  expectNear(applyToPoint(h, {1, 1}), kTilted.p2);
  expectNear(applyToPoint(h, {0, 1}), kTilted.p3);
  EXPECT_GT(applyToVec3(h, {0.5f, 0.5f, 1}).z, 0);
}

TEST(QuadToQuad, KeyWithItselfIsAPositiveMultipleOfIdentity) {
  for (const KeyQuad& q : {kImageCornerKey, kTilted, mirrored(kTilted)}) {
    expectPositiveMultiple(quadToQuad(q, q), Homography::identity());
  }
}

TEST(QuadToQuad, MapsCornersAndKeepsInnerPointsInFront) {
  const Homography m = quadToQuad(kOther, kTilted);
  expectNear(applyToPoint(m, kTilted.p0), kOther.p0);
  expectNear(applyToPoint(m, kTilted.p1), kOther.p1);
  expectNear(applyToPoint(m, kTilted.p2), kOther.p2);
  expectNear(applyToPoint(m, kTilted.p3), kOther.p3);
  const Vec2 c = centroid(kTilted);
  EXPECT_GT(applyToVec3(m, {c.x, c.y, 1}).z, 0);
}

TEST(QuadToQuad, NegativeDeterminantIsNegated) {
  // Both quads mirrored: the raw product has det(S_to) * det(S_from)^2 < 0.
  const KeyQuad to = mirrored(kOther), from = mirrored(kTilted);
  const Homography raw = multiply(squareToQuad(to), adjugate(squareToQuad(from)));
  ASSERT_LT(determinant(raw), 0);
  const Homography m = quadToQuad(to, from);
  EXPECT_GT(determinant(m), 0);
  const Homography negated{-raw.c0, -raw.c1, -raw.c2};
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.entry(r, c), negated.entry(r, c), 1e-6 * maxAbs(raw));
  }
  const Vec2 inner = centroid(from);
  EXPECT_GT(applyToVec3(m, {inner.x, inner.y, 1}).z, 0);
  expectNear(applyToPoint(m, from.p2), to.p2);
}

TEST(QuadToQuad, DegenerateInputGivesTheZeroHomography) {
  // p1, p2, p3 on one line: the projective map does not exist.
  const KeyQuad collinear{{-0.5f, -0.5f}, {0.5f, -0.5f}, {0, 0}, {-0.5f, 0.5f}};
  EXPECT_EQ(squareToQuad(collinear), Homography{});
  EXPECT_EQ(quadToQuad(kTilted, collinear), Homography{});
  EXPECT_EQ(quadToQuad(collinear, kTilted), Homography{});
  // Other collinear triples give a singular but finite map.
  const Homography flat = squareToQuad({{-0.5f, -0.5f}, {0, 0}, {0.5f, 0.5f}, {-0.5f, 0.5f}});
  EXPECT_NEAR(determinant(flat), 0, 1e-6);
  EXPECT_TRUE(std::isfinite(maxAbs(flat)));
  KeyQuad nan = kTilted;
  nan.p1.x = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(quadToQuad(kTilted, nan), Homography{});
  KeyQuad infinite = kTilted;
  infinite.p2.y = std::numeric_limits<float>::infinity();
  EXPECT_EQ(quadToQuad(infinite, kTilted), Homography{});
  const Homography singular{{1, 2, 3}, {2, 4, 6}, {0, 1, 1}};
  EXPECT_EQ(inverse(singular), Homography{});
  std::vector<Segment> outline;
  outlineOfImage(Homography{}, outline);
  EXPECT_TRUE(outline.empty());
}

TEST(TransitionFrame, EndsAreTheKeysAndTheMiddleInterpolates) {
  const auto start = makeTransitionFrame(kTilted, kOther, 0);
  ASSERT_TRUE(start);
  EXPECT_EQ(start->t, 0);
  expectPositiveMultiple(start->srcH, Homography::identity());
  expectPositiveMultiple(start->dstH, quadToQuad(kOther, kTilted));

  const auto end = makeTransitionFrame(kTilted, kOther, 1);
  expectPositiveMultiple(end->srcH, quadToQuad(kTilted, kOther));
  expectPositiveMultiple(end->dstH, Homography::identity());

  const auto mid = makeTransitionFrame(kTilted, kOther, 0.25f);
  EXPECT_EQ(mid->t, 0.25f);
  const Vec2 q2 = kTilted.p2 + (kOther.p2 - kTilted.p2) * 0.25f;
  expectNear(applyToPoint(mid->srcH, q2), kTilted.p2);
  expectNear(applyToPoint(mid->dstH, q2), kOther.p2);
}

TEST(ClipPolygon, AllInsideComesBackRotatedLastFirst) {
  const std::vector<Vec3> quad{{0, 0, 1}, {1, 0, 0.5f}, {1, 1, 2}, {0, 1, 0.025f}};
  const auto out = clipPolygon({0, 0, 1, -0.025f}, quad);
  EXPECT_EQ(out, (std::vector<Vec3>{quad[3], quad[0], quad[1], quad[2]}));
}

TEST(ClipPolygon, WhollyBehindIsEmpty) {
  const std::vector<Vec3> quad{{0, 0, -1}, {1, 0, 0.02f}, {1, 1, -2}, {0, 1, 0}};
  EXPECT_TRUE(clipPolygon({0, 0, 1, -0.025f}, quad).empty());
  EXPECT_TRUE(clipPolygon({0, 0, 1, 0}, std::vector<Vec3>{}).empty());
}

TEST(ClipPolygon, CrossingPointsFollowTheWalk) {
  const std::vector<Vec3> quad{{0, 0, 1}, {2, 0, 1}, {2, 2, -1}, {0, 2, 1}};
  const auto out = clipPolygon({0, 0, 1, 0}, quad);
  // Emitted: v3, v0, v1, the crossing on v1-v2, the crossing on v2-v3.
  ASSERT_EQ(out.size(), 5u);
  EXPECT_EQ(out[0], quad[3]);
  EXPECT_EQ(out[1], quad[0]);
  EXPECT_EQ(out[2], quad[1]);
  EXPECT_EQ(out[3], (Vec3{2, 1, 0}));
  EXPECT_EQ(out[4], (Vec3{1, 2, 0}));
}

TEST(ClipPolygon, ZeroDistanceCountsAsInside) {
  const std::vector<Vec3> tri{{0, 0, 1}, {1, 0, 0}, {1, 1, 1}};
  const auto out = clipPolygon({0, 0, 1, 0}, tri);
  EXPECT_EQ(out, (std::vector<Vec3>{tri[2], tri[0], tri[1]}));
}

TEST(OutlineOfImage, IdentityGivesTheImageRectangle) {
  std::vector<Segment> out{{9, 9, 9, 9}};  // appended to, not replaced
  outlineOfImage(Homography::identity(), out);
  const std::vector<Segment> expected{{9, 9, 9, 9},
                                      {-0.5f, 0.5f, -0.5f, -0.5f},
                                      {-0.5f, -0.5f, 0.5f, -0.5f},
                                      {0.5f, -0.5f, 0.5f, 0.5f},
                                      {0.5f, 0.5f, -0.5f, 0.5f}};
  EXPECT_EQ(out, expected);

  // Scale is irrelevant; a view-to-image map that halves shows the image twice as large.
  std::vector<Segment> scaled, zoomed;
  outlineOfImage(Homography{{3, 0, 0}, {0, 3, 0}, {0, 0, 3}}, scaled);
  EXPECT_EQ(scaled, std::vector<Segment>(expected.begin() + 1, expected.end()));
  outlineOfImage(Homography{{0.5f, 0, 0}, {0, 0.5f, 0}, {0, 0, 1}}, zoomed);
  ASSERT_EQ(zoomed.size(), 4u);
  EXPECT_EQ(zoomed[1], (Segment{-1, -1, 1, -1}));
}

TEST(OutlineOfImage, BehindTheViewerAppendsNothing) {
  std::vector<Segment> out;
  outlineOfImage(Homography{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}}, out);
  EXPECT_TRUE(out.empty());
}

TEST(OutlineOfImage, PartlyBehindStaysAClosedLoopInFront) {
  // Tilted so that the image's right edge lies behind the viewer.
  // Image point (x, y) lands at w = 1 - 3x: the right edge (w = -0.5) lies behind,
  // the clip keeps x <= 0.325, which lands at view x = 0.325 / 0.025 = 13.
  const Homography toView{{1, 0, -3}, {0, 1, 0}, {0, 0, 1}};
  std::vector<Segment> out;
  outlineOfImage(inverse(toView), out);
  ASSERT_EQ(out.size(), 4u);  // two corners cut, two crossings added
  float maxX = -1;
  for (std::size_t k = 0; k < out.size(); ++k) {
    const Segment& s = out[k];
    const Segment& next = out[(k + 1) % out.size()];
    EXPECT_EQ(s.x2, next.x1);
    EXPECT_EQ(s.y2, next.y1);
    EXPECT_TRUE(std::isfinite(s.x1) && std::isfinite(s.y1));
    maxX = std::max(maxX, s.x1);
  }
  EXPECT_NEAR(maxX, 13.0f, 0.01f);
}

}  // namespace
}  // namespace vistel
