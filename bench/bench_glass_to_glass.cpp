// Glass to glass: a simulated camera (in this process, on loopback) -> the
// stream reader -> decoding on the loader thread -> the engine's render -> the
// frame sink. For each camera picture the delay is taken from the moment its
// last byte went to the socket to the first frame handed to the sink that
// shows it (the frame number read back from the cell code in the frame).
//
// BM_GlassToGlass/<layout>/<fps>: a single view of the camera at its own size
// (640 x 480, lens none) asking for the camera's rate. Counters: the delay's
// median and 95th percentile in ms, pictures the camera sent and the view
// showed per second, and the share shown (the target is at least 0.95 with
// fps equal to the camera's rate).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_sim.h"
#include "frame_code.h"
#include "vistel/engine/viewer_engine.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using vistel::sim::StreamLayout;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// What the camera sent and the sink showed, shared by the simulator's client
// threads, the engine thread and the benchmark's thread.
struct Timeline {
  std::mutex lock;
  bool measuring = false;                                  // guarded by lock, as the rest
  std::map<std::uint32_t, SteadyClock::time_point> sent;   // frame number -> last byte
  std::map<std::uint32_t, SteadyClock::time_point> shown;  // frame number -> first frame
  std::uint32_t lastShown = 0xFFFFFFFFu;
};

std::int32_t sink(void* context, const std::uint32_t* pixels, std::int32_t,
                  const vistel::FrameRect& rect) {
  const auto now = SteadyClock::now();
  auto& timeline = *static_cast<Timeline*>(context);
  const auto number = vistel::sim::readFrameCode(reinterpret_cast<const std::uint8_t*>(pixels),
                                                 rect.width, rect.height);
  if (!number) return 0;
  std::lock_guard<std::mutex> guard(timeline.lock);
  if (*number == timeline.lastShown) return 0;
  timeline.lastShown = *number;
  if (timeline.measuring) timeline.shown.emplace(*number, now);
  return 0;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void glassToGlass(benchmark::State& state, StreamLayout layout, double fps) {
  // At least 40 pictures, and 10 s.
  const auto measure =
      std::max(10000ms, std::chrono::milliseconds(static_cast<std::int64_t>(40 * 1000 / fps)));
  for (auto _ : state) {
    Timeline timeline;
    vistel::sim::SimulatorOptions options;
    options.width = kWidth;
    options.height = kHeight;
    options.fps = fps;
    options.layouts = {layout, layout};
    options.onPartSent = [&timeline](const vistel::sim::PartSent& part) {
      if (part.camera != 0) return;
      std::lock_guard<std::mutex> guard(timeline.lock);
      if (timeline.measuring) timeline.sent.emplace(part.frameNumber, part.lastByte);
    };
    std::string error;
    const auto simulator = vistel::sim::CameraSimulator::start(options, error);
    if (!simulator) {
      state.SkipWithError(("the simulator did not start: " + error).c_str());
      return;
    }
    const auto engine =
        vistel::ViewerEngine::create(&timeline, vistel::defaultThreadStarter(), &sink);
    engine->postEvent(vistel::kEventShow, 1, 0);
    engine->postEvent(vistel::kEventSize, kWidth, kHeight);
    const std::string project = "<quilo startview='a'><view id='a' src='" + simulator->url(0) +
                                "' fps='" + std::to_string(fps) + "' lens='none'/></quilo>";
    if (!engine->loadProject(project.data(), project.size())) {
      state.SkipWithError("the project did not load");
      return;
    }
    // The stream running: a few pictures shown before measuring.
    const auto ready = SteadyClock::now() + 20s;
    while (SteadyClock::now() < ready) {
      std::this_thread::sleep_for(50ms);
      std::lock_guard<std::mutex> guard(timeline.lock);
      if (timeline.lastShown != 0xFFFFFFFFu && timeline.lastShown >= 3) break;
    }
    {
      std::lock_guard<std::mutex> guard(timeline.lock);
      timeline.measuring = true;
    }
    std::this_thread::sleep_for(measure);
    {
      std::lock_guard<std::mutex> guard(timeline.lock);
      timeline.measuring = false;
    }
    // The last pictures sent get their chance to be shown.
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(2000 / fps) + 200));
    std::vector<double> delays;
    std::size_t sent = 0;
    {
      std::lock_guard<std::mutex> guard(timeline.lock);
      sent = timeline.sent.size();
      for (const auto& [number, lastByte] : timeline.sent) {
        const auto shown = timeline.shown.find(number);
        if (shown == timeline.shown.end()) continue;
        delays.push_back(
            std::chrono::duration<double, std::milli>(shown->second - lastByte).count());
      }
    }
    const double seconds = std::chrono::duration<double>(measure).count();
    state.counters["delay_median_ms"] = percentile(delays, 0.5);
    state.counters["delay_p95_ms"] = percentile(delays, 0.95);
    state.counters["delay_max_ms"] = percentile(delays, 1.0);
    state.counters["camera_per_s"] = static_cast<double>(sent) / seconds;
    state.counters["shown_per_s"] = static_cast<double>(delays.size()) / seconds;
    state.counters["shown_fraction"] =
        sent ? static_cast<double>(delays.size()) / static_cast<double>(sent) : 0.0;
  }
}

const bool registered = [] {
  struct Case {
    const char* name;
    StreamLayout layout;
    double fps;
  };
  for (const Case& c : {Case{"before/15", StreamLayout::DelimiterBefore, 15},
                        Case{"after/15", StreamLayout::DelimiterAfter, 15},
                        Case{"before/2", StreamLayout::DelimiterBefore, 2},
                        Case{"after/2", StreamLayout::DelimiterAfter, 2},
                        Case{"before/25", StreamLayout::DelimiterBefore, 25}}) {
    benchmark::RegisterBenchmark((std::string("BM_GlassToGlass/") + c.name).c_str(), glassToGlass,
                                 c.layout, c.fps)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
