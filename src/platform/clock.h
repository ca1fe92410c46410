#pragma once

// The one time base of the system: an unsigned 32-bit millisecond counter that
// wraps after about 49.7 days. Every motion, frame-rate interval and frame
// timestamp is measured on it, so differences must always be taken with
// elapsedMs(), which stays right across the wrap.

#include <atomic>
#include <cstdint>

namespace vistel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds on a wrapping counter. Thread-safe.
  virtual std::uint32_t nowMs() const = 0;
};

// Monotonic system time, truncated to 32 bits.
class SystemClock final : public Clock {
 public:
  std::uint32_t nowMs() const override;
};

// A clock that only moves when told to; for tests that step time or cross the
// wrap. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(std::uint32_t start = 0) : now_(start) {}
  std::uint32_t nowMs() const override { return now_.load(std::memory_order_acquire); }
  void set(std::uint32_t ms) { now_.store(ms, std::memory_order_release); }
  void advance(std::uint32_t ms) { now_.fetch_add(ms, std::memory_order_acq_rel); }

 private:
  std::atomic<std::uint32_t> now_;
};

// The process-wide system clock.
const Clock& systemClock();

// Reads the clock currently installed for the process (the system clock unless
// a test installed another). Thread-safe.
std::uint32_t nowMs();

// Signed distance from `earlier` to `later` on the wrapping counter; positive
// when `later` is after `earlier` by less than 2^31 ms.
constexpr std::int32_t elapsedMs(std::uint32_t later, std::uint32_t earlier) {
  return static_cast<std::int32_t>(later - earlier);
}

// Installs `clock` as the process clock for the lifetime of this object, then
// restores the previous one. The clock must outlive the guard. Meant for tests;
// install before starting threads that read the clock.
class ScopedClock {
 public:
  explicit ScopedClock(const Clock& clock);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  const Clock* previous_;
};

}  // namespace vistel
