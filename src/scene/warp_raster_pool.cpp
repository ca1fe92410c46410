#include "vistel/scene/warp_raster_pool.h"

#include <algorithm>
#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vistel {

RasterPool::RasterPool(const ThreadStarter& starter, int helpers) {
  if (!starter) return;
  for (int i = 0; i < helpers; ++i) {
    Thread thread = starter([this] { helperLoop(); }, 0);
    if (!thread.joinable()) break;
    threads_.push_back(std::move(thread));
  }
}

RasterPool::~RasterPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  threads_.clear();  // joins
}

namespace {

// Long enough to bridge the hand-over between the two jobs of a frame and the
// last rows of a job; short enough that idle helpers between frames sleep.
constexpr auto kSpinTime = std::chrono::microseconds(50);

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

template <typename Done>
bool RasterPool::spinUntil(const Done& done) {
  const auto end = std::chrono::steady_clock::now() + kSpinTime;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      relax();
    }
    if (std::chrono::steady_clock::now() >= end) return done();
  }
}

int RasterPool::defaultHelpers() {
  const int processors = int(std::thread::hardware_concurrency());
  return std::clamp(processors - 1, 0, 3);
}

void RasterPool::work(Item item, const void* context, std::int32_t count) {
  for (std::int32_t i = next_.fetch_add(1, std::memory_order_relaxed); i < count;
       i = next_.fetch_add(1, std::memory_order_relaxed)) {
    item(context, i);
  }
}

void RasterPool::runItems(std::int32_t count, Item item, const void* context) {
  if (count <= 0) return;
  if (threads_.empty() || count == 1) {
    for (std::int32_t i = 0; i < count; ++i) item(context, i);
    return;
  }
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A helper that joined the last job late may still be leaving it; the
    // counter must not restart under it.
    idle_.wait(lock, [this] { return joined_ == 0; });
    item_ = item;
    context_ = context;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    ++generation_;
    publishedGeneration_.store(generation_, std::memory_order_release);
  }
  wake_.notify_all();
  work(item, context, count);
  // Every item is taken; those still running belong to helpers that joined.
  (void)spinUntil([this] { return publishedJoined_.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(mutex_);
  idle_.wait(lock, [this] { return joined_ == 0; });
}

void RasterPool::helperLoop() {
  std::uint64_t seen = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (!stop_ && generation_ == seen) {
      lock.unlock();
      (void)spinUntil([&] { return publishedGeneration_.load(std::memory_order_acquire) != seen; });
      lock.lock();
    }
    wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
    if (stop_) return;
    seen = generation_;
    // A helper that wakes after the caller has finished joins a job with
    // nothing left to take; the caller sets up the next job only once every
    // helper has left this one.
    const Item item = item_;
    const void* const context = context_;
    const std::int32_t count = count_;
    publishedJoined_.store(++joined_, std::memory_order_relaxed);
    lock.unlock();
    work(item, context, count);
    lock.lock();
    publishedJoined_.store(--joined_, std::memory_order_release);
    if (joined_ == 0) idle_.notify_all();
  }
}

}  // namespace vistel
