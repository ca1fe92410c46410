#include "vistel/imaging/source_health.h"

#include <algorithm>
#include <cmath>

#include "vistel/platform/clock.h"

namespace vistel {

std::string failureText(SourceFailure failure, int httpStatus) {
  switch (failure) {
    case SourceFailure::None:
      return {};
    case SourceFailure::NotReachable:
      return "camera not reachable";
    case SourceFailure::NotFound:
      return "not found (404)";
    case SourceFailure::PasswordRefused:
      return "password refused (401)";
    case SourceFailure::NotACamera:
      return "not a camera (wrong content type)";
    case SourceFailure::Silent:
      return "camera silent";
    case SourceFailure::ErrorStatus:
      // An RTSP camera's error whose number libav does not pass on.
      if (httpStatus <= 0) return "camera answered with an error";
      return "camera answered " + std::to_string(httpStatus);
    case SourceFailure::ConnectionLost:
      return "connection lost";
    case SourceFailure::NoPictures:
      return "no pictures in the stream";
    case SourceFailure::FileUnreadable:
      return "picture file not readable";
    case SourceFailure::UnsupportedCodec:
      return "unsupported codec";
    case SourceFailure::NotRtsp:
      return "not a camera (no RTSP answer)";
    case SourceFailure::NoVideo:
      return "no video in the stream";
  }
  return {};
}

std::uint32_t silenceLimitMs(float fps) {
  // Compared this way round so that NaN falls to the plain limit.
  if (!(fps > 0.0f)) return kSilenceLimitMs;
  const double intervals = std::round(4000.0 / static_cast<double>(fps));
  // Above the clock's half range a difference would read as negative.
  constexpr double kLongest = 0x7FFFFFFF;
  return static_cast<std::uint32_t>(std::clamp(intervals, double{kSilenceLimitMs}, kLongest));
}

std::uint32_t staleLimitMs(float fps) {
  if (fps == 0.0f || std::isnan(fps)) return 0;
  return silenceLimitMs(fps);
}

void RetryBackoff::failed(std::uint32_t attemptStart, SourceFailure failure) {
  // 500 ms, 1 s, 2 s, ... : the shift stops growing long before it could overflow.
  const int doublings = std::min(failures_, 16);
  std::uint32_t delay = std::min(kFirstDelayMs << doublings, kMaxDelayMs);
  if (failure == SourceFailure::PasswordRefused) delay = std::max(delay, kPasswordDelayMs);
  ++failures_;
  nextAttempt_ = attemptStart + delay;
}

std::uint32_t RetryBackoff::waitMs(std::uint32_t now) const {
  if (failures_ == 0) return 0;
  const std::int32_t left = elapsedMs(nextAttempt_, now);
  return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

void SourceHealth::recordFailure(std::uint32_t attemptStart, SourceFailure failure,
                                 int httpStatus) {
  std::lock_guard<std::mutex> guard(lock_);
  backoff_.failed(attemptStart, failure);
  state_.failure = failure;
  if (httpStatus != 0) state_.httpStatus = httpStatus;
  state_.failures = backoff_.failures();
}

void SourceHealth::recordAnswer(int httpStatus) {
  std::lock_guard<std::mutex> guard(lock_);
  state_.httpStatus = httpStatus;
}

void SourceHealth::recordPicture() {
  std::lock_guard<std::mutex> guard(lock_);
  backoff_.succeeded();
  state_.failure = SourceFailure::None;
  state_.failures = 0;
}

std::uint32_t SourceHealth::waitMs(std::uint32_t now) const {
  std::lock_guard<std::mutex> guard(lock_);
  return backoff_.waitMs(now);
}

SourceHealthState SourceHealth::state() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

void SourceHealth::reset() {
  std::lock_guard<std::mutex> guard(lock_);
  backoff_ = {};
  state_ = {};
}

}  // namespace vistel
