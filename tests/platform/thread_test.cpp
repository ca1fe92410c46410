// test-labels: threads
#include "vistel/platform/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace vistel {
namespace {

int currentNice() {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
}

TEST(Thread, RunsTheRoutineAndJoinsOnDestruction) {
  std::atomic<int> runs{0};
  {
    Thread t = startThread([&] {
      sleepMs(20);
      runs.fetch_add(1);
    });
    EXPECT_TRUE(t.joinable());
    EXPECT_NE(t.id(), 0u);
  }
  // The destructor waited for the routine.
  EXPECT_EQ(runs.load(), 1);
}

TEST(Thread, MoveTransfersOwnershipAndAssignmentJoinsTheOldThread) {
  std::atomic<int> runs{0};
  Thread a = startThread([&] { runs.fetch_add(1); });
  Thread b = std::move(a);
  EXPECT_FALSE(a.joinable());
  EXPECT_EQ(a.id(), 0u);
  EXPECT_TRUE(b.joinable());
  b = startThread([&] { runs.fetch_add(10); });
  b.join();
  EXPECT_FALSE(b.joinable());
  EXPECT_EQ(runs.load(), 11);
}

TEST(Thread, BelowNormalRunsAtALowerPriorityThanItsStarter) {
  const int parent = currentNice();
  std::atomic<int> child{-100};
  startThread([&] { child = currentNice(); }, {0, ThreadPriority::BelowNormal}).join();
  if (parent >= 19) GTEST_SKIP() << "already at the lowest priority";
  EXPECT_GT(child.load(), parent);

  std::atomic<int> normal{-100};
  startThread([&] { normal = currentNice(); }, {0, ThreadPriority::Normal}).join();
  EXPECT_EQ(normal.load(), parent);
}

TEST(Thread, HonoursTheRequestedStackSize) {
  std::atomic<std::size_t> seen{0};
  constexpr std::size_t kWanted = 256 * 1024;
  startThread(
      [&] {
        pthread_attr_t attr;
        if (::pthread_getattr_np(::pthread_self(), &attr) == 0) {
          std::size_t size = 0;
          ::pthread_attr_getstacksize(&attr, &size);
          seen = size;
          ::pthread_attr_destroy(&attr);
        }
      },
      {kWanted, ThreadPriority::Normal})
      .join();
  EXPECT_GE(seen.load(), kWanted);
  EXPECT_LT(seen.load(), 4 * kWanted);
}

TEST(Thread, DefaultStarterStartsBelowNormal) {
  const int parent = currentNice();
  std::atomic<int> child{-100};
  Thread t = defaultThreadStarter()([&] { child = currentNice(); }, 0);
  ASSERT_NE(t.id(), 0u);
  t.join();
  if (parent < 19) {
    EXPECT_GT(child.load(), parent);
  }
}

TEST(Thread, EmptyRoutineStartsNothing) {
  Thread t = startThread(std::function<void()>{});
  EXPECT_FALSE(t.joinable());
  EXPECT_EQ(t.id(), 0u);
}

}  // namespace
}  // namespace vistel
