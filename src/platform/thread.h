#pragma once

// Threads, priorities and sleeps. Worker threads of the viewer run below
// normal priority so that the host's user interface stays responsive.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace vistel {

enum class ThreadPriority { Normal, BelowNormal };

struct ThreadOptions {
  std::size_t stackSize = 0;  // 0: the system default
  ThreadPriority priority = ThreadPriority::BelowNormal;
};

// Owns one running thread. Destroying or move-assigning over a running Thread
// joins it first, so a routine never outlives the object that started it.
// Not thread-safe: one owner thread calls join() and the destructor.
class Thread {
 public:
  Thread() noexcept = default;
  Thread(Thread&& other) noexcept;
  Thread& operator=(Thread&& other) noexcept;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // True between a successful start and join().
  bool joinable() const noexcept { return started_; }
  // Waits for the routine to return. No effect on an empty Thread.
  void join() noexcept;
  // Nonzero for a started thread; 0 for an empty one.
  std::uint64_t id() const noexcept { return started_ ? id_ : 0; }

 private:
  friend Thread startThread(std::function<void()> routine, ThreadOptions options);
  std::uint64_t id_ = 0;  // pthread_t of the running thread
  bool started_ = false;
};

// Starts `routine` on a new thread. Returns an empty Thread (id() == 0) when the
// system refuses; the routine is then never run.
[[nodiscard]] Thread startThread(std::function<void()> routine, ThreadOptions options = {});

// How an owner starts the threads of the objects it builds: the routine, and a
// stack size (0 = default). Returns an empty Thread on failure.
using ThreadStarter = std::function<Thread(std::function<void()> routine, std::size_t stackSize)>;

// Starts threads below normal priority, the way the viewer's threads run.
ThreadStarter defaultThreadStarter();

// Blocks the calling thread for at least `ms` milliseconds.
void sleepMs(std::uint32_t ms);

}  // namespace vistel
