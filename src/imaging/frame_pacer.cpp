#include "vistel/imaging/frame_pacer.h"

#include <algorithm>
#include <cmath>

#include "vistel/platform/clock.h"

namespace vistel::detail {

void FramePacer::mark(std::uint32_t now, double intervalMs) {
  marked_ = true;
  if (!(intervalMs > 0.0) || !std::isfinite(intervalMs)) {
    scheduled_ = false;
    return;
  }
  // The picture's lateness against its due time; a schedule that fell behind
  // by more than an interval starts again here.
  const double late = static_cast<double>(elapsedMs(now, due_)) - dueFraction_;
  if (!scheduled_ || late > intervalMs) {
    due_ = now;
    dueFraction_ = 0;
  }
  scheduled_ = true;
  // Whole and fractional ms apart, so that 1000 / 15 ms intervals do not drift.
  const double next = dueFraction_ + intervalMs;
  const double whole = std::floor(next);
  due_ += static_cast<std::uint32_t>(whole);
  dueFraction_ = next - whole;
}

bool FramePacer::partStored(std::uint32_t now, float frameRate) {
  const std::int32_t gap = elapsedMs(now, lastPartTime_);
  if (partsSinceRestart_++ > 0 && gap > 0) {
    const double g = static_cast<double>(gap);
    cameraGapMs_ = cameraGapMs_ > 0 ? cameraGapMs_ + (g - cameraGapMs_) / 8.0 : g;
  }
  lastPartTime_ = now;
  const double interval = frameRate > 0.0f ? 1000.0 / static_cast<double>(frameRate) : 0.0;
  bool ready = false;
  if (!marked_ || frameRate < 0.0f) {
    ready = true;
  } else if (frameRate > 0.0f) {
    // Early by less than half the camera's gap: the next picture would be
    // later than this one is early, so this one is the nearest.
    const double gapEstimate = cameraGapMs_ > 0 ? std::min(cameraGapMs_, interval) : interval;
    const double offset = static_cast<double>(elapsedMs(now, due_)) - dueFraction_;
    ready = !scheduled_ || offset > -gapEstimate / 2.0;
  }
  // A rate of 0 asks for no interval at all; NaN compares false and never fires.
  if (ready) mark(now, interval);
  return ready;
}

void FramePacer::singleFetched(std::uint32_t) {
  // A single picture keeps the time of its start, and starts no schedule.
  marked_ = true;
  scheduled_ = false;
}

}  // namespace vistel::detail
