#pragma once

// How a camera is doing: why it gives no pictures, and when it may be asked
// again. Every network source keeps one SourceHealth, shared by the stream
// reader that connects to it and the image source manager that assigns it,
// so that consecutive failures of one camera back off however they happen
// (a failed probe, a refused stream, a stream that broke or fell silent):
// 0.5 s after the first, doubling up to 30 s, and never sooner than 30 s after
// a refused password (cameras lock accounts after a few bad logins). A
// picture ends the backoff.
//
// Thread-safety: RetryBackoff is a plain value (one thread, or under its
// owner's lock). SourceHealth may be used from any thread; one lock, private
// to it, guards everything.

#include <cstdint>
#include <mutex>
#include <string>

namespace vistel {

// Why a camera gives no (new) pictures.
enum class SourceFailure : std::int32_t {
  None = 0,
  NotReachable,      // no connection: refused, unknown host, connect time-out
  NotFound,          // HTTP 404
  PasswordRefused,   // HTTP 401
  NotACamera,        // a success status with neither image/jpeg nor a multipart stream
  Silent,            // connected, then no answer or no picture within the silence limit
  ErrorStatus,       // another error status
  ConnectionLost,    // the answer broke off or ended before a whole picture
  NoPictures,        // a stream with no picture delimiter in 1 MiB
  FileUnreadable,    // a file:// picture that cannot be read
  UnsupportedCodec,  // an RTSP stream whose video the viewer does not decode (not H.264,
                     // H.265 or JPEG)
  NotRtsp,           // an rtsp:// peer whose answers are not RTSP
  NoVideo,           // an RTSP stream without video (a microphone alone)
};

// The words a view's placeholder and `vistel probe` use for `failure`, in lower
// case ("camera not reachable", "not found (404)", "password refused (401)",
// "not a camera (wrong content type)", "camera silent", "camera answered 503",
// "connection lost", "no pictures in the stream", "picture file not
// readable", "unsupported codec", "not a camera (no RTSP answer)", "no video
// in the stream"); empty for None. `httpStatus`
// is only read for ErrorStatus.
[[nodiscard]] std::string failureText(SourceFailure failure, int httpStatus);

// A stream that delivers no picture for this long (or for four intervals of
// the wanted frame rate, when that is longer) is dropped and connected again;
// a picture older than that is shown as stale.
inline constexpr std::uint32_t kSilenceLimitMs = 10000;

// The silence limit for a reader asked for `fps` pictures per second: the
// longer of kSilenceLimitMs and four intervals (kSilenceLimitMs for fps <= 0
// and for NaN).
[[nodiscard]] std::uint32_t silenceLimitMs(float fps);

// How old a view's picture may be before it is shown as stale, for a view
// asking `fps` pictures per second: silenceLimitMs(fps); 0 (never stale) for
// fps 0 (the view wants its first picture only) and for NaN.
[[nodiscard]] std::uint32_t staleLimitMs(float fps);

// The delays between attempts to reach one camera, on the wrapping
// millisecond clock.
class RetryBackoff {
 public:
  static constexpr std::uint32_t kFirstDelayMs = 500;
  static constexpr std::uint32_t kMaxDelayMs = 30000;
  static constexpr std::uint32_t kPasswordDelayMs = 30000;

  // An attempt begun at `attemptStart` failed because of `failure`: the next
  // may begin kFirstDelayMs after that start, twice as long after each
  // further failure, at most kMaxDelayMs (kPasswordDelayMs at least after a
  // refused password). Counted from the start, so that attempts that take
  // long to fail (a connect time-out) are not spread further than that.
  void failed(std::uint32_t attemptStart, SourceFailure failure);
  // A picture arrived: the next attempt may begin at once.
  void succeeded() { failures_ = 0; }
  // True when an attempt may begin at `now`.
  [[nodiscard]] bool due(std::uint32_t now) const { return waitMs(now) == 0; }
  // Milliseconds from `now` until an attempt may begin; 0 when it may now.
  [[nodiscard]] std::uint32_t waitMs(std::uint32_t now) const;
  // Failures since the last picture.
  [[nodiscard]] std::int32_t failures() const { return failures_; }

 private:
  std::int32_t failures_ = 0;
  std::uint32_t nextAttempt_ = 0;  // meaningful while failures_ > 0
};

// One camera's health, as the last attempt left it.
struct SourceHealthState {
  SourceFailure failure = SourceFailure::None;  // None after a picture
  int httpStatus = 0;                           // of the last answer; 0 before any
  std::int32_t failures = 0;                    // since the last picture
};

class SourceHealth {
 public:
  // An attempt begun at `attemptStart` failed; `httpStatus` is the answer's
  // status (0: none, keeping the last one).
  void recordFailure(std::uint32_t attemptStart, SourceFailure failure, int httpStatus);
  // A camera answered with `httpStatus` (also a success, before any picture).
  void recordAnswer(int httpStatus);
  // A picture arrived: no failure, no backoff.
  void recordPicture();
  // Milliseconds from `now` until the next attempt may begin; 0 when it may now.
  [[nodiscard]] std::uint32_t waitMs(std::uint32_t now) const;
  [[nodiscard]] SourceHealthState state() const;
  // Forgets everything (a new job for a reader without a shared source).
  void reset();

 private:
  mutable std::mutex lock_;
  RetryBackoff backoff_;       // guarded by lock_
  SourceHealthState state_{};  // guarded by lock_
};

}  // namespace vistel
