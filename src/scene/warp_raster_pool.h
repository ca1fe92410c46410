#pragma once

// A few helper threads that share one rasterisation with the thread that asks
// for it: the caller hands over a count of independent items (block rows, grid
// rows), and the caller and the helpers take them one at a time until none is
// left. Each item writes its own part of the output, so the bytes do not depend
// on how many threads ran or which took what.
//
// A helper that finished a job, and the caller waiting for the helpers to
// leave one, spin for a few tens of microseconds before they sleep: a frame
// hands over twice (grid rows, then block rows), and waking a sleeping thread
// costs more than a row takes.
//
// Thread-safety: run() is called by one thread at a time (the renderer's
// owner, the engine thread); the helpers only ever run the items of the run in
// progress. Construction and destruction on the owning thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "vistel/platform/thread.h"

namespace vistel {

class RasterPool {
 public:
  // Starts up to `helpers` threads through `starter` (below normal priority,
  // like every worker); an empty starter, or one that fails, leaves fewer, and
  // with none run() does everything on the calling thread.
  RasterPool(const ThreadStarter& starter, int helpers);
  // Stops the helpers and joins them; no run() may be in progress.
  ~RasterPool();
  RasterPool(const RasterPool&) = delete;
  RasterPool& operator=(const RasterPool&) = delete;

  // Helpers that started.
  int helpers() const { return int(threads_.size()); }

  // Calls task(i) once for every i in [0, count), on the calling thread and the
  // helpers, and returns when all calls have returned. `task` must be safe to
  // call for different items at once.
  template <typename Task>
  void run(std::int32_t count, const Task& task) {
    runItems(
        count, [](const void* context, std::int32_t i) { (*static_cast<const Task*>(context))(i); },
        &task);
  }

  // Helpers a renderer on this machine starts: one fewer than the processors,
  // at most three.
  static int defaultHelpers();

 private:
  using Item = void (*)(const void* context, std::int32_t index);

  void runItems(std::int32_t count, Item item, const void* context);
  void helperLoop();
  // Takes items of the current job until none is left.
  void work(Item item, const void* context, std::int32_t count);
  // Spins until `done` holds or the spin time is over; whether it holds.
  template <typename Done>
  static bool spinUntil(const Done& done);

  std::mutex mutex_;
  std::condition_variable wake_;  // helpers: a new job or stop
  std::condition_variable idle_;  // caller: the last helper left the job
  // Guarded by mutex_: the job in progress, its generation and the helpers in it.
  Item item_ = nullptr;
  const void* context_ = nullptr;
  std::int32_t count_ = 0;
  std::uint64_t generation_ = 0;
  int joined_ = 0;
  bool stop_ = false;
  // Copies of generation_ and joined_, written under mutex_ and read without
  // it by the spinning threads, which then take mutex_ to act on what they saw.
  std::atomic<std::uint64_t> publishedGeneration_{0};
  std::atomic<int> publishedJoined_{0};
  // The next item to take; reset under mutex_ while no helper has joined.
  std::atomic<std::int32_t> next_{0};
  std::vector<Thread> threads_;  // owning thread only; last, so helpers go first
};

}  // namespace vistel
