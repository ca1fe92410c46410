// One whole pass of the engine thread without its sleep, on the bundled demo
// at 1024x768: the navigator's step of a running motion, script dispatch,
// disposal, the views' update and the render (BM_RenderFrame's work plus what
// the engine adds around it). The pass runs on the engine's own thread; the
// benchmark lets one pass run at a time and takes its time on that thread,
// from the end of one pass sleep to the start of the next.
//
// BM_EnginePass/cameras:1920x1080/... does the same for two 1920 x 1080
// cameras, adding the decoding of both pictures that the loader thread does
// for every new camera picture: at full size, or shrunk by libjpeg's DCT
// scaling (decode:1/2, 1/4). A shrunk decode is the pass's picture then, so
// the project's files hold pictures of the decoded size.

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/offline_reader.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/host/generated_project.h"
#include "vistel/imaging/jpeg_codec.h"

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
  engine->postPosition(std::make_unique<NavPosition>(NavPosition{0.9f, 0.05f, 0.02f, 1.5f}),
                       MotionTime::Preset);
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

// The bundled demo shown still at 1024x768, the engine and loader threads
// running as in a viewer (their own sleeps, the demo's two file pictures at
// 10 fps) for ten seconds once the pictures are in. Counters: cpu_percent,
// this process's CPU time per wall time (100 is one core); frames_per_s, the
// frames handed to the sink. Nothing changes, so both should be near zero.
std::atomic<int> stillFrames{0};
std::int32_t countingSink(void*, const std::uint32_t*, std::int32_t, const FrameRect&) {
  ++stillFrames;
  return 0;
}

double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_StillDemo(benchmark::State& state) {
  const std::string folder = VISTEL_DEMO_DIR;
  std::ifstream file(folder + "/demo.xml", std::ios::binary);
  const std::string project{std::istreambuf_iterator<char>(file), {}};
  for (auto _ : state) {
    auto engine = ViewerEngine::create(nullptr, defaultThreadStarter(), countingSink);
    engine->postEvent(kEventShow, 1, 0);
    engine->postEvent(kEventSize, 1024, 768);
    if (!engine->loadProject(project.data(), project.size(), folder)) {
      state.SkipWithError("demo refused");
      return;
    }
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (bool ready = false; !ready;) {
      if (Clock::now() > end) {
        state.SkipWithError("demo pictures never decoded");
        return;
      }
      ready = true;
      for (const auto& picture : engine->currentPictures()) {
        ready = ready && picture.state == ViewPicture::State::Delivered;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the first frames drawn
    constexpr double kSeconds = 10;
    const int framesBefore = stillFrames.load();
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
    state.counters["cpu_percent"] = (processCpuSeconds() - cpuBefore) * 100 / kSeconds;
    state.counters["frames_per_s"] = (stillFrames.load() - framesBefore) / kSeconds;
  }
}
BENCHMARK(BM_StillDemo)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// A camera picture (gradients, noise and edges, like a street scene to the
// encoder) of width x height pixels as JPEG bytes, written to `path` first.
std::string cameraJpeg(const std::filesystem::path& path, std::int32_t width, std::int32_t height,
                       std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint32_t> p(std::size_t(width) * height);
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      const std::uint32_t r = (x * 255 / width) ^ (rng() & 31),
                          g = (y * 255 / height) ^ (rng() & 31);
      p[std::size_t(y) * width + x] = r << 16 | g << 8 | ((x / 24 + y / 24) % 2 ? 200 : 40);
    }
  }
  if (!encodeJpegFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(p.data()), width, height,
                      85)) {
    return {};
  }
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// The pass's frame: every pixel's colour bytes summed, so a frame without the
// pictures shows.
std::atomic<std::uint64_t> framePixelSum{0};
std::int32_t summingSink(void*, const std::uint32_t* pixels, std::int32_t, const FrameRect& rect) {
  std::uint64_t sum = 0;
  for (std::int32_t i = 0; i < rect.width * rect.height; ++i) sum += pixels[i] & 0xFFFFFF;
  framePixelSum.store(sum);
  return 0;
}

void BM_EnginePassHd(benchmark::State& state, std::int32_t frameWidth, std::int32_t frameHeight,
                     int divisor) {
  constexpr std::int32_t kCamera[2] = {1920, 1080};
  const auto folder = std::filesystem::temp_directory_path() / "vistel-bench-engine-hd";
  std::filesystem::create_directories(folder);
  // What the cameras send, and what the engine shows after a shrunk decode.
  const std::string sent[2] = {cameraJpeg(folder / "top-sent.jpg", kCamera[0], kCamera[1], 1),
                               cameraJpeg(folder / "bottom-sent.jpg", kCamera[0], kCamera[1], 2)};
  const JpegMinimumSize minimum{(kCamera[0] + divisor - 1) / divisor,
                                (kCamera[1] + divisor - 1) / divisor};
  (void)cameraJpeg(folder / "top.jpg", minimum.width, minimum.height, 1);
  (void)cameraJpeg(folder / "bottom.jpg", minimum.width, minimum.height, 2);
  const std::string project = generatedProject("file://top.jpg", 25, "file://bottom.jpg",
                                               "PY9BWG7AklrApksPQU2ycvPoJSszxmOBh2qJwrGHDig=",
                                               "Nu5WI2clw1lQkUZDo2NqBMCmSw9BTbJyPY9BWG7Aklo=");

  TimedPasses passes;
  EngineEnvironment environment;
  environment.passSleep = passes.sleeper();
  environment.readerFactory = test::offlineReaderFactory();
  auto engine = ViewerEngine::create(nullptr, defaultThreadStarter(), &summingSink, environment);
  (void)passes.runOne();
  engine->postEvent(kEventShow, 1, 0);
  engine->postEvent(kEventSize, frameWidth, frameHeight);
  if (!engine->loadProject(project.data(), project.size(), folder.string())) {
    state.SkipWithError("project refused");
    passes.open();
    return;
  }
  engine->setPresetTime(60000);
  engine->postPosition(std::make_unique<NavPosition>(NavPosition{0.9f, 0.0f, 0.0f, 1.0f}),
                       MotionTime::Preset);
  const auto end = Clock::now() + std::chrono::seconds(20);
  for (bool ready = false; !ready;) {
    if (Clock::now() > end) {
      state.SkipWithError("pictures never decoded");
      passes.open();
      return;
    }
    ready = true;
    for (const auto& picture : engine->currentPictures()) {
      ready = ready && picture.state == ViewPicture::State::Delivered;
    }
    (void)passes.runOne();
  }
  for (int i = 0; i < 3; ++i) (void)passes.runOne();

  for (auto _ : state) {
    const auto start = Clock::now();
    for (const std::string& jpeg : sent) {
      DecodedPicture picture;
      if (decodeJpeg(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), picture,
                     minimum) != JpegResult::Ok ||
          picture.width != minimum.width) {
        state.SkipWithError("decode failed");
        break;
      }
      benchmark::DoNotOptimize(picture.pixels.get());
    }
    const double decoding = std::chrono::duration<double>(Clock::now() - start).count();
    state.SetIterationTime(decoding + passes.runOne());
  }
  // Two pictures shown cover the frame: a frame of mostly black means they were not.
  if (framePixelSum.load() < std::uint64_t(frameWidth) * frameHeight * 0x100000) {
    state.SkipWithError("the frame does not show the pictures");
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t{frameWidth} * frameHeight);
  passes.open();
  engine.reset();
  std::filesystem::remove_all(folder);
}

const bool registeredHd = [] {
  struct Case {
    std::int32_t width, height;
    int divisor;
  };
  for (const Case c : {Case{640, 480, 1}, Case{640, 480, 2}, Case{640, 480, 4}, Case{1280, 720, 1},
                       Case{1280, 720, 2}}) {
    const std::string name = "BM_EnginePass/cameras:1920x1080/frame:" + std::to_string(c.width) +
                             "x" + std::to_string(c.height) + "/decode:1/" +
                             std::to_string(c.divisor);
    benchmark::RegisterBenchmark(name.c_str(), BM_EnginePassHd, c.width, c.height, c.divisor)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
}  // namespace vistel
