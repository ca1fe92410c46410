#pragma once

// The hand-off of rendered frames from the engine thread to the thread that
// paints the window. The engine thread puts each finished frame in (a copy
// under the mailbox's lock); the painting thread takes a copy of the latest
// one out whenever it draws. Only the newest frame is kept: a painter that
// falls behind skips frames and never holds up the engine for longer than one
// copy of a frame.
//
// Thread-safety: put() from one thread (the engine thread), copyLatest() and
// clear() from any thread; all members may run concurrently.

#include <cstdint>
#include <mutex>
#include <vector>

namespace vistel {

// A painter's copy of a frame: `width` x `height` pixels, rows top-down
// without gaps, each pixel blue, green, red and a fourth byte in memory order
// (read as a little-endian word: red * 65536 + green * 256 + blue).
struct FrameCopy {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::uint64_t sequence = 0;  // 0 before the first frame; grows by one per put frame
  std::vector<std::uint32_t> pixels;
};

class FrameMailbox {
 public:
  // Largest side accepted; the engine never renders more than 2047.
  static constexpr std::int32_t kMaxSide = 4096;

  // Keeps a copy of the frame in place of the previous one. False, keeping
  // the previous frame, for null pixels or a side outside 1..kMaxSide.
  // `pixels` must hold width * height words and is read during the call only.
  bool put(const std::uint32_t* pixels, std::int32_t width, std::int32_t height);

  // True when a frame is there. `out` is overwritten only when it does not
  // already hold the latest frame (its sequence differs), so a painter that
  // keeps one FrameCopy copies each frame at most once and reuses its memory.
  // False, with `out` untouched, before the first frame or after clear().
  bool copyLatest(FrameCopy& out) const;

  // Forgets the frame (the window went away); sequences keep growing.
  void clear();

 private:
  mutable std::mutex mutex_;
  FrameCopy latest_;            // guarded by mutex_; width 0 when there is none
  std::uint64_t sequence_ = 0;  // guarded by mutex_; of the last put frame
};

}  // namespace vistel
