// The renderer's pixel core, the product's hot loop: one camera picture
// stretched over the frame, and a transition warping two lens-corrected
// camera pictures and cross-fading them, from 640 x 480 and 1920 x 1080
// cameras. Beside each transition, the same frame made with OpenCV as a user
// would: per source cv::remap through the undistortion map and
// cv::warpPerspective, then cv::addWeighted. Each runs on one thread and on
// two: ours with a RasterPool of one helper, OpenCV with cv::setNumThreads.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "vistel/imaging/jpeg_codec.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster.h"
#include "vistel/scene/warp_raster_pool.h"

#ifdef VISTEL_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace vistel {
namespace {

// A camera picture with some structure (smooth gradients and noise), in the
// decoded layout with its spare row and pixel, in a buffer such as the
// decoders give.
std::unique_ptr<std::uint8_t[]> cameraPicture(std::uint32_t seed, std::int32_t width,
                                              std::int32_t height) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> p(std::size_t(width) * (height + 1) + 1, 0);
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint32_t r = (x * 255 / width) ^ (rng() & 15),
                          g = (y * 255 / height) ^ (rng() & 15);
      p[std::size_t(y) * width + x] = r << 16 | g << 8 | ((x + y) & 255);
    }
  }
  auto buffer = newPictureBuffer(p.size() * 4);
  if (!buffer) std::abort();
  std::memcpy(buffer.get(), p.data(), p.size() * 4);
  return buffer;
}

// Two cameras looking at one reference square from either side, half-way
// through the link: the pictures overlap in part, as in a real project.
const KeyQuad kKeyA{{-0.05f, -0.2f}, {0.45f, -0.15f}, {0.4f, 0.3f}, {-0.1f, 0.25f}};
const KeyQuad kKeyB{{-0.45f, -0.15f}, {0.05f, -0.2f}, {0.1f, 0.25f}, {-0.4f, 0.3f}};
constexpr float kProgress = 0.5f;

struct Scenario {
  explicit Scenario(std::int32_t w, std::int32_t h)
      : width(w),
        height(h),
        pictureA(cameraPicture(1, w, h)),
        pictureB(cameraPicture(2, w, h)),
        mapA(buildMap("kamolens0", w, h, nullptr)),
        mapB(buildMap("kamolens1", w, h, nullptr)),
        tf(makeTransitionFrame(kKeyA, kKeyB, kProgress)) {}

  std::int32_t width, height;
  std::unique_ptr<std::uint8_t[]> pictureA, pictureB;
  std::unique_ptr<DisplacementMap> mapA, mapB;
  std::unique_ptr<TransitionFrame> tf;

  WarpSource sourceA() const { return {{pictureA.get(), width, height}, mapA.get()}; }
  WarpSource sourceB() const { return {{pictureB.get(), width, height}, mapB.get()}; }
};

// The cameras of one size, made once.
const Scenario& scenario(std::int32_t width, std::int32_t height) {
  static std::map<std::pair<std::int32_t, std::int32_t>, std::unique_ptr<Scenario>> made;
  auto& s = made[{width, height}];
  if (!s) s = std::make_unique<Scenario>(width, height);
  return *s;
}

// A pool of threads - 1 helpers, for the run of one benchmark.
std::unique_ptr<RasterPool> poolFor(int threads) {
  return threads > 1 ? std::make_unique<RasterPool>(defaultThreadStarter(), threads - 1) : nullptr;
}

struct Case {
  std::int32_t cameraWidth, cameraHeight, W, H;
  int threads;
};

void BM_RenderSingleView(benchmark::State& state, Case c) {
  const Scenario& s = scenario(c.cameraWidth, c.cameraHeight);
  const auto pool = poolFor(c.threads);
  std::vector<std::uint32_t> frame(std::size_t(c.W) * c.H);
  WarpGrid grid;
  for (auto _ : state) {
    if (!renderSingleViewPixels({frame.data(), c.W, c.H}, grid, s.sourceA(), pool.get()))
      state.SkipWithError("refused");
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{c.W} * c.H);
}

void BM_RenderTransition(benchmark::State& state, Case c) {
  const Scenario& s = scenario(c.cameraWidth, c.cameraHeight);
  const auto pool = poolFor(c.threads);
  std::vector<std::uint32_t> frame(std::size_t(c.W) * c.H);
  WarpGrid grid;
  for (auto _ : state) {
    if (!renderTransitionPixels({frame.data(), c.W, c.H}, grid, *s.tf, {}, s.sourceA(), s.sourceB(),
                                pool.get())) {
      state.SkipWithError("refused");
    }
    benchmark::DoNotOptimize(frame.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{c.W} * c.H);
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
cv::Matx33d pixelToSource(const Homography& viewToImage, std::int32_t W, std::int32_t H,
                          std::int32_t cameraWidth, std::int32_t cameraHeight) {
  const cv::Matx33d toView(1.0 / W, 0, -0.5, 0, 1.0 / H, -0.5, 0, 0, 1);
  cv::Matx33d h;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) h(r, c) = viewToImage.entry(r, c);
  }
  const cv::Matx33d toPixels(cameraWidth, 0, cameraWidth / 2.0, 0, cameraHeight, cameraHeight / 2.0,
                             0, 0, 1);
  return toPixels * h * toView;
}

void BM_OpenCvTransition(benchmark::State& state, Case c) {
  const Scenario& s = scenario(c.cameraWidth, c.cameraHeight);
  cv::setNumThreads(c.threads > 1 ? c.threads : 0);  // 0: every function on the calling thread
  const cv::Mat a(s.height, s.width, CV_8UC4, s.pictureA.get());
  const cv::Mat b(s.height, s.width, CV_8UC4, s.pictureB.get());
  cv::Mat tableA, fractionsA, tableB, fractionsB;
  remapTables(*s.mapA, tableA, fractionsA);
  remapTables(*s.mapB, tableB, fractionsB);
  const cv::Matx33d toA = pixelToSource(s.tf->srcH, c.W, c.H, s.width, s.height),
                    toB = pixelToSource(s.tf->dstH, c.W, c.H, s.width, s.height);
  cv::Mat correctedA, correctedB, warpedA, warpedB, frame;
  const int flags = cv::INTER_LINEAR | cv::WARP_INVERSE_MAP;
  for (auto _ : state) {
    cv::remap(a, correctedA, tableA, fractionsA, cv::INTER_LINEAR);
    cv::remap(b, correctedB, tableB, fractionsB, cv::INTER_LINEAR);
    cv::warpPerspective(correctedA, warpedA, toA, cv::Size(c.W, c.H), flags, cv::BORDER_CONSTANT);
    cv::warpPerspective(correctedB, warpedB, toB, cv::Size(c.W, c.H), flags, cv::BORDER_CONSTANT);
    cv::addWeighted(warpedA, 1 - kProgress, warpedB, kProgress, 0, frame);
    benchmark::DoNotOptimize(frame.data);
    benchmark::ClobberMemory();
  }
  cv::setNumThreads(-1);
  state.SetItemsProcessed(state.iterations() * std::int64_t{c.W} * c.H);
}

#endif

// Named by camera and frame size and threads, each of ours beside its OpenCV
// peer: BM_RenderTransition/1024x768/threads:2 renders from 640 x 480
// cameras, BM_RenderTransition/1920x1080to1280x720/threads:2 from 1920 x 1080
// cameras.
const bool registered = [] {
  const auto add = [](const char* name, auto fn, Case c) {
    std::string full = std::string(name) + "/";
    if (c.cameraWidth != 640 || c.cameraHeight != 480) {
      full += std::to_string(c.cameraWidth) + "x" + std::to_string(c.cameraHeight) + "to";
    }
    full +=
        std::to_string(c.W) + "x" + std::to_string(c.H) + "/threads:" + std::to_string(c.threads);
    benchmark::RegisterBenchmark(full.c_str(), fn, c)->Unit(benchmark::kMillisecond)->UseRealTime();
  };
  for (int threads : {1, 2}) {
    add("BM_RenderSingleView", BM_RenderSingleView, {640, 480, 640, 480, threads});
    add("BM_RenderSingleView", BM_RenderSingleView, {1920, 1080, 1920, 1080, threads});
  }
  const Case transitions[] = {{640, 480, 640, 480, 0},
                              {640, 480, 1024, 768, 0},
                              {640, 480, 2032, 2032, 0},
                              {1920, 1080, 1280, 720, 0},
                              {1920, 1080, 1920, 1080, 0}};
  for (Case c : transitions) {
    for (int threads : {1, 2}) {
      c.threads = threads;
      add("BM_RenderTransition", BM_RenderTransition, c);
#ifdef VISTEL_HAVE_OPENCV
      add("BM_OpenCvTransition", BM_OpenCvTransition, c);
#endif
    }
  }
  return true;
}();

}  // namespace
}  // namespace vistel
