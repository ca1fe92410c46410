// The renderer's pixel core, the product's hot loop: one camera picture
// stretched over the frame, and a transition warping two lens-corrected
// camera pictures and cross-fading them. Beside each transition, the same
// frame made with OpenCV as a user would: per source cv::remap through the
// undistortion map and cv::warpPerspective, then cv::addWeighted, on one thread.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster.h"

#ifdef VISTEL_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace vistel {
namespace {

constexpr std::int32_t kSourceWidth = 640, kSourceHeight = 480;

// A camera picture with some structure (smooth gradients and noise), in the
// decoded layout with its spare row and pixel.
std::vector<std::uint32_t> cameraPicture(std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> p(std::size_t(kSourceWidth) * (kSourceHeight + 1) + 1, 0);
  for (std::int32_t y = 0; y < kSourceHeight; ++y) {
    for (std::int32_t x = 0; x < kSourceWidth; ++x) {
      const std::uint32_t r = (x * 255 / kSourceWidth) ^ (rng() & 15),
                          g = (y * 255 / kSourceHeight) ^ (rng() & 15);
      p[std::size_t(y) * kSourceWidth + x] = r << 16 | g << 8 | ((x + y) & 255);
    }
  }
  return p;
}

// Two cameras looking at one reference square from either side, half-way
// through the link: the pictures overlap in part, as in a real project.
const KeyQuad kKeyA{{-0.05f, -0.2f}, {0.45f, -0.15f}, {0.4f, 0.3f}, {-0.1f, 0.25f}};
const KeyQuad kKeyB{{-0.45f, -0.15f}, {0.05f, -0.2f}, {0.1f, 0.25f}, {-0.4f, 0.3f}};
constexpr float kProgress = 0.5f;

struct Scenario {
  std::vector<std::uint32_t> pictureA = cameraPicture(1), pictureB = cameraPicture(2);
  std::unique_ptr<DisplacementMap> mapA =
      buildMap("kamolens0", kSourceWidth, kSourceHeight, nullptr);
  std::unique_ptr<DisplacementMap> mapB =
      buildMap("kamolens1", kSourceWidth, kSourceHeight, nullptr);
  std::unique_ptr<TransitionFrame> tf = makeTransitionFrame(kKeyA, kKeyB, kProgress);

  WarpSource sourceA() const {
    return {{reinterpret_cast<const std::uint8_t*>(pictureA.data()), kSourceWidth, kSourceHeight},
            mapA.get()};
  }
  WarpSource sourceB() const {
    return {{reinterpret_cast<const std::uint8_t*>(pictureB.data()), kSourceWidth, kSourceHeight},
            mapB.get()};
  }
};

const Scenario& scenario() {
  static const Scenario s;
  return s;
}

void BM_RenderSingleView(benchmark::State& state, std::int32_t W, std::int32_t H) {
  const Scenario& s = scenario();
  std::vector<std::uint32_t> frame(std::size_t(W) * H);
  WarpGrid grid;
  for (auto _ : state) {
    if (!renderSingleViewPixels({frame.data(), W, H}, grid, s.sourceA()))
      state.SkipWithError("refused");
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{W} * H);
}

void BM_RenderTransition(benchmark::State& state, std::int32_t W, std::int32_t H) {
  const Scenario& s = scenario();
  std::vector<std::uint32_t> frame(std::size_t(W) * H);
  WarpGrid grid;
  for (auto _ : state) {
    if (!renderTransitionPixels({frame.data(), W, H}, grid, *s.tf, {}, s.sourceA(), s.sourceB())) {
      state.SkipWithError("refused");
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{W} * H);
}

#ifdef VISTEL_HAVE_OPENCV

// The undistortion map as OpenCV's fixed-point remap tables.
void remapTables(const DisplacementMap& map, cv::Mat& table, cv::Mat& fractions) {
  cv::Mat x(map.height, map.width, CV_32FC1), y(map.height, map.width, CV_32FC1);
  for (std::int32_t j = 0; j < map.height; ++j) {
    for (std::int32_t k = 0; k < map.width; ++k) {
      const std::int32_t d = map.words[std::size_t(j) * map.width + k];
      x.at<float>(j, k) = float(k + displacementX(d) * displacementUnit(map));
      y.at<float>(j, k) = float(j + displacementY(d) * displacementUnit(map));
    }
  }
  cv::convertMaps(x, y, table, fractions, CV_16SC2);
}

// Output pixel -> source pixel: view coordinates of the pixel, the link's
// homography, then normalised image coordinates to pixels.
cv::Matx33d pixelToSource(const Homography& viewToImage, std::int32_t W, std::int32_t H) {
  const cv::Matx33d toView(1.0 / W, 0, -0.5, 0, 1.0 / H, -0.5, 0, 0, 1);
  cv::Matx33d h;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) h(r, c) = viewToImage.entry(r, c);
  }
  const cv::Matx33d toPixels(kSourceWidth, 0, kSourceWidth / 2.0, 0, kSourceHeight,
                             kSourceHeight / 2.0, 0, 0, 1);
  return toPixels * h * toView;
}

void BM_OpenCvTransition(benchmark::State& state, std::int32_t W, std::int32_t H) {
  const Scenario& s = scenario();
  cv::setNumThreads(0);  // run every function on the calling thread
  const cv::Mat a(kSourceHeight, kSourceWidth, CV_8UC4,
                  const_cast<std::uint32_t*>(s.pictureA.data()));
  const cv::Mat b(kSourceHeight, kSourceWidth, CV_8UC4,
                  const_cast<std::uint32_t*>(s.pictureB.data()));
  cv::Mat tableA, fractionsA, tableB, fractionsB;
  remapTables(*s.mapA, tableA, fractionsA);
  remapTables(*s.mapB, tableB, fractionsB);
  const cv::Matx33d toA = pixelToSource(s.tf->srcH, W, H), toB = pixelToSource(s.tf->dstH, W, H);
  cv::Mat correctedA, correctedB, warpedA, warpedB, frame;
  const int flags = cv::INTER_LINEAR | cv::WARP_INVERSE_MAP;
  for (auto _ : state) {
    cv::remap(a, correctedA, tableA, fractionsA, cv::INTER_LINEAR);
    cv::remap(b, correctedB, tableB, fractionsB, cv::INTER_LINEAR);
    cv::warpPerspective(correctedA, warpedA, toA, cv::Size(W, H), flags, cv::BORDER_CONSTANT);
    cv::warpPerspective(correctedB, warpedB, toB, cv::Size(W, H), flags, cv::BORDER_CONSTANT);
    cv::addWeighted(warpedA, 1 - kProgress, warpedB, kProgress, 0, frame);
    benchmark::DoNotOptimize(frame.data);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{W} * H);
}

#endif

// Named by frame size, each of ours beside its OpenCV peer.
const bool registered = [] {
  const auto add = [](const char* name, auto fn, std::int32_t W, std::int32_t H) {
    const std::string full = std::string(name) + "/" + std::to_string(W) + "x" + std::to_string(H);
    benchmark::RegisterBenchmark(full.c_str(), fn, W, H)->Unit(benchmark::kMillisecond);
  };
  add("BM_RenderSingleView", BM_RenderSingleView, 640, 480);
  for (const auto& [W, H] : {std::pair{640, 480}, std::pair{1024, 768}, std::pair{2032, 2032}}) {
    add("BM_RenderTransition", BM_RenderTransition, W, H);
#ifdef VISTEL_HAVE_OPENCV
    add("BM_OpenCvTransition", BM_OpenCvTransition, W, H);
#endif
  }
  return true;
}();

}  // namespace
}  // namespace vistel
