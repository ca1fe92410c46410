// RTSP cameras live, through the whole viewer: GStreamer's RTSP server (the
// tests' camera, another process, on loopback) -> the RTSP reader (depacketise,
// decode, convert) -> the source manager -> the engine's render -> the frame
// sink.
//
// BM_RtspGlassToGlass/<codec>/<height>: one view of the camera at its own size
// asking for the camera's 25 pictures a second (no B-pictures). The delay of
// each picture runs from the moment its payloader handed the server its first
// packet (the server logs it on the monotonic clock this process's clock also
// reads; a picture's packets leave together on loopback) to the first frame handed to the sink that
// shows it (its frame number read back from the code in its corner). Counters: the delay's median,
// 95th percentile and largest value in ms, pictures sent and shown per second,
// and the share shown. Target: median under 50 ms.
//
// The cameras send pictures encoded once beforehand (a moving scene with the
// frame code, encoded as the camera encodes live), so that the machine's
// encoders, which cannot make 1920x1080 at 25 pictures a second beside the
// viewer, neither slow the camera nor take the viewer's processor.
//
// BM_RtspTwoCamerasCpu: two 1920x1080 H.264 cameras at 25 pictures a second,
// one shown and the other preloaded, as a project of two cameras runs in the
// desktop viewer (without Qt's painting). Counter cpu_cores: this process's
// processor time over the wall time (the target is under one core of the
// machine's two); the cameras run in their own processes and are not counted.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_code.h"
#include "support/rtsp_test_camera.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/platform/clock.h"

namespace {

using namespace std::chrono_literals;
using vistel::test::RtspTestCamera;

constexpr int kRate = 25;
constexpr int kKeyInterval = 50;
// Pictures in a camera's recording (40 s): no number comes round again
// within a measurement.
constexpr int kRecorded = 1000;

// What the sink showed: the clock when each frame number first appeared.
struct Shown {
  std::mutex lock;
  std::map<std::uint32_t, std::uint32_t> at;  // guarded by lock
  std::uint32_t last = 0xFFFFFFFFu;           // guarded by lock
  std::int64_t frames = 0;                    // guarded by lock
};

std::int32_t sink(void* context, const std::uint32_t* pixels, std::int32_t,
                  const vistel::FrameRect& rect) {
  const std::uint32_t now = vistel::nowMs();
  auto& shown = *static_cast<Shown*>(context);
  const auto number = vistel::sim::readFrameCode(reinterpret_cast<const std::uint8_t*>(pixels),
                                                 rect.width, rect.height);
  std::lock_guard<std::mutex> guard(shown.lock);
  ++shown.frames;
  if (!number || *number == shown.last) return 0;
  shown.last = *number;
  shown.at.emplace(*number, now);
  return 0;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

double processCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

std::unique_ptr<vistel::ViewerEngine> startEngine(Shown& shown, int width, int height,
                                                  const std::string& project) {
  auto engine = vistel::ViewerEngine::create(&shown, vistel::defaultThreadStarter(), &sink);
  engine->postEvent(vistel::kEventShow, 1, 0);
  engine->postEvent(vistel::kEventSize, width, height);
  if (!engine->loadProject(project.data(), project.size())) return nullptr;
  return engine;
}

// Waits until the sink has shown `count` numbered pictures, at most 30 s.
bool waitForPictures(Shown& shown, std::size_t count) {
  const auto end = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(50ms);
    std::lock_guard<std::mutex> guard(shown.lock);
    if (shown.at.size() >= count) return true;
  }
  return false;
}

void glassToGlass(benchmark::State& state, const char* mount, int width, int height) {
  if (!RtspTestCamera::available()) {
    state.SkipWithError("no GStreamer RTSP server (scripts/lib.sh lists it)");
    return;
  }
  const std::string recorded =
      RtspTestCamera::recording(mount + 1, width, height, kRate, kKeyInterval, kRecorded);
  if (recorded.empty()) {
    state.SkipWithError("the camera's recording could not be made");
    return;
  }
  for (auto _ : state) {
    RtspTestCamera camera({.width = width,
                           .height = height,
                           .fps = kRate,
                           .keyInterval = kKeyInterval,
                           .recorded = {{mount, recorded}},
                           .logSent = true});
    if (!camera.ok()) {
      state.SkipWithError("the camera did not start");
      return;
    }
    Shown shown;
    const std::string project = "<quilo startview='a'><view id='a' src='" + camera.url(mount) +
                                "' fps='" + std::to_string(kRate) + "' lens='none'/></quilo>";
    const auto engine = startEngine(shown, width, height, project);
    if (!engine || !waitForPictures(shown, 5)) {
      state.SkipWithError("no picture reached the sink");
      return;
    }
    std::uint32_t first;
    {
      std::lock_guard<std::mutex> guard(shown.lock);
      first = shown.last + 1;
    }
    std::this_thread::sleep_for(10s);
    std::uint32_t last;
    {
      std::lock_guard<std::mutex> guard(shown.lock);
      last = shown.last;
    }
    std::this_thread::sleep_for(300ms);  // the last pictures' sent lines arrive
    std::vector<double> delays;
    std::size_t sent = 0;
    for (std::uint32_t number = first; number <= last && last != 0xFFFFFFFFu; ++number) {
      const auto sentAt = camera.sent(mount, number);
      if (!sentAt) continue;
      ++sent;
      std::lock_guard<std::mutex> guard(shown.lock);
      const auto at = shown.at.find(number);
      if (at != shown.at.end()) delays.push_back(vistel::elapsedMs(at->second, *sentAt));
    }
    const double seconds = static_cast<double>(last - first + 1) / kRate;
    state.counters["delay_median_ms"] = percentile(delays, 0.5);
    state.counters["delay_p95_ms"] = percentile(delays, 0.95);
    state.counters["delay_max_ms"] = percentile(delays, 1.0);
    state.counters["sent_per_s"] = static_cast<double>(sent) / seconds;
    state.counters["shown_per_s"] = static_cast<double>(delays.size()) / seconds;
    state.counters["shown_fraction"] =
        sent ? static_cast<double>(delays.size()) / static_cast<double>(sent) : 0.0;
  }
}

void twoCamerasCpu(benchmark::State& state) {
  if (!RtspTestCamera::available()) {
    state.SkipWithError("no GStreamer RTSP server (scripts/lib.sh lists it)");
    return;
  }
  constexpr int kWidth = 1920, kHeight = 1080;
  const std::string recorded =
      RtspTestCamera::recording("h264", kWidth, kHeight, kRate, kKeyInterval, kRecorded);
  if (recorded.empty()) {
    state.SkipWithError("the cameras' recording could not be made");
    return;
  }
  const RtspTestCamera::Options options{.width = kWidth,
                                        .height = kHeight,
                                        .fps = kRate,
                                        .keyInterval = kKeyInterval,
                                        .recorded = {{"/h264", recorded}}};
  for (auto _ : state) {
    RtspTestCamera cameraA(options);
    RtspTestCamera cameraB(options);
    if (!cameraA.ok() || !cameraB.ok()) {
      state.SkipWithError("the cameras did not start");
      return;
    }
    Shown shown;
    const std::string fps = std::to_string(kRate);
    const std::string project = "<quilo startview='a'><view id='a' src='" + cameraA.url("/h264") +
                                "' fps='" + fps + "' lens='none'><preload>b</preload></view>" +
                                "<view id='b' src='" + cameraB.url("/h264") + "' fps='" + fps +
                                "' lens='none'/></quilo>";
    const auto engine = startEngine(shown, kWidth, kHeight, project);
    if (!engine || !waitForPictures(shown, 5)) {
      state.SkipWithError("no picture reached the sink");
      return;
    }
    std::size_t shownBefore;
    {
      std::lock_guard<std::mutex> guard(shown.lock);
      shownBefore = shown.at.size();
    }
    const double cpu0 = processCpuMs();
    const auto wall0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(10s);
    const double cpu = processCpuMs() - cpu0;
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
    std::lock_guard<std::mutex> guard(shown.lock);
    state.counters["cpu_cores"] = cpu / wall;
    state.counters["shown_per_s"] =
        static_cast<double>(shown.at.size() - shownBefore) * 1000 / wall;
  }
}

const bool registered = [] {
  struct Case {
    const char* name;
    const char* mount;
    int width, height;
  };
  for (const Case& c : {Case{"h264/720", "/h264", 1280, 720}, Case{"h265/720", "/h265", 1280, 720},
                        Case{"h264/1080", "/h264", 1920, 1080}}) {
    benchmark::RegisterBenchmark((std::string("BM_RtspGlassToGlass/") + c.name).c_str(),
                                 glassToGlass, c.mount, c.width, c.height)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("BM_RtspTwoCamerasCpu", twoCamerasCpu)
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  return true;
}();

}  // namespace
