// Lens map building (on every lens-cache miss, inside a rendered frame) and the
// homography operations the renderer and navigator run per frame.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"

namespace vistel {
namespace {

void BM_BuildLensMap(benchmark::State& state) {
  const auto width = static_cast<std::int32_t>(state.range(0));
  const auto height = static_cast<std::int32_t>(state.range(1));
  for (auto _ : state) {
    auto map = buildProfileMap(kKamoLens0, "kamolens0", width, height);
    benchmark::DoNotOptimize(map->words.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{width} * height);
}
BENCHMARK(BM_BuildLensMap)
    ->ArgNames({"w", "h"})
    ->Args({640, 480})
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Args({3840, 2160})
    ->Unit(benchmark::kMillisecond);

// The straightforward per-pixel formula, for comparison with the hoisted loop.
void BM_BuildLensMapDirect(benchmark::State& state) {
  const LensProfile& p = kKamoLens0;
  const int W = 640, H = 480;
  std::vector<std::int32_t> words(std::size_t(W) * H);
  for (auto _ : state) {
    for (int j = 0; j < H; ++j) {
      for (int k = 0; k < W; ++k) {
        const double xr =
            (double(p.refWidth) / W) * (W * p.centreX * (1 - p.scaleX) + p.scaleX * k);
        const double yr =
            (double(p.refHeight) / H) * (H * p.centreY * (1 - p.scaleY) + p.scaleY * j);
        const double yn = (yr - p.cy) / p.fy;
        const double xn = (xr - p.cx) / p.fx - p.skew * yn;
        const double r2 = xn * xn + yn * yn;
        const double radial = 1 + p.k1 * r2 + p.k2 * (r2 * r2) + p.k3 * (r2 * r2 * r2);
        const double xd = xn * radial + p.p2 * (r2 + 2 * (xn * xn)) + p.p1 * (2 * xn * yn);
        const double yd = yn * radial + p.p1 * (r2 + 2 * (yn * yn)) + p.p2 * (2 * xn * yn);
        const double x = (double(W) / p.refWidth) * (p.cx + p.fx * (xd + p.skew * yd));
        const double y = (double(H) / p.refHeight) * (p.cy + p.fy * yd);
        const auto dx =
            static_cast<std::uint32_t>(static_cast<std::int32_t>(std::trunc((x - k) * 256)));
        const auto dy =
            static_cast<std::uint32_t>(static_cast<std::int32_t>(std::trunc((y - j) * 256)));
        words[std::size_t(j) * W + k] = static_cast<std::int32_t>((dx & 0xFFFF) | (dy << 16));
      }
    }
    benchmark::DoNotOptimize(words.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{W} * H);
}
BENCHMARK(BM_BuildLensMapDirect)->Unit(benchmark::kMillisecond);

void BM_DistortPoint(benchmark::State& state) {
  const PointDistorter lens(kKamoLens1);
  double x = 0, y = 0;
  for (auto _ : state) {
    const LensPoint p = lens.distort(x, y);
    benchmark::DoNotOptimize(p);
    x = x < 639 ? x + 1 : 0;
    y = y < 479 ? y + 0.5 : 0;
  }
}
BENCHMARK(BM_DistortPoint);

constexpr KeyQuad kA{{-0.31f, -0.27f}, {0.36f, -0.22f}, {0.28f, 0.41f}, {-0.4f, 0.3f}};
constexpr KeyQuad kB{{-0.2f, -0.35f}, {0.45f, -0.3f}, {0.35f, 0.2f}, {-0.25f, 0.33f}};

// What a link does once per rendered frame.
void BM_MakeTransitionFrame(benchmark::State& state) {
  float t = 0;
  for (auto _ : state) {
    auto frame = makeTransitionFrame(kA, kB, t);
    benchmark::DoNotOptimize(frame.get());
    t = t < 0.99f ? t + 0.01f : 0;
  }
}
BENCHMARK(BM_MakeTransitionFrame);

// The renderer's per-node work: one homogeneous mapping per grid node of a
// 640 x 480 frame (41 x 31 nodes).
void BM_ApplyToVec3Grid(benchmark::State& state) {
  const Homography h = quadToQuad(kB, kA);
  for (auto _ : state) {
    float acc = 0;
    for (int j = 0; j <= 30; ++j) {
      for (int i = 0; i <= 40; ++i) {
        const Vec3 v = applyToVec3(h, {-0.5f + i * (16.0f / 640), -0.5f + j * (16.0f / 480), 1});
        acc += v.x / v.z + v.y / v.z;
      }
    }
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(state.iterations() * 41 * 31);
}
BENCHMARK(BM_ApplyToVec3Grid);

void BM_OutlineOfImage(benchmark::State& state) {
  const Homography h = quadToQuad(kA, kB);
  std::vector<Segment> segments;
  for (auto _ : state) {
    segments.clear();
    outlineOfImage(h, segments);
    benchmark::DoNotOptimize(segments.data());
  }
}
BENCHMARK(BM_OutlineOfImage);

}  // namespace
}  // namespace vistel
