#include <limits>

#include "vistel/imaging/frame_pacer_p.h"
#include "vistel/platform/clock.h"

namespace vistel::detail {

bool FramePacer::partStored(std::uint32_t now, float frameRate) {
  const std::int32_t since = elapsedMs(now, lastPartTime_);
  if (since > 0) {
    // Saturates rather than wraps: a stream idle for weeks is simply due.
    const auto step = static_cast<std::uint32_t>(since);
    const std::uint32_t room = std::numeric_limits<std::uint32_t>::max() - sinceReady_;
    sinceReady_ += step < room ? step : room;
  }
  // A rate of 0 asks for no interval at all; NaN compares false and never fires.
  const bool ready = !haveReadyTime_ || frameRate < 0.0f ||
                     (frameRate > 0.0f && 1000.0f / frameRate < static_cast<float>(sinceReady_));
  if (ready) sinceReady_ = 0;
  markTime(now);
  lastPartTime_ = now;
  return ready;
}

}  // namespace vistel::detail
