// test-labels: threads
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "vistel/scene/lens.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster.h"
#include "vistel/scene/warp_raster_p.h"

namespace vistel {
namespace {

using detail::PixelPath;

// A picture in the renderer's layout, sized exactly (spare row and pixel) so
// that a sanitizer sees any read beyond it.
struct Picture {
  std::int32_t width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
  PictureView view() const {
    return {reinterpret_cast<const std::uint8_t*>(pixels.data()), width, height};
  }
};

Picture randomPicture(std::mt19937& rng, std::int32_t width, std::int32_t height) {
  Picture p{width, height, std::vector<std::uint32_t>(std::size_t(width) * (height + 1) + 1)};
  for (auto& px : p.pixels) px = rng();
  return p;
}

std::unique_ptr<DisplacementMap> hostileMap(std::mt19937& rng, std::int32_t width,
                                            std::int32_t height) {
  auto m = std::make_unique<DisplacementMap>();
  m->name = "hostile";
  m->width = width;
  m->height = height;
  m->words.resize(std::size_t(width) * height);
  // Any unit, full 16-bit displacements and the extremes: up to 32768 pixels
  // either way, which can wrap the 32-bit position.
  m->fractionBits = std::int32_t(rng() % (kMaxDisplacementFractionBits + 1));
  for (auto& w : m->words)
    w = std::int32_t(rng() % 4 == 0 ? 0x80008000u : 0x7FFF7FFFu * (rng() % 2) + rng());
  return m;
}

// ---- Reference, one pixel at a time, in plain 64-bit integer arithmetic ----

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

int byteOf(std::uint32_t p, int k) { return int(p >> (8 * k) & 0xFF); }

std::uint32_t pixelAt(const Picture& p, std::int64_t index) {
  return p.pixels.at(std::size_t(index));
}

// sample(image, map, u, v) with the transition or the single-view sampler; 0
// wherever a position falls outside the picture. The displaced position wraps
// in 32 bits.
std::uint32_t refSample(const Picture& p, const DisplacementMap* map, std::int64_t u,
                        std::int64_t v, bool transition) {
  std::int64_t x = floorDiv(u, 65536), y = floorDiv(v, 65536);
  if (x < 0 || y < 0 || x >= p.width || y >= p.height) return 0;
  if (map) {
    const std::int32_t d = map->words.at(std::size_t(y * p.width + x));
    const std::int64_t unit = std::int64_t{1} << (16 - map->fractionBits);
    const auto wrap = [](std::int64_t value) {
      return std::int64_t(std::int32_t(std::uint32_t(value)));
    };
    u = wrap(u + std::int16_t(d & 0xFFFF) * unit);
    v = wrap(v + std::int16_t(std::uint32_t(d) >> 16) * unit);
    x = floorDiv(u, 65536);
    y = floorDiv(v, 65536);
  }
  if (x < 0 || y < 0 || x >= p.width || y >= p.height) return 0;
  const std::int64_t i = y * p.width + x;
  const std::uint32_t p00 = pixelAt(p, i), p10 = pixelAt(p, i + 1), p01 = pixelAt(p, i + p.width),
                      p11 = pixelAt(p, i + p.width + 1);
  std::uint32_t out = 0;
  for (int k = 0; k < (transition ? 4 : 3); ++k) {
    std::int64_t r;
    if (transition) {
      const std::int64_t fx = (u - x * 65536) / 2, fy = (v - y * 65536) / 2;
      const std::int64_t top =
          byteOf(p00, k) + 2 * floorDiv((byteOf(p10, k) - byteOf(p00, k)) * fx, 65536);
      const std::int64_t bottom =
          byteOf(p01, k) + 2 * floorDiv((byteOf(p11, k) - byteOf(p01, k)) * fx, 65536);
      r = std::clamp<std::int64_t>(top + 2 * floorDiv((bottom - top) * fy, 65536), 0, 255);
    } else {
      const std::int64_t gx = 65535 - (u - x * 65536), gy = 65535 - (v - y * 65536);
      const std::int64_t top =
          byteOf(p10, k) + floorDiv((byteOf(p00, k) - byteOf(p10, k)) * gx, 65536);
      const std::int64_t bottom =
          byteOf(p11, k) + floorDiv((byteOf(p01, k) - byteOf(p11, k)) * gx, 65536);
      r = bottom + floorDiv((top - bottom) * gy, 65536);
    }
    out |= std::uint32_t(r) << (8 * k);
  }
  return out;
}

std::uint32_t refMix(std::uint32_t a, std::uint32_t b, std::int64_t share) {
  std::uint32_t out = 0;
  for (int k = 0; k < 3; ++k) {
    out |= std::uint32_t(byteOf(b, k) + floorDiv((byteOf(a, k) - byteOf(b, k)) * share, 65536))
           << (8 * k);
  }
  return out;
}

// Value at pixel (x, y) of a block from its corner values.
std::int64_t refLerp(std::int64_t tl, std::int64_t tr, std::int64_t bl, std::int64_t br, int x,
                     int y) {
  const std::int64_t rowStart = tl + y * ((bl - tl) / 16);
  const std::int64_t step = (tr - tl) / 16 + y * ((br + tl - tr - bl) / 256);
  return rowStart + x * step;
}

struct Side {
  const Picture* picture;
  const DisplacementMap* map;
};

// Both render paths' block rasterisation; `a` alone for the single view.
std::vector<std::uint32_t> refRaster(const WarpGrid& grid, std::vector<std::uint32_t> frame,
                                     std::int32_t W, std::int32_t H, Side a, const Side* b) {
  const int left = (W / 2) % 8, top = (H / 2) % 8;
  for (int by = 0; by < H / 16; ++by) {
    for (int bx = 0; bx < W / 16; ++bx) {
      const GridNode* n[4] = {&grid.node(bx, by), &grid.node(bx + 1, by), &grid.node(bx, by + 1),
                              &grid.node(bx + 1, by + 1)};
      int insideA = 0, insideB = 0;
      for (const GridNode* c : n) insideA += c->insideA, insideB += c->insideB;
      const int codeA = insideA == 4 ? 2
                        : insideA    ? 1
                                     : 0,
                codeB = insideB == 4 ? 2
                        : insideB    ? 1
                                     : 0;
      for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
          const auto at = [&](std::int32_t GridNode::*f) {
            return refLerp(n[0]->*f, n[1]->*f, n[2]->*f, n[3]->*f, x, y);
          };
          const std::int64_t uA = at(&GridNode::uA), vA = at(&GridNode::vA);
          std::uint32_t out;
          if (b == nullptr) {
            out = refSample(*a.picture, a.map, uA, vA, false);
          } else {
            const std::int64_t uB = at(&GridNode::uB), vB = at(&GridNode::vB),
                               w = at(&GridNode::weightA);
            std::int64_t share = w < 0 ? 0 : w < 16777472 ? w / 256 : 65536;
            const auto sA = [&] { return refSample(*a.picture, a.map, uA, vA, true); };
            const auto sB = [&] { return refSample(*b->picture, b->map, uB, vB, true); };
            if (codeA == 2 && codeB == 2) {
              out = refMix(sA(), sB(), share);
            } else if (codeA == 2 && codeB == 0) {
              out = sA();
            } else if (codeA == 0 && codeB == 2) {
              out = sB();
            } else {
              std::uint32_t pa = 0, pb = 0;
              if (uA < 0 || vA < 0 || uA >= a.picture->width * 65536ll ||
                  vA >= a.picture->height * 65536ll) {
                share = 0;
              } else if (codeA != 0) {
                pa = sA();
              }
              if (uB < 0 || vB < 0 || uB >= b->picture->width * 65536ll ||
                  vB >= b->picture->height * 65536ll) {
                share = 65536;
              } else if (codeB != 0) {
                pb = sB();
              }
              out = refMix(pa, pb, share);
            }
          }
          frame[std::size_t(top + 16 * by + y) * W + left + 16 * bx + x] = out;
        }
      }
    }
  }
  return frame;
}

// The grid formulas in double precision.
struct RefLanding {
  double s, t, w;
  bool inside;
};

RefLanding refLand(const Homography& h, double vx, double vy) {
  const double x = h.c0.x * vx + h.c1.x * vy + h.c2.x, y = h.c0.y * vx + h.c1.y * vy + h.c2.y;
  const double w = h.c0.z * vx + h.c1.z * vy + h.c2.z;
  const double px = w >= 0 ? x / w : x * 100, py = w >= 0 ? y / w : y * 100;
  const double s = px + 0.5, t = py + 0.5;
  return {s, t, w, w >= 0 && s >= 0 && s <= 1 && t >= 0 && t <= 1};
}

double refWindow(double s) { return 8 * std::pow(s, 4) - 16 * std::pow(s, 3) + 6 * s * s + 2 * s; }

// Compares the evaluated grid with the formulas where float rounding cannot
// flip a decision (w and the texture coordinates away from 0 and the edges).
void expectGridNearFormulas(const WarpGrid& grid, const TransitionFrame& tf, const ViewPose& pose,
                            std::int32_t wA, std::int32_t hA, std::int32_t wB, std::int32_t hB) {
  const double c = 1.0 / pose.zoom, W = grid.frameWidth(), H = grid.frameHeight();
  const auto fixed = [](double v) {
    return std::clamp(v, -double(kGridValueLimit), double(kGridValueLimit));
  };
  const auto stable = [](const RefLanding& l) {
    const auto away = [](double s) { return std::abs(s) > 1e-4 && std::abs(s - 1) > 1e-4; };
    return std::abs(l.w) > 1e-3 && away(l.s) && away(l.t) && std::abs(l.s) < 1e4 &&
           std::abs(l.t) < 1e4;
  };
  int compared = 0;
  for (int j = 0; j < grid.rows(); ++j) {
    for (int i = 0; i < grid.columns(); ++i) {
      const double vx = pose.xOffset - c / 2 + i * c * 16 / W,
                   vy = pose.yOffset - c / 2 + j * c * 16 / H;
      const RefLanding a = refLand(tf.srcH, vx, vy), b = refLand(tf.dstH, vx, vy);
      if (!stable(a) || !stable(b)) continue;
      const GridNode& n = grid.node(i, j);
      ++compared;
      ASSERT_EQ(n.insideA, a.inside ? 1 : 0) << i << "," << j;
      ASSERT_EQ(n.insideB, b.inside ? 1 : 0) << i << "," << j;
      ASSERT_NEAR(n.uA, fixed(a.s * wA * 65536), 1e-4 * wA * 65536 * (1 + std::abs(a.s)) + 2);
      ASSERT_NEAR(n.vA, fixed(a.t * hA * 65536), 1e-4 * hA * 65536 * (1 + std::abs(a.t)) + 2);
      ASSERT_NEAR(n.uB, fixed(b.s * wB * 65536), 1e-4 * wB * 65536 * (1 + std::abs(b.s)) + 2);
      ASSERT_NEAR(n.vB, fixed(b.t * hB * 65536), 1e-4 * hB * 65536 * (1 + std::abs(b.t)) + 2);
      const double wa = a.inside ? (1 - tf.t) * std::pow(refWindow(a.s) * refWindow(a.t), 2) : 0;
      const double wb = b.inside ? tf.t * std::pow(refWindow(b.s) * refWindow(b.t), 2) : 0;
      double weightA = 1 - tf.t, weightB = tf.t;  // the cross-fade where neither takes weight
      if (wa + wb > 0) {
        weightA = wa / (wa + wb);
        weightB = wb / (wa + wb);
      }
      ASSERT_NEAR(n.weightA, weightA * 16777216, 2e-5 * 16777216);
      ASSERT_NEAR(n.weightB, weightB * 16777216, 2e-5 * 16777216);
    }
  }
  EXPECT_GT(compared, grid.columns() * grid.rows() / 4);
}

// ---- Goldens ----

std::vector<std::uint32_t> filledFrame(std::int32_t W, std::int32_t H) {
  return std::vector<std::uint32_t>(std::size_t(W) * H, 0xDEADBEEF);
}

TEST(Warp, BlockAreaIsCentredAndTheRestKeepsItsContents) {
  std::mt19937 rng(1);
  const Picture a = randomPicture(rng, 64, 48), b = randomPicture(rng, 64, 48);
  const std::int32_t W = 330, H = 250;  // blocks from column 5 and row 5
  const auto tf = makeTransitionFrame(
      kImageCornerKey, {{-0.4f, -0.5f}, {0.6f, -0.5f}, {0.6f, 0.5f}, {-0.4f, 0.5f}}, 0.5f);
  for (bool transition : {true, false}) {
    auto frame = filledFrame(W, H);
    WarpGrid grid;
    const FrameView view{frame.data(), W, H};
    ASSERT_TRUE(transition ? renderTransitionPixels(view, grid, *tf, {}, {a.view()}, {b.view()})
                           : renderSingleViewPixels(view, grid, {a.view()}));
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        const bool inArea = x >= 5 && x < 5 + 20 * 16 && y >= 5 && y < 5 + 15 * 16;
        ASSERT_EQ(frame[y * W + x] != 0xDEADBEEF, inArea) << x << "," << y;
      }
    }
  }
}

TEST(Warp, IdentityAtTheStartShowsThePixelsOfA) {
  std::mt19937 rng(2);
  // Power-of-two sizes make every node land on a whole pixel of A.
  Picture a = randomPicture(rng, 512, 256);
  for (auto& p : a.pixels) p &= 0x00FFFFFF;
  const Picture b = randomPicture(rng, 300, 200);
  // B covers the top-left quarter of the view, A all of it; the last node row
  // and column lie on A's far edge, which counts as inside.
  const TransitionFrame tf{0.0f, Homography::identity(), {{2, 0, 0}, {0, 2, 0}, {0.5f, 0.5f, 1}}};
  std::vector<std::uint32_t> frame(512 * 256);
  WarpGrid grid;
  ASSERT_TRUE(
      renderTransitionPixels({frame.data(), 512, 256}, grid, tf, {}, {a.view()}, {b.view()}));
  int both = 0;
  for (const GridNode& n : grid.nodes()) {
    if (n.insideA) {
      EXPECT_EQ(n.weightA, 1 << 24);
    }
    both += n.insideA && n.insideB;
  }
  EXPECT_GT(both, 100);  // B covers a quarter of the view, yet takes no weight at t = 0
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 512; ++x)
      ASSERT_EQ(frame[y * 512 + x], a.pixels[y * 512 + x]) << x << "," << y;
  }
}

TEST(Warp, PointsBehindTheCameraAreOutsideBothPictures) {
  std::mt19937 rng(3);
  Picture a = randomPicture(rng, 64, 64);
  for (auto& p : a.pixels) p |= 0x00FFFFFF;
  // w = -1 everywhere; x / w would be inside, and so would 100 x near the centre.
  const Homography behind{{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
  const TransitionFrame tf{0.5f, behind, behind};
  auto frame = filledFrame(64, 64);
  WarpGrid grid;
  ASSERT_TRUE(renderTransitionPixels({frame.data(), 64, 64}, grid, tf, {}, {a.view()}, {a.view()}));
  for (const GridNode& n : grid.nodes()) EXPECT_FALSE(n.insideA || n.insideB);
  for (std::uint32_t p : frame) ASSERT_EQ(p, 0u);
}

TEST(Warp, HostileTransformsAndPosesRenderBlackWithDefinedValues) {
  std::mt19937 rng(4);
  const Picture a = randomPicture(rng, 40, 30);
  const float nan = std::numeric_limits<float>::quiet_NaN(),
              inf = std::numeric_limits<float>::infinity();
  const Homography bad{{nan, 1, 0}, {0, inf, 0}, {0, 0, 1}};
  const Homography zero{};
  struct Case {
    TransitionFrame tf;
    ViewPose pose;
  } cases[] = {{{0.5f, bad, bad}, {}},
               {{nan, zero, zero}, {}},
               {{0.5f, Homography::identity(), Homography::identity()}, {0.0f, 0, 0}},
               {{0.5f, Homography::identity(), Homography::identity()}, {nan, nan, 0}},
               {{0.5f, Homography::identity(), Homography::identity()}, {1e-30f, 0, 0}}};
  for (const Case& c : cases) {
    auto frame = filledFrame(48, 32);
    WarpGrid grid;
    ASSERT_TRUE(
        renderTransitionPixels({frame.data(), 48, 32}, grid, c.tf, c.pose, {a.view()}, {a.view()}));
    for (const GridNode& n : grid.nodes()) {
      EXPECT_FALSE(n.insideA || n.insideB);
      EXPECT_GE(n.uA, -kGridValueLimit);
      EXPECT_LE(n.uA, kGridValueLimit);
    }
    for (std::uint32_t p : frame) ASSERT_EQ(p, 0u);
  }
}

TEST(Warp, RefusesUnusableInputsAndLeavesTheFrameAlone) {
  std::mt19937 rng(5);
  const Picture a = randomPicture(rng, 40, 30);
  DisplacementMap wrongSize{"none", 40, 31, 8, std::vector<std::int32_t>(40 * 31)};
  DisplacementMap wrongUnit{"none", 40, 30, 9, std::vector<std::int32_t>(40 * 30)};
  auto frame = filledFrame(32, 32);
  WarpGrid grid;
  const TransitionFrame tf{0.5f, Homography::identity(), Homography::identity()};
  EXPECT_FALSE(renderSingleViewPixels({frame.data(), 32, 32}, grid, {a.view(), &wrongSize}));
  EXPECT_FALSE(renderSingleViewPixels({frame.data(), 32, 32}, grid, {a.view(), &wrongUnit}));
  EXPECT_FALSE(renderTransitionPixels({frame.data(), 32, 32}, grid, tf, {}, {a.view()},
                                      {{nullptr, 40, 30}}));
  EXPECT_FALSE(renderSingleViewPixels({frame.data(), 0, 32}, grid, {a.view()}));
  grid.resize(16, 32);
  EXPECT_FALSE(rasteriseSingleView({frame.data(), 32, 32}, grid, {a.view()}));
  for (std::uint32_t p : frame) ASSERT_EQ(p, 0xDEADBEEF);
}

// ---- Fast paths against the reference on generated input ----

// Two helpers beside the test's thread, as on a machine with three cores.
RasterPool& sharedPool() {
  static RasterPool pool(defaultThreadStarter(), 2);
  return pool;
}

KeyQuad randomKey(std::mt19937& rng, float spread) {
  std::uniform_real_distribution<float> d(-spread, spread);
  KeyQuad k = kImageCornerKey;
  for (Vec2* p : {&k.p0, &k.p1, &k.p2, &k.p3}) *p += Vec2{d(rng), d(rng)};
  return k;
}

struct Maps {
  std::vector<std::unique_ptr<DisplacementMap>> owned;
  const DisplacementMap* pick(std::mt19937& rng, const Picture& p) {
    switch (rng() % 5) {
      case 0:
        return nullptr;
      case 4:  // all zero: the renderer passes no map in its place
        owned.push_back(buildMap("none", p.width, p.height, nullptr));
        break;
      case 1:
        owned.push_back(buildMap("kamolens0", p.width, p.height, nullptr));
        break;
      case 2:
        owned.push_back(buildMap("kamolens1", p.width, p.height, nullptr));
        break;
      default:
        owned.push_back(hostileMap(rng, p.width, p.height));
    }
    return owned.back().get();
  }
};

const std::int32_t kFrameSizes[][2] = {{330, 250}, {640, 480}, {100, 37},
                                       {16, 16},   {17, 200},  {257, 129}};
const std::int32_t kPictureSizes[][2] = {{640, 480}, {320, 240}, {700, 500}, {123, 77}, {1, 1}};

TEST(Warp, TransitionMatchesTheReferenceOnBothPaths) {
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> unit(0, 1);
  int kinds[5] = {};
  for (int round = 0; round < 36; ++round) {
    const auto& fs = kFrameSizes[round % 6];
    const auto& sa = kPictureSizes[rng() % 5];
    const auto& sb = kPictureSizes[rng() % 5];
    const Picture a = randomPicture(rng, sa[0], sa[1]), b = randomPicture(rng, sb[0], sb[1]);
    Maps maps;
    const Side sideA{&a, maps.pick(rng, a)}, sideB{&b, maps.pick(rng, b)};
    // Wide spreads fold keys over and put parts of the view behind a camera.
    const float spread = round % 3 == 0 ? 0.9f : 0.25f;
    const auto tf =
        makeTransitionFrame(randomKey(rng, spread), randomKey(rng, spread), unit(rng) * 0.99f);
    const ViewPose pose{0.5f + 2.5f * unit(rng), unit(rng) - 0.5f, unit(rng) - 0.5f};
    const std::int32_t W = fs[0], H = fs[1];

    WarpGrid grid;
    grid.resize(W, H);
    evaluateTransitionGrid(grid, *tf, pose, a.width, a.height, b.width, b.height);
    expectGridNearFormulas(grid, *tf, pose, a.width, a.height, b.width, b.height);
    for (int by = 0; by < H / 16; ++by) {
      for (int bx = 0; bx < W / 16; ++bx) {
        const int ia = grid.node(bx, by).insideA + grid.node(bx + 1, by).insideA +
                       grid.node(bx, by + 1).insideA + grid.node(bx + 1, by + 1).insideA;
        const int ib = grid.node(bx, by).insideB + grid.node(bx + 1, by).insideB +
                       grid.node(bx, by + 1).insideB + grid.node(bx + 1, by + 1).insideB;
        ++kinds[(ia == 4 && ib == 4)   ? 0
                : (ia == 4 && ib == 0) ? 1
                : (ia == 0 && ib == 4) ? 2
                : (ia || ib)           ? 3
                                       : 4];
      }
    }
    const auto expected = refRaster(grid, filledFrame(W, H), W, H, sideA, &sideB);
    for (PixelPath path : {PixelPath::Portable, PixelPath::Avx2}) {
      if (path == PixelPath::Avx2 && !detail::warpHasAvx2()) continue;
      for (RasterPool* pool : {static_cast<RasterPool*>(nullptr), &sharedPool()}) {
        auto frame = filledFrame(W, H);
        ASSERT_TRUE(detail::rasteriseTransition({frame.data(), W, H}, grid, {a.view(), sideA.map},
                                                {b.view(), sideB.map}, path, pool));
        ASSERT_EQ(frame, expected)
            << "round " << round << " path " << int(path) << " pool " << (pool != nullptr);
      }
    }
    // The pool shares the grid's rows too.
    WarpGrid pooled;
    pooled.resize(W, H);
    evaluateTransitionGrid(pooled, *tf, pose, a.width, a.height, b.width, b.height, &sharedPool());
    ASSERT_TRUE(std::equal(
        pooled.nodes().begin(), pooled.nodes().end(), grid.nodes().begin(),
        [](const GridNode& x, const GridNode& y) { return std::memcmp(&x, &y, sizeof x) == 0; }));
  }
  // Every kind of block (both, only A, only B, mixed, neither) came up.
  for (int k : kinds) EXPECT_GT(k, 0);
}

TEST(Warp, SingleViewMatchesTheReferenceOnBothPaths) {
  std::mt19937 rng(7);
  for (int round = 0; round < 18; ++round) {
    const auto& fs = kFrameSizes[round % 6];
    const auto& ps = kPictureSizes[rng() % 5];
    const Picture p = randomPicture(rng, ps[0], ps[1]);
    Maps maps;
    const Side side{&p, maps.pick(rng, p)};
    const std::int32_t W = fs[0], H = fs[1];
    WarpGrid grid;
    grid.resize(W, H);
    evaluateSingleViewGrid(grid, p.width, p.height);
    for (int j = 0; j < grid.rows(); ++j) {
      for (int i = 0; i < grid.columns(); ++i) {
        ASSERT_NEAR(grid.node(i, j).uA, 16.0 * i / W * p.width * 65536, 1e-6 * p.width * 65536 + 1);
        ASSERT_NEAR(grid.node(i, j).vA, 16.0 * j / H * p.height * 65536,
                    1e-6 * p.height * 65536 + 1);
      }
    }
    const auto expected = refRaster(grid, filledFrame(W, H), W, H, side, nullptr);
    for (PixelPath path : {PixelPath::Portable, PixelPath::Avx2}) {
      if (path == PixelPath::Avx2 && !detail::warpHasAvx2()) continue;
      for (RasterPool* pool : {static_cast<RasterPool*>(nullptr), &sharedPool()}) {
        auto frame = filledFrame(W, H);
        ASSERT_TRUE(detail::rasteriseSingleView({frame.data(), W, H}, grid, {p.view(), side.map},
                                                path, pool));
        ASSERT_EQ(frame, expected)
            << "round " << round << " path " << int(path) << " pool " << (pool != nullptr);
      }
    }
  }
}

}  // namespace
}  // namespace vistel
