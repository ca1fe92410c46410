#include "vistel/scene/frame_drawing.h"

#include <algorithm>
#include <cstdlib>

namespace vistel {

std::vector<std::uint32_t> makeBlankFrame(std::int32_t width, std::int32_t height,
                                          const RgbPicture* placeholder) {
  if (width <= 0 || height <= 0 || width > kMaxFrameSide || height > kMaxFrameSide) return {};
  std::vector<std::uint32_t> pixels(std::size_t(height + 1) * std::size_t(width) + 1, 0);
  if (placeholder == nullptr || placeholder->rgb == nullptr || placeholder->width <= 0 ||
      placeholder->height <= 0) {
    return pixels;
  }
  const std::int64_t pw = placeholder->width, ph = placeholder->height;
  const std::int64_t left = (width - pw) / 2, top = (height - ph) / 2;
  // Only the part that lands inside the frame is visited.
  const std::int64_t firstRow = std::max<std::int64_t>(0, -top),
                     endRow = std::min<std::int64_t>(ph, height - top);
  const std::int64_t firstColumn = std::max<std::int64_t>(0, -left);
  const std::int64_t endColumn = std::min<std::int64_t>(pw, width - left);
  for (std::int64_t r = firstRow; r < endRow; ++r) {
    const std::uint8_t* rgb = placeholder->rgb + (r * pw + firstColumn) * 3;
    std::uint32_t* out = pixels.data() + (top + r) * width + left + firstColumn;
    for (std::int64_t c = firstColumn; c < endColumn; ++c, rgb += 3) {
      *out++ = std::uint32_t(rgb[0]) << 16 | std::uint32_t(rgb[1]) << 8 | rgb[2];
    }
  }
  return pixels;
}

void clearOutsideBlocks(FrameView frame) {
  if (!frameUsable(frame)) return;
  const BlockArea area = blockAreaOf(frame.width, frame.height);
  const std::size_t width = static_cast<std::size_t>(frame.width);
  std::uint32_t* const pixels = frame.pixels;
  const auto clearRows = [&](std::int32_t first, std::int32_t end) {
    std::fill(pixels + first * width, pixels + end * width, 0u);
  };
  clearRows(0, area.top);
  clearRows(area.top + area.height, frame.height);
  for (std::int32_t y = area.top; y < area.top + area.height; ++y) {
    std::uint32_t* row = pixels + y * width;
    std::fill(row, row + area.left, 0u);
    std::fill(row + area.left + area.width, row + width, 0u);
  }
}

void drawLine(FrameView frame, std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1,
              std::uint32_t colour) {
  if (!frameUsable(frame)) return;
  const std::int64_t dx = std::int64_t{x1} - x0, dy = std::int64_t{y1} - y0;
  const bool alongX = std::abs(dy) < std::abs(dx);
  // a: the coordinate stepped by whole pixels; b: the other, accumulated.
  const bool forward = alongX ? x0 <= x1 : y0 <= y1;
  std::int64_t a = alongX ? (forward ? x0 : x1) : (forward ? y0 : y1);
  const std::int64_t aEnd = alongX ? (forward ? x1 : x0) : (forward ? y1 : y0);
  float b = float(alongX ? (forward ? y0 : y1) : (forward ? x0 : x1));
  // Both ends equal is the only case with no span; its single step adds nothing.
  const float slope = alongX ? float(dy) / float(dx) : (dy != 0 ? float(dx) / float(dy) : 0.0f);
  const std::int64_t aSize = alongX ? frame.width : frame.height;
  const float bSize = float(alongX ? frame.height : frame.width);

  if (-a > 65536) {
    b = float(double(b) + double(-a) * double(slope));
    a = 0;
  }
  const std::int64_t last = std::min(aEnd, aSize - 1);
  for (; a <= last; ++a, b += slope) {
    // trunc(b) lands in [0, bSize) exactly when -1 < b < bSize; NaN fails.
    if (a < 0 || !(b > -1.0f && b < bSize)) continue;
    const std::int64_t bi = std::int64_t(b);
    const std::int64_t x = alongX ? a : bi, y = alongX ? bi : a;
    frame.pixels[y * frame.width + x] = colour;
  }
}

}  // namespace vistel
