#include "vistel/platform/clock.h"

#include <time.h>

namespace vistel {

namespace {
const SystemClock kSystemClock;
// Guarded by atomicity alone: a pointer swapped whole by ScopedClock.
std::atomic<const Clock*> gClock{&kSystemClock};
}  // namespace

std::uint32_t SystemClock::nowMs() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

const Clock& systemClock() { return kSystemClock; }

std::uint32_t nowMs() { return gClock.load(std::memory_order_acquire)->nowMs(); }

ScopedClock::ScopedClock(const Clock& clock)
    : previous_(gClock.exchange(&clock, std::memory_order_acq_rel)) {}

ScopedClock::~ScopedClock() { gClock.store(previous_, std::memory_order_release); }

}  // namespace vistel
