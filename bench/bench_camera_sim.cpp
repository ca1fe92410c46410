// Camera simulator: what one simulated camera costs per frame, drawing the
// traffic over the street (the street itself is rendered once per size) and
// encoding the JPEG, at the sizes it serves. A camera keeps up with F frames a
// second while draw plus encode stay below 1/F s on one core; the counter
// "frames_per_s" gives that rate directly.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "live_camera.h"

namespace {

// Traffic time advances by a 25 fps frame per iteration, so the cars move
// through the picture as they do live.
constexpr double kFrameSeconds = 0.04;

void BM_SimDraw(benchmark::State& state) {
  const auto backdrop = vistel::sim::streetBackdrop(0, static_cast<int>(state.range(0)),
                                                    static_cast<int>(state.range(1)));
  if (!backdrop) {
    state.SkipWithError("no backdrop at this size");
    return;
  }
  const vistel::sim::LiveCamera camera(backdrop);
  std::vector<std::uint8_t> pixels;
  std::uint32_t frame = 0;
  for (auto _ : state) {
    camera.draw(frame * kFrameSeconds, frame, pixels);
    benchmark::DoNotOptimize(pixels.data());
    ++frame;
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_SimEncode(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const auto backdrop = vistel::sim::streetBackdrop(0, width, height);
  if (!backdrop) {
    state.SkipWithError("no backdrop at this size");
    return;
  }
  std::vector<std::uint8_t> pixels;
  vistel::sim::LiveCamera(backdrop).draw(2.0, 1, pixels);
  vistel::sim::JpegBytes jpeg;
  for (auto _ : state) {
    if (!vistel::sim::encodeJpegInMemory(pixels.data(), width, height, 85,
                                         "vistel-sim camera=left frame=1 sent_ms=0", jpeg)) {
      state.SkipWithError("encoding failed");
      return;
    }
    benchmark::DoNotOptimize(jpeg.data());
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["jpeg_bytes"] = static_cast<double>(jpeg.size());
}

// Both steps, as the camera's producer runs them for every frame.
void BM_SimFrame(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const auto backdrop = vistel::sim::streetBackdrop(0, width, height);
  if (!backdrop) {
    state.SkipWithError("no backdrop at this size");
    return;
  }
  const vistel::sim::LiveCamera camera(backdrop);
  std::vector<std::uint8_t> pixels;
  vistel::sim::JpegBytes jpeg;
  std::uint32_t frame = 0;
  for (auto _ : state) {
    camera.draw(frame * kFrameSeconds, frame, pixels);
    if (!vistel::sim::encodeJpegInMemory(pixels.data(), width, height, 85,
                                         "vistel-sim camera=left frame=1 sent_ms=0", jpeg)) {
      state.SkipWithError("encoding failed");
      return;
    }
    benchmark::DoNotOptimize(jpeg.data());
    ++frame;
  }
  state.counters["frames_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Args({640, 480})->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_SimDraw)->Apply(sizes);
BENCHMARK(BM_SimEncode)->Apply(sizes);
BENCHMARK(BM_SimFrame)->Apply(sizes);

}  // namespace
