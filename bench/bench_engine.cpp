// One whole pass of the engine thread without its sleep, on the bundled demo
// at 1024x768: the navigator's step of a running motion, script dispatch,
// disposal, the views' update and the render (BM_RenderFrame's work plus what
// the engine adds around it). The pass runs on the engine's own thread; the
// benchmark lets one pass run at a time and takes its time on that thread,
// from the end of one pass sleep to the start of the next.

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "support/offline_reader.h"
#include "vistel/engine/viewer_engine.h"

namespace vistel {
namespace {

using Clock = std::chrono::steady_clock;

// The engine's pass sleep: parks the engine thread after each pass and
// measures the pass that follows each release.
class TimedPasses {
 public:
  std::function<void(std::uint32_t)> sleeper() {
    return [this](std::uint32_t) { park(); };
  }

  // Lets one pass run and returns its length in seconds.
  double runOne() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return parked_ && !granted_; });
    const std::uint64_t target = finished_ + 1;
    granted_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return finished_ >= target && parked_; });
    return std::chrono::duration<double>(lastPass_).count();
  }

  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  void park() {
    const Clock::time_point end = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    lastPass_ = end - passStart_;
    ++finished_;
    parked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_ || granted_; });
    granted_ = false;
    parked_ = false;
    passStart_ = Clock::now();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point passStart_ = Clock::now();
  Clock::duration lastPass_{};
  std::uint64_t finished_ = 0;
  bool parked_ = false;
  bool granted_ = false;
  bool open_ = false;
};

void BM_EnginePass(benchmark::State& state) {
  const std::string folder = VISTEL_DEMO_DIR;
  std::ifstream file(folder + "/demo.xml", std::ios::binary);
  const std::string project{std::istreambuf_iterator<char>(file), {}};

  TimedPasses passes;
  EngineEnvironment environment;
  environment.passSleep = passes.sleeper();
  environment.readerFactory = test::offlineReaderFactory();
  auto engine = ViewerEngine::create(nullptr, defaultThreadStarter(), nullptr, environment);
  (void)passes.runOne();
  engine->postEvent(kEventShow, 1, 0);
  engine->postEvent(kEventSize, 1024, 768);
  if (!engine->loadProject(project.data(), project.size(), folder)) {
    state.SkipWithError("demo refused");
    passes.open();
    return;
  }
  // A motion along the whole link that outlasts the benchmark, so that every
  // pass steps it.
  engine->setPresetTime(60000);
  engine->postPosition(std::make_unique<NavPosition>(NavPosition{0.9f, 0.05f, 0.02f, 1.5f}), true);
  const auto end = Clock::now() + std::chrono::seconds(10);
  for (bool ready = false; !ready;) {
    if (Clock::now() > end) {
      state.SkipWithError("demo pictures never decoded");
      passes.open();
      return;
    }
    ready = true;
    for (const auto& picture : engine->currentPictures()) {
      ready = ready && picture.state == ViewPicture::State::Delivered;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  for (int i = 0; i < 3; ++i) (void)passes.runOne();  // the views take their pictures

  for (auto _ : state) state.SetIterationTime(passes.runOne());
  state.SetItemsProcessed(state.iterations() * 1024 * 768);
  passes.open();
}

BENCHMARK(BM_EnginePass)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vistel
