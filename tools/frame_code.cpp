#include "frame_code.h"

#include <array>
#include <cmath>

namespace vistel::sim {

namespace {

constexpr int kBits = 24;
constexpr int kCheckBits = 6;
constexpr int kCells = kFrameCodeColumns * kFrameCodeRows;
static_assert(2 + kBits + kCheckBits == kCells);

// Cells clearly black or white after coding and scaling; grey between is no code.
constexpr double kBlackBelow = 90;
constexpr double kWhiteAbove = 165;

std::uint32_t crc6(std::uint32_t value) {
  std::uint32_t crc = 0;
  for (int bit = kBits - 1; bit >= 0; --bit) {
    const std::uint32_t in = (value >> bit) & 1u;
    const std::uint32_t top = (crc >> (kCheckBits - 1)) & 1u;
    crc = (crc << 1) & 0x3Fu;
    if ((in ^ top) != 0) crc ^= 0x03u;
  }
  return crc;
}

// The cell values in reading order (row by row, left to right).
std::array<bool, kCells> cellsOf(std::uint32_t number) {
  std::array<bool, kCells> cells{};
  cells[0] = true;
  cells[1] = false;
  for (int i = 0; i < kBits; ++i) cells[2 + i] = ((number >> (kBits - 1 - i)) & 1u) != 0;
  const std::uint32_t check = crc6(number);
  for (int i = 0; i < kCheckBits; ++i) {
    cells[2 + kBits + i] = ((check >> (kCheckBits - 1 - i)) & 1u) != 0;
  }
  return cells;
}

}  // namespace

void drawFrameCode(std::uint8_t* pixels, int width, int height, std::uint32_t frameNumber) {
  if (pixels == nullptr || width < kFrameCodeMinWidth || height < kFrameCodeMinHeight) return;
  const std::array<bool, kCells> cells = cellsOf(frameNumber % kFrameCodeModulus);
  for (int row = 0; row < kFrameCodeRows; ++row) {
    for (int column = 0; column < kFrameCodeColumns; ++column) {
      const std::uint8_t level =
          cells[static_cast<std::size_t>(row) * kFrameCodeColumns + column] ? 255 : 0;
      const int x0 = (column + 1) * kFrameCodeCell, y0 = (row + 1) * kFrameCodeCell;
      for (int y = y0; y < y0 + kFrameCodeCell; ++y) {
        std::uint8_t* p = pixels + (static_cast<std::size_t>(y) * width + x0) * 4;
        for (int x = 0; x < kFrameCodeCell; ++x, p += 4) {
          p[0] = p[1] = p[2] = level;
          p[3] = 0;
        }
      }
    }
  }
}

std::optional<std::uint32_t> readFrameCode(const std::uint8_t* pixels, int width, int height,
                                           double scaleX, double scaleY) {
  if (pixels == nullptr || !(scaleX > 0) || !(scaleY > 0)) return std::nullopt;
  const double cellW = kFrameCodeCell * scaleX, cellH = kFrameCodeCell * scaleY;
  if (width < (kFrameCodeColumns + 1) * cellW || height < (kFrameCodeRows + 1) * cellH) {
    return std::nullopt;
  }
  std::array<bool, kCells> cells{};
  for (int row = 0; row < kFrameCodeRows; ++row) {
    for (int column = 0; column < kFrameCodeColumns; ++column) {
      // The middle half of the cell in each direction.
      const int x0 = static_cast<int>(std::lround((column + 1.25) * cellW));
      const int x1 = static_cast<int>(std::lround((column + 1.75) * cellW));
      const int y0 = static_cast<int>(std::lround((row + 1.25) * cellH));
      const int y1 = static_cast<int>(std::lround((row + 1.75) * cellH));
      double sum = 0;
      int count = 0;
      for (int y = y0; y < y1 || y == y0; ++y) {
        const std::uint8_t* p = pixels + (static_cast<std::size_t>(y) * width + x0) * 4;
        for (int x = x0; x < x1 || x == x0; ++x, p += 4) {
          sum += (p[0] + p[1] + p[2]) / 3.0;
          ++count;
        }
      }
      const double level = sum / count;
      if (level > kBlackBelow && level < kWhiteAbove) return std::nullopt;
      cells[static_cast<std::size_t>(row) * kFrameCodeColumns + column] = level >= kWhiteAbove;
    }
  }
  std::uint32_t number = 0;
  for (int i = 0; i < kBits; ++i) number = (number << 1) | (cells[2 + i] ? 1u : 0u);
  if (cells != cellsOf(number)) return std::nullopt;
  return number;
}

}  // namespace vistel::sim
