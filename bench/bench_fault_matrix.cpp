// The fault matrix: a simulated camera streaming 640 x 480 at 15 fps to the
// image source manager (its real readers) is switched to one fault for 12 s
// (longer than the 10 s silence limit), then back to working. Counters per
// fault: connections the camera saw during the fault, connections until the
// next picture after it, the time from switching the fault off to that picture
// (recover_ms), and pictures decoded during the fault. The label is the reason
// the source gave at the end of the fault.
#include <benchmark/benchmark.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "camera_sim.h"
#include "vistel/imaging/image_source_manager.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using vistel::sim::CameraFault;

constexpr auto kFaultTime = 12s;
constexpr auto kRecoverLimit = 45s;  // a refused password waits 30 s

void faultMatrix(benchmark::State& state, CameraFault fault) {
  for (auto _ : state) {
    vistel::sim::SimulatorOptions options;
    options.fps = 15;
    std::string error;
    const auto simulator = vistel::sim::CameraSimulator::start(options, error);
    if (!simulator) {
      state.SkipWithError(("the simulator did not start: " + error).c_str());
      return;
    }
    std::mutex lock;
    int pictures = 0;  // guarded by lock
    SteadyClock::time_point lastPicture;
    vistel::ImageSourceManager::Observers observers;
    observers.decoded = [&](const vistel::ImageSourceManager::DecodeEvent& event) {
      if (event.width <= 0) return;
      std::lock_guard<std::mutex> guard(lock);
      ++pictures;
      lastPicture = SteadyClock::now();
    };
    vistel::ImageSourceManager manager(
        vistel::defaultThreadStarter(), vistel::ImageSourceManager::kDefaultEncodedLimitKiB,
        vistel::ImageSourceManager::kDefaultDecodedLimitKiB,
        vistel::ImageSourceManager::kDefaultReaderCount, vistel::streamReaderFactory(), observers);
    vistel::SourceRequest* view = manager.acquire(simulator->url(0));
    manager.setFps(view, 15);
    auto picturesSoFar = [&] {
      std::lock_guard<std::mutex> guard(lock);
      return pictures;
    };
    const auto started = SteadyClock::now();
    while (picturesSoFar() < 5 && SteadyClock::now() - started < 20s)
      std::this_thread::sleep_for(10ms);
    if (picturesSoFar() < 5) {
      state.SkipWithError("the camera delivered no pictures");
      return;
    }

    const auto before = simulator->counters(0).connections;
    const int picturesBefore = picturesSoFar();
    simulator->setFault(0, fault);
    std::this_thread::sleep_for(kFaultTime);
    const auto during = simulator->counters(0).connections;
    const int picturesDuring = picturesSoFar() - picturesBefore;
    const vistel::SourceHealthState health = view->source()->health().state();
    simulator->setFault(0, CameraFault::None);
    const auto off = SteadyClock::now();
    const int picturesAtOff = picturesSoFar();
    while (picturesSoFar() == picturesAtOff && SteadyClock::now() - off < kRecoverLimit)
      std::this_thread::sleep_for(5ms);
    double recoverMs = -1;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (pictures > picturesAtOff)
        recoverMs = std::chrono::duration<double, std::milli>(lastPicture - off).count();
    }
    const auto after = simulator->counters(0).connections;
    manager.release(view);

    state.counters["connections_during_fault"] = static_cast<double>(during - before);
    state.counters["connections_to_recover"] = static_cast<double>(after - during);
    state.counters["recover_ms"] = recoverMs;
    state.counters["pictures_during_fault"] = picturesDuring;
    const std::string reason = vistel::failureText(health.failure, health.httpStatus);
    state.SetLabel(reason.empty() ? "no failure recorded" : reason);
  }
}

const bool registered = [] {
  for (const CameraFault fault :
       {CameraFault::Stall, CameraFault::StallBody, CameraFault::CloseMidPart,
        CameraFault::BasicAuth, CameraFault::DigestAuth, CameraFault::NotFound,
        CameraFault::Garbage, CameraFault::WrongContentType}) {
    benchmark::RegisterBenchmark(
        ("BM_FaultMatrix/" + std::string(vistel::sim::faultName(fault))).c_str(), faultMatrix,
        fault)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
