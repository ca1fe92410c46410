#include "vistel/platform/clock.h"

#include <gtest/gtest.h>

#include "vistel/platform/thread.h"

namespace vistel {
namespace {

TEST(Clock, ElapsedStaysRightAcrossTheWrap) {
  EXPECT_EQ(elapsedMs(5u, 0xFFFFFFFBu), 10);
  EXPECT_EQ(elapsedMs(0xFFFFFFFBu, 5u), -10);
  EXPECT_EQ(elapsedMs(1000u, 1000u), 0);
  // Half the range apart is the farthest a difference still reads as "later".
  EXPECT_EQ(elapsedMs(0x7FFFFFFFu, 0u), 0x7FFFFFFF);
  EXPECT_LT(elapsedMs(0x80000000u, 0u), 0);
}

TEST(Clock, ScopedClockReplacesAndRestoresTheProcessClock) {
  ManualClock manual(0xFFFFFFF0u);
  {
    ScopedClock guard(manual);
    EXPECT_EQ(nowMs(), 0xFFFFFFF0u);
    manual.advance(0x20);
    EXPECT_EQ(nowMs(), 0x10u);  // wrapped
    {
      ManualClock inner(7);
      ScopedClock nested(inner);
      EXPECT_EQ(nowMs(), 7u);
    }
    EXPECT_EQ(nowMs(), 0x10u);
  }
  // Back on the system clock, which moves with real time.
  const auto before = nowMs();
  sleepMs(20);
  const auto after = nowMs();
  EXPECT_GE(elapsedMs(after, before), 19);
  EXPECT_LT(elapsedMs(after, before), 5000);
}

TEST(Clock, SleepLastsAtLeastTheRequestedTime) {
  const auto before = systemClock().nowMs();
  sleepMs(30);
  EXPECT_GE(elapsedMs(systemClock().nowMs(), before), 29);
}

}  // namespace
}  // namespace vistel
