#pragma once

// Frame-rate pacing at the source: every picture cut from a stream is stored,
// but marked ready for the consumer only when it is due by a schedule of one
// mark every 1000 / frameRate ms. Each mark moves the due time on by one
// interval from the previous due time (not from the picture's arrival), and
// the picture nearest to its due time is the one marked: a picture counts as
// on time when it is early by less than half the camera's own (smoothed) gap
// between pictures, and by less than half the interval. So a camera that sends
// exactly the wanted rate has every picture marked however its pictures
// jitter, and a faster camera has the wanted number marked. After a gap of
// more than an interval (a stalled camera, a reconnection) the schedule starts
// again from the picture that ends it, instead of marking a burst.
//
// A negative rate marks every picture; a rate of 0 (or NaN) only the first
// picture the pacer ever sees.
//
// Shared by the readers of this layer and by hosts that read cameras
// themselves (the web host's camera hub, the camera check).
//
// Thread-safety: none; the stream reader keeps it under its frame lock.

#include <cstdint>

namespace vistel::detail {

class FramePacer {
 public:
  // A fetch starts at `now`: the time of a picture not yet cut counts from here.
  void restart(std::uint32_t now) {
    lastPartTime_ = now;
    partsSinceRestart_ = 0;
  }

  // A picture was stored at `now`; true when it is to be marked ready.
  bool partStored(std::uint32_t now, float frameRate);

  // A single picture was fetched completely at `now`; its time stays the
  // time of the fetch's start.
  void singleFetched(std::uint32_t now);

  std::uint32_t lastPartTime() const { return lastPartTime_; }

 private:
  // Marks a picture at `now`, scheduling the next one interval after the
  // current due time (or after `now` when there was no schedule or it fell
  // behind by more than an interval).
  void mark(std::uint32_t now, double intervalMs);

  std::uint32_t lastPartTime_ = 0;  // clock at the end of the previous part (or at start)
  int partsSinceRestart_ = 0;       // the first part's gap includes connecting
  double cameraGapMs_ = 0;          // smoothed gap between parts; 0 until measured
  bool marked_ = false;             // false until the first mark
  bool scheduled_ = false;          // a due time is set (a positive rate was paced)
  std::uint32_t due_ = 0;           // whole ms of the next due time
  double dueFraction_ = 0;          // its fraction of a ms, in [0, 1)
};

}  // namespace vistel::detail
