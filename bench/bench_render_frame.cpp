// One whole frame as the engine renders it: the scene's transition frame at
// the link's position, both views' current pictures taken from the source
// manager, their lens maps from the scene's cache, the warp core, the shape
// outlines and the sink. The pictures, keys, lenses and position are those of
// BM_RenderTransition (bench_render.cpp) run on the bare warp core, so the
// difference between the two figures is what the assembly costs.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/offline_reader.h"
#include "support/scene_project.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/scene/frame_renderer.h"

namespace vistel {
namespace {

constexpr std::int32_t kSourceWidth = 640, kSourceHeight = 480;
const KeyQuad kKeyA{{-0.05f, -0.2f}, {0.45f, -0.15f}, {0.4f, 0.3f}, {-0.1f, 0.25f}};
const KeyQuad kKeyB{{-0.45f, -0.15f}, {0.05f, -0.2f}, {0.1f, 0.25f}, {-0.4f, 0.3f}};

// A camera picture with gradients and noise, written as a JPEG file.
std::string writeCameraPicture(const std::filesystem::path& path, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> p(std::size_t(kSourceWidth) * kSourceHeight);
  for (std::int32_t y = 0; y < kSourceHeight; ++y) {
    for (std::int32_t x = 0; x < kSourceWidth; ++x) {
      const std::uint32_t r = (x * 255 / kSourceWidth) ^ (rng() & 15),
                          g = (y * 255 / kSourceHeight) ^ (rng() & 15);
      p[std::size_t(y) * kSourceWidth + x] = r << 16 | g << 8 | ((x + y) & 255);
    }
  }
  const bool written = encodeJpegFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(p.data()),
                                      kSourceWidth, kSourceHeight, 90);
  return written ? "file://" + path.string() : std::string();
}

std::int32_t countingSink(void* context, const std::uint32_t*, std::int32_t, const FrameRect&) {
  return ++*static_cast<std::int32_t*>(context);
}

void BM_RenderFrame(benchmark::State& state, std::int32_t W, std::int32_t H) {
  const auto folder = std::filesystem::temp_directory_path() / "vistel-bench-render-frame";
  std::filesystem::create_directories(folder);
  const std::string a = writeCameraPicture(folder / "a.jpg", 1);
  const std::string b = writeCameraPicture(folder / "b.jpg", 2);
  const std::string shape =
      "<shape projected='1' linecolor='#ffff00'><points>0.2,0.2;0.8,0.25;0.7,0.8</points></shape>";
  const std::string keys = "<key time='0' srcbuttons='1'>" + test::keyText(kKeyA) +
                           "</key><key time='1'>" + test::keyText(kKeyB) + "</key>";
  const auto document = test::loadProject(
      "<quilo startview='a'><view id='a' src='" + a + "' lens='kamolens0'>" + shape +
      "</view><view id='b' src='" + b + "' lens='kamolens1'/><link id='l' from='a' to='b'>" + keys +
      "</link></quilo>");

  ImageSourceManager sources(defaultThreadStarter(), 2048, 4096, 1, test::offlineReaderFactory());
  Scene scene(sources);
  std::int32_t frames = 0;
  FrameRenderer renderer(&frames, countingSink, sources, scene);
  renderer.resize(W, H);
  if (!scene.rebuild(document.get()) || !scene.setCurrentViews({"a"}) ||
      !scene.startTraversal("l", Direction::Forward) || !scene.setCurrentViews({"a", "b"})) {
    state.SkipWithError("project refused");
    return;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (scene.currentView(0)->lastTimestamp() == 0 || scene.currentView(1)->lastTimestamp() == 0) {
    if (std::chrono::steady_clock::now() > end) {
      state.SkipWithError("pictures never decoded");
      return;
    }
    (void)scene.updateViews();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  scene.currentLink()->setNavProgress(0.5f);

  for (auto _ : state) {
    benchmark::DoNotOptimize(renderer.renderFrame());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{W} * H);
  std::filesystem::remove_all(folder);
}

BENCHMARK_CAPTURE(BM_RenderFrame, 1024x768, 1024, 768)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vistel
