// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <latch>
#include <random>
#include <thread>
#include <vector>

#include "vistel/calibration/fft.h"

namespace vistel {
namespace {

struct Grid {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<double> re;
  std::vector<double> im;
  friend bool operator==(const Grid&, const Grid&) = default;
};

Grid randomGrid(std::int32_t width, std::int32_t height, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Grid g{width, height, {}, {}};
  for (std::int32_t i = 0; i < width * height; ++i) {
    g.re.push_back(uniform(rng));
    g.im.push_back(uniform(rng));
  }
  return g;
}

// Forward 2-D transform, inverse 2-D transform, then every row forward in
// 1-D: all three entry points and their scratch space, on one grid.
bool workOn(Grid& g) {
  if (!fft2d(g.width, g.height, g.re.data(), g.im.data())) return false;
  if (!ifft2d(g.width, g.height, g.re.data(), g.im.data())) return false;
  for (std::int32_t y = 0; y < g.height; ++y) {
    const auto row = static_cast<std::size_t>(y) * static_cast<std::size_t>(g.width);
    if (!fft1d(g.width, 1, &g.re[row], &g.im[row])) return false;
  }
  return true;
}

// Two threads whose sizes share some lengths (both build and read the same
// tables) and differ in others, including chirp-z ones (479, 353, 131).
const std::vector<std::vector<std::pair<std::int32_t, std::int32_t>>> kSizes = {
    {{640, 480}, {479, 353}, {131, 40}, {96, 1}},
    {{480, 640}, {353, 479}, {40, 131}, {1, 96}},
};

std::vector<std::vector<Grid>> inputs() {
  std::vector<std::vector<Grid>> all;
  std::uint32_t seed = 1;
  for (const auto& sizes : kSizes) {
    all.emplace_back();
    for (const auto& [w, h] : sizes) all.back().push_back(randomGrid(w, h, seed++));
  }
  return all;
}

// Each thread's grids transformed alone, one after the other.
std::vector<std::vector<Grid>> singleThreaded() {
  std::vector<std::vector<Grid>> results = inputs();
  for (auto& grids : results) {
    for (Grid& g : grids) EXPECT_TRUE(workOn(g));
  }
  return results;
}

TEST(FftThreads, TwoThreadsTransformAtOnceWithTheSingleThreadedResults) {
  const std::vector<std::vector<Grid>> want = singleThreaded();
  for (int round = 0; round < 2; ++round) {
    // Empty tables, so the two threads also race to build them.
    clearFftTables();
    std::vector<std::vector<Grid>> got = inputs();
    std::vector<int> ok(got.size(), 1);
    std::latch start(static_cast<std::ptrdiff_t>(got.size()));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < got.size(); ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (Grid& g : got[t]) ok[t] &= workOn(g) ? 1 : 0;
      });
    }
    for (std::thread& th : threads) th.join();
    for (std::size_t t = 0; t < got.size(); ++t) {
      EXPECT_EQ(ok[t], 1) << "thread " << t;
      for (std::size_t i = 0; i < got[t].size(); ++i) {
        // Bit for bit: sharing tables must not change a single result.
        EXPECT_TRUE(got[t][i] == want[t][i])
            << "round " << round << " thread " << t << " grid " << i;
      }
    }
  }
}

TEST(FftThreads, ClearingTablesWhileAnotherThreadTransforms) {
  const std::vector<std::vector<Grid>> want = singleThreaded();
  std::vector<Grid> got = inputs()[0];
  std::atomic<bool> done{false};
  std::thread clearer([&] {
    while (!done.load()) {
      clearFftTables();
      std::this_thread::yield();
    }
  });
  bool ok = true;
  for (Grid& g : got) ok = workOn(g) && ok;
  done.store(true);
  clearer.join();
  EXPECT_TRUE(ok);
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == want[0][i]) << "grid " << i;
}

}  // namespace
}  // namespace vistel
