#pragma once

// Frame-rate pacing at the source: every picture cut from a stream is stored,
// but marked ready for the consumer only when more than 1000 / frameRate ms
// (accumulated from part to part) have passed since the last ready mark. A
// negative rate marks every picture, a rate of 0 only the first picture the
// pacer ever sees.
//
// Thread-safety: none; the stream reader keeps it under its frame lock.

#include <cstdint>

namespace vistel::detail {

class FramePacer {
 public:
  // A fetch starts at `now`: the time to the first part counts from here.
  void restart(std::uint32_t now) { lastPartTime_ = now; }

  // A picture was stored at `now`; true when it is to be marked ready.
  bool partStored(std::uint32_t now, float frameRate);

  // A single picture was fetched completely at `now`.
  void singleFetched(std::uint32_t now) { markTime(now); }

  std::uint32_t lastPartTime() const { return lastPartTime_; }

 private:
  void markTime(std::uint32_t now) {
    lastReadyTime_ = now;
    haveReadyTime_ = true;
  }

  std::uint32_t lastPartTime_ = 0;   // clock at the end of the previous part (or at start)
  std::uint32_t lastReadyTime_ = 0;  // clock when a picture was last stored
  bool haveReadyTime_ = false;       // false until the first picture
  std::uint32_t sinceReady_ = 0;     // ms accumulated since the last ready mark
};

}  // namespace vistel::detail
