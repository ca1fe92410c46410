#pragma once

// A viewer engine whose thread runs its passes only when a test says so, on a
// clock that only moves when told to, with a sink that records the frames.
// The engine thread is real; between the passes a test lets run it is parked
// in the engine's pass sleep, so the test may read and change anything in the
// meantime. Header-only.
//
// Thread-safety: PassGate and FrameLog are shared by the test thread and the
// engine thread and lock internally; EngineHarness belongs to the test thread.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "support/offline_reader.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/platform/clock.h"

namespace vistel::test {

class PassGate {
 public:
  // The engine's pass sleep: parks the engine thread until the test grants a pass.
  std::function<void(std::uint32_t)> sleeper() {
    return [this](std::uint32_t) { park(); };
  }

  // Waits until the engine thread is parked, lets it run `passes` passes, and
  // waits until it is parked again.
  void run(int passes = 1) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return parked_ && granted_ == 0; });
    const std::uint64_t target = finished_ + static_cast<std::uint64_t>(passes);
    granted_ += passes;
    changed_.notify_all();
    changed_.wait(lock, [&] { return finished_ >= target && parked_; });
  }

  // Lets the engine thread run freely from now on (before the engine goes).
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  void park() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++finished_;
    parked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_ || granted_ > 0; });
    if (granted_ > 0) --granted_;
    parked_ = false;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t finished_ = 0;  // passes ended so far
  int granted_ = 0;             // passes the test allowed that have not begun
  bool parked_ = false;
  bool open_ = false;
};

// What the engine's frame sink received.
class FrameLog {
 public:
  static std::int32_t sink(void* context, const std::uint32_t* pixels, std::int32_t,
                           const FrameRect& rect) {
    auto& log = *static_cast<FrameLog*>(context);
    std::lock_guard<std::mutex> lock(log.mutex_);
    ++log.count_;
    log.width_ = rect.width;
    log.height_ = rect.height;
    log.last_.assign(pixels, pixels + std::size_t(rect.width) * std::size_t(rect.height));
    return 0;
  }
  int count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  std::int32_t width() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return width_;
  }
  std::int32_t height() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return height_;
  }
  std::vector<std::uint32_t> last() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  mutable std::mutex mutex_;
  int count_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::vector<std::uint32_t> last_;
};

// An engine on a manual clock with a pass gate, offline readers (file://
// pictures only) unless the test gives others, and a recording sink. The first pass has run when
// the constructor returns.
struct EngineHarness {
  ManualClock clock{1000};
  PassGate gate;
  FrameLog frames;
  std::unique_ptr<ViewerEngine> engine;

  explicit EngineHarness(SourceReaderFactory readers = offlineReaderFactory())
      : engine(ViewerEngine::create(&frames, defaultThreadStarter(), &FrameLog::sink,
                                    {&clock, gate.sleeper(), std::move(readers)})) {
    gate.run(0);
  }
  ~EngineHarness() {
    gate.open();
    engine.reset();
  }

  // Posts Show and Size, loads `xml` and runs one pass; false when the load failed.
  bool showAndLoad(const std::string& xml, std::int32_t width = 160, std::int32_t height = 90) {
    engine->postEvent(kEventShow, 1, 0);
    engine->postEvent(kEventSize, width, height);
    const bool loaded = engine->loadProject(xml.data(), xml.size());
    gate.run();
    return loaded;
  }
};

}  // namespace vistel::test
