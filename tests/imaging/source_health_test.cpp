// The per-camera backoff and the limits behind silent streams and stale
// pictures, on exact clock values.
#include "vistel/imaging/source_health.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vistel/platform/clock.h"

namespace vistel {
namespace {

// The times of the attempts a camera that fails every attempt (each taking
// `attemptMs`) gets from `start` until `end`, when every attempt begins as
// soon as it is due.
std::vector<std::uint32_t> attempts(SourceFailure failure, std::uint32_t start, std::uint32_t end,
                                    std::uint32_t attemptMs = 0) {
  RetryBackoff backoff;
  std::vector<std::uint32_t> out;
  for (std::uint32_t now = start; elapsedMs(end, now) > 0; ++now) {
    if (!backoff.due(now)) continue;
    out.push_back(now - start);
    backoff.failed(now, failure);
    now += attemptMs;  // the failure comes this much later
  }
  return out;
}

int countWithin(const std::vector<std::uint32_t>& times, std::uint32_t from, std::uint32_t to) {
  int n = 0;
  for (std::uint32_t t : times) n += t >= from && t < to;
  return n;
}

TEST(RetryBackoff, DownCameraIsAskedThreeTimesInTwoSecondsAndFourInTheRestOfTheMinute) {
  const auto times = attempts(SourceFailure::NotReachable, 1000, 1000 + 120000);
  EXPECT_EQ(times,
            (std::vector<std::uint32_t>{0, 500, 1500, 3500, 7500, 15500, 31500, 61500, 91500}));
  EXPECT_EQ(countWithin(times, 0, 2000), 3);
  EXPECT_EQ(countWithin(times, 2000, 60000), 4);
  // Failures that take 300 ms keep the same rhythm; 5 s connect time-outs
  // follow each other until the delay outgrows them.
  EXPECT_EQ(attempts(SourceFailure::Silent, 0, 120000, 300), times);
  EXPECT_EQ(
      attempts(SourceFailure::NotReachable, 0, 120000, 5000),
      (std::vector<std::uint32_t>{0, 5001, 10002, 15003, 20004, 28004, 44004, 74004, 104004}));
  // Once at the cap, every 30 s.
  for (std::size_t i = 7; i < times.size(); ++i) EXPECT_EQ(times[i] - times[i - 1], 30000u) << i;
}

TEST(RetryBackoff, RefusedPasswordWaitsThirtySecondsEveryTime) {
  const auto times = attempts(SourceFailure::PasswordRefused, 0, 100000);
  EXPECT_EQ(times, (std::vector<std::uint32_t>{0, 30000, 60000, 90000}));
  // A refused password after quick failures also waits the whole 30 s.
  RetryBackoff backoff;
  backoff.failed(0, SourceFailure::NotReachable);
  backoff.failed(500, SourceFailure::PasswordRefused);
  EXPECT_EQ(backoff.waitMs(500), 30000u);
  EXPECT_FALSE(backoff.due(30499));
  EXPECT_TRUE(backoff.due(30500));
}

TEST(RetryBackoff, PictureEndsTheBackoffAndTheClockMayWrap) {
  RetryBackoff backoff;
  EXPECT_TRUE(backoff.due(0));
  std::uint32_t now = 0xFFFFFF00u;
  for (int i = 0; i < 5; ++i) backoff.failed(now, SourceFailure::ConnectionLost);
  EXPECT_EQ(backoff.failures(), 5);
  EXPECT_EQ(backoff.waitMs(now), 8000u);  // the fifth failure: 500 * 2^4
  now += 7999;                            // past the wrap
  EXPECT_LT(now, 0x2000u);
  EXPECT_EQ(backoff.waitMs(now), 1u);
  EXPECT_TRUE(backoff.due(now + 1));
  // Far past the due time (half the clock's range later) the camera is due, not waiting.
  EXPECT_TRUE(backoff.due(now + 0x7FFFFFF0u));
  backoff.succeeded();
  EXPECT_EQ(backoff.failures(), 0);
  EXPECT_TRUE(backoff.due(0));
  backoff.failed(100, SourceFailure::NotFound);
  EXPECT_EQ(backoff.waitMs(100), 500u);  // starts over
}

TEST(SourceHealth, KeepsTheLastReasonAndStatusUntilAPicture) {
  SourceHealth health;
  EXPECT_EQ(health.state().failure, SourceFailure::None);
  health.recordAnswer(200);
  health.recordFailure(10, SourceFailure::Silent, 0);
  EXPECT_EQ(health.state().httpStatus, 200);  // no answer this time: the last one stays
  EXPECT_EQ(health.state().failure, SourceFailure::Silent);
  health.recordFailure(20, SourceFailure::NotFound, 404);
  EXPECT_EQ(health.state().httpStatus, 404);
  EXPECT_EQ(health.state().failures, 2);
  EXPECT_EQ(health.waitMs(20), 1000u);
  health.recordPicture();
  EXPECT_EQ(health.state().failure, SourceFailure::None);
  EXPECT_EQ(health.state().failures, 0);
  EXPECT_EQ(health.waitMs(20), 0u);
  health.recordFailure(30, SourceFailure::PasswordRefused, 401);
  health.reset();
  EXPECT_EQ(health.state().httpStatus, 0);
  EXPECT_EQ(health.waitMs(30), 0u);
}

TEST(SourceHealth, ReasonsReadAsThePlaceholderSaysThem) {
  EXPECT_EQ(failureText(SourceFailure::None, 0), "");
  EXPECT_EQ(failureText(SourceFailure::NotReachable, 0), "camera not reachable");
  EXPECT_EQ(failureText(SourceFailure::NotFound, 404), "not found (404)");
  EXPECT_EQ(failureText(SourceFailure::PasswordRefused, 401), "password refused (401)");
  EXPECT_EQ(failureText(SourceFailure::NotACamera, 200), "not a camera (wrong content type)");
  EXPECT_EQ(failureText(SourceFailure::Silent, 0), "camera silent");
  EXPECT_EQ(failureText(SourceFailure::ErrorStatus, 503), "camera answered 503");
  // An RTSP error whose number is not known is not called "answered 0".
  EXPECT_EQ(failureText(SourceFailure::ErrorStatus, 0), "camera answered with an error");
}

TEST(SilenceLimit, TenSecondsOrFourIntervals) {
  EXPECT_EQ(silenceLimitMs(25.0f), 10000u);
  EXPECT_EQ(silenceLimitMs(0.4f), 10000u);  // exactly four intervals
  EXPECT_EQ(silenceLimitMs(0.2f), 20000u);
  EXPECT_EQ(silenceLimitMs(-1.0f), 10000u);
  EXPECT_EQ(silenceLimitMs(0.0f), 10000u);
  EXPECT_EQ(silenceLimitMs(std::nanf("")), 10000u);
  EXPECT_EQ(silenceLimitMs(1e-20f), 0x7FFFFFFFu);  // held within the clock's half range
  EXPECT_EQ(staleLimitMs(0.2f), 20000u);
  EXPECT_EQ(staleLimitMs(-1.0f), 10000u);
  EXPECT_EQ(staleLimitMs(0.0f), 0u);  // a view that wants one picture never sees it as stale
  EXPECT_EQ(staleLimitMs(std::nanf("")), 0u);
}

}  // namespace
}  // namespace vistel
