// test-labels: threads
#include "vistel/scene/warp_raster_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace vistel {
namespace {

// Starts threads like the engine's starter and counts them.
struct CountingStarter {
  std::atomic<int> started{0};
  ThreadStarter starter() {
    return [this](std::function<void()> routine, std::size_t stackSize) {
      ++started;
      return startThread(std::move(routine), {stackSize, ThreadPriority::BelowNormal});
    };
  }
};

TEST(RasterPool, EveryItemRunsOnceAcrossTheCallerAndTheHelpers) {
  CountingStarter counting;
  RasterPool pool(counting.starter(), 2);
  EXPECT_EQ(pool.helpers(), 2);
  EXPECT_EQ(counting.started, 2);
  const std::thread::id caller = std::this_thread::get_id();
  std::set<std::thread::id> workers;
  for (const std::int32_t count : {0, 1, 2, 7, 68, 500}) {
    for (int round = 0; round < 20; ++round) {
      std::vector<std::atomic<int>> runs(std::size_t(count) + 1);
      std::vector<std::thread::id> ranOn(std::size_t(count) + 1);
      pool.run(count, [&](std::int32_t i) {
        ++runs[std::size_t(i)];
        ranOn[std::size_t(i)] = std::this_thread::get_id();
        if (i % 3 == 0) std::this_thread::yield();  // lets the helpers take some
      });
      // Every call returned before run() did: the counts are final here.
      for (std::int32_t i = 0; i < count; ++i) ASSERT_EQ(runs[std::size_t(i)], 1) << i;
      ASSERT_EQ(runs[std::size_t(count)], 0);
      workers.insert(ranOn.begin(), ranOn.begin() + count);
    }
  }
  EXPECT_TRUE(workers.count(caller));
  EXPECT_GT(workers.size(), 1u);  // the helpers took part
}

TEST(RasterPool, WithoutHelpersTheCallerRunsEverything) {
  const ThreadStarter failing = [](std::function<void()>, std::size_t) { return Thread{}; };
  for (const ThreadStarter& starter : {ThreadStarter{}, failing}) {
    RasterPool pool(starter, 3);
    EXPECT_EQ(pool.helpers(), 0);
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<int> order;
    pool.run(5, [&](std::int32_t i) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      order.push_back(i);
    });
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  }
}

}  // namespace
}  // namespace vistel
