#pragma once

// What the frame renderer draws besides warped pictures: the blank frame shown
// for a view without a picture, and the lines of shape outlines.
//
// Thread-safety: pure functions over the buffers given.

#include <cstdint>
#include <vector>

#include "vistel/scene/pixel_views.h"

namespace vistel {

// A picture of width x height RGB triples, rows top first without gaps
// (stride width * 3). `rgb` must stay valid while a call that takes it runs.
struct RgbPicture {
  const std::uint8_t* rgb = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The blank frame for a width x height frame: (height + 1) * width + 1 pixels,
// all 0 (the spare row and pixel make it a picture the samplers can read),
// with `placeholder` (may be null or empty) copied so that its top-left lies at
// column (width - pw) div 2, row (height - ph) div 2, each triple becoming blue,
// green, red, 0. The parts of a placeholder larger than the frame that fall
// outside are left out. Empty for sides outside 1..kMaxFrameSide.
[[nodiscard]] std::vector<std::uint32_t> makeBlankFrame(std::int32_t width, std::int32_t height,
                                                        const RgbPicture* placeholder);

// The centred part of a width x height frame that the renderer's 16 x 16
// blocks cover: (width div 16) x (height div 16) blocks from column
// (width div 2) mod 8, row (height div 2) mod 8. The pictures are mapped onto
// the frame from that corner; the margins around it show no picture.
struct BlockArea {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

constexpr BlockArea blockAreaOf(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return {};
  return {(width / 2) % 8, (height / 2) % 8, width / 16 * 16, height / 16 * 16};
}

// Sets every pixel of `frame` outside its block area to 0 (nothing for an
// unusable frame).
void clearOutsideBlocks(FrameView frame);

// Draws the line from (x0, y0) to (x1, y1) inclusive as a float DDA: along the
// longer axis one pixel per step, the other coordinate starting at the end with
// the smaller major coordinate and advancing by the slope, truncated toward
// zero. Only pixels inside the frame are written, and work stays bounded by the
// frame size however far the ends lie outside: when more than 65536 steps fall
// before the frame, the start is moved to the frame edge by one multiplication
// instead of that many additions. Nothing happens for an unusable frame.
void drawLine(FrameView frame, std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1,
              std::uint32_t colour);

}  // namespace vistel
