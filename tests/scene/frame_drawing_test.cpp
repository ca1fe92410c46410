#include "vistel/scene/frame_drawing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace vistel {
namespace {

TEST(BlankFrame, IsBlackWithTheSpareRowAndTheCentredPlaceholder) {
  const std::uint8_t rgb[2 * 3 * 3] = {1,  2,  3,  4,  5,  6,  7,  8,  9,
                                       10, 11, 12, 13, 14, 15, 16, 17, 18};
  const RgbPicture placeholder{rgb, 3, 2};
  const auto frame = makeBlankFrame(10, 7, &placeholder);
  ASSERT_EQ(frame.size(), 8u * 10 + 1);
  // Top-left at column (10 - 3) div 2 = 3, row (7 - 2) div 2 = 2; red in the third byte.
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 10; ++x) {
      const bool in = x >= 3 && x < 6 && y >= 2 && y < 4;
      const std::uint8_t* p = rgb + ((y - 2) * 3 + (x - 3)) * 3;
      EXPECT_EQ(frame[y * 10 + x], in ? std::uint32_t(p[0]) << 16 | p[1] << 8 | p[2] : 0u)
          << x << "," << y;
    }
  }
  EXPECT_EQ(frame.back(), 0u);
  EXPECT_EQ(makeBlankFrame(4, 4, nullptr), std::vector<std::uint32_t>(21, 0));
  EXPECT_TRUE(makeBlankFrame(0, 4, nullptr).empty());
  // A placeholder larger than the frame is cut to it.
  const RgbPicture big{rgb, 1, 6};
  EXPECT_EQ(makeBlankFrame(1, 2, &big)[1], std::uint32_t(10) << 16 | 11 << 8 | 12);
}

// The float DDA as plain as it reads, every step visited.
std::vector<std::uint32_t> referenceLine(int W, int H, int x0, int y0, int x1, int y1) {
  std::vector<std::uint32_t> frame(W * H, 0);
  const auto plot = [&](long long x, float y, bool swap) {
    const long long yi = (long long)y;
    if (y <= -1 || y >= (swap ? W : H)) return;
    const long long px = swap ? yi : x, py = swap ? x : yi;
    if (px >= 0 && px < W && py >= 0 && py < H) frame[py * W + px] = 1;
  };
  if (std::abs(y1 - y0) < std::abs(x1 - x0)) {
    if (x0 > x1) std::swap(x0, x1), std::swap(y0, y1);
    float y = float(y0);
    for (long long x = x0; x <= x1; ++x, y += float(y1 - y0) / float(x1 - x0)) plot(x, y, false);
  } else {
    if (y0 > y1) std::swap(x0, x1), std::swap(y0, y1);
    float x = float(x0);
    for (long long y = y0; y <= y1; ++y, x += y1 == y0 ? 0.0f : float(x1 - x0) / float(y1 - y0))
      plot(y, x, true);
  }
  return frame;
}

TEST(DrawLine, MatchesThePlainDdaAndClipsPerPixel) {
  std::vector<std::uint32_t> frame(40 * 30, 0);
  drawLine({frame.data(), 40, 30}, 7, 9, 7, 9, 1);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), 1u), 1);
  EXPECT_EQ(frame[9 * 40 + 7], 1u);
  drawLine({frame.data(), 40, 30}, -3, 9, -3, 9, 1);
  drawLine({frame.data(), 40, 30}, 40, 29, 40, 29, 1);
  EXPECT_EQ(std::count(frame.begin(), frame.end(), 1u), 1);

  std::mt19937 rng(8);
  std::uniform_int_distribution<int> coord(-60, 100);
  for (int round = 0; round < 2000; ++round) {
    const int x0 = coord(rng), y0 = coord(rng), x1 = coord(rng), y1 = coord(rng);
    std::vector<std::uint32_t> got(40 * 30, 0);
    drawLine({got.data(), 40, 30}, x0, y0, x1, y1, 1);
    ASSERT_EQ(got, referenceLine(40, 30, x0, y0, x1, y1))
        << x0 << "," << y0 << " " << x1 << "," << y1;
  }
}

TEST(DrawLine, FarEndsCostNoMoreThanTheFrame) {
  constexpr std::int32_t lo = std::numeric_limits<std::int32_t>::min(),
                         hi = std::numeric_limits<std::int32_t>::max();
  std::vector<std::uint32_t> frame(64 * 48, 0);
  // Both diagonals of the whole 32-bit plane pass through the frame.
  drawLine({frame.data(), 64, 48}, lo, lo, hi, hi, 1);
  drawLine({frame.data(), 64, 48}, hi, lo, lo, hi, 1);
  drawLine({frame.data(), 64, 48}, lo, 5, hi, 5, 1);
  EXPECT_EQ(frame[0], 1u);
  for (int x = 0; x < 64; ++x) EXPECT_EQ(frame[5 * 64 + x], 1u);
  EXPECT_GT(std::count(frame.begin(), frame.end(), 1u), 64 + 40);
}

}  // namespace
}  // namespace vistel
