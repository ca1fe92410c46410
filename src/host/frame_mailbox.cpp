#include "vistel/host/frame_mailbox.h"

namespace vistel {

bool FrameMailbox::put(const std::uint32_t* pixels, std::int32_t width, std::int32_t height) {
  if (pixels == nullptr || width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    return false;
  }
  const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  std::lock_guard lock(mutex_);
  latest_.pixels.assign(pixels, pixels + count);
  latest_.width = width;
  latest_.height = height;
  latest_.sequence = ++sequence_;
  return true;
}

bool FrameMailbox::copyLatest(FrameCopy& out) const {
  std::lock_guard lock(mutex_);
  if (latest_.width == 0) return false;
  if (out.sequence != latest_.sequence) {
    out.pixels.assign(latest_.pixels.begin(), latest_.pixels.end());
    out.width = latest_.width;
    out.height = latest_.height;
    out.sequence = latest_.sequence;
  }
  return true;
}

void FrameMailbox::clear() {
  std::lock_guard lock(mutex_);
  latest_.width = 0;
  latest_.height = 0;
  latest_.pixels.clear();
  latest_.sequence = 0;
}

}  // namespace vistel
