#pragma once

// A frame number written into a picture as large black and white cells, so a
// test or benchmark can tell which camera picture a rendered frame shows after
// JPEG coding, decoding and the viewer's rendering.
//
// The code is two rows of 16 cells of kFrameCodeCell pixels, one cell in from
// the picture's top-left corner: two sync cells (white, black), the frame
// number's 24 bits (most significant first) and a 6-bit check (CRC-6, x^6 + x
// + 1) over them. Cells line up with JPEG's 8 x 8 blocks and are read at their
// centres only, so block artefacts and a little blur do not matter.
//
// Pictures are 4 bytes per pixel, blue, green, red and a fourth byte, rows top
// first without gaps. Thread-safety: pure functions.

#include <cstdint>
#include <optional>

namespace vistel::sim {

inline constexpr int kFrameCodeCell = 16;
inline constexpr int kFrameCodeColumns = 16;
inline constexpr int kFrameCodeRows = 2;
// Frame numbers are written modulo this.
inline constexpr std::uint32_t kFrameCodeModulus = 1u << 24;
// The smallest picture that holds the code (with its one-cell margin).
inline constexpr int kFrameCodeMinWidth = (kFrameCodeColumns + 1) * kFrameCodeCell;
inline constexpr int kFrameCodeMinHeight = (kFrameCodeRows + 1) * kFrameCodeCell;

// Writes `frameNumber` modulo kFrameCodeModulus into the picture. Does nothing
// when the picture is smaller than kFrameCodeMinWidth x kFrameCodeMinHeight.
void drawFrameCode(std::uint8_t* pixels, int width, int height, std::uint32_t frameNumber);

// Reads the code back, or nothing when it is not there (a cell neither clearly
// black nor clearly white, wrong sync cells, a failed check, too small a
// picture). `scaleX` and `scaleY` are the picture's size over the size it was
// drawn at, for a picture shown stretched (a frame of 1280 x 960 pixels showing
// a 640 x 480 camera picture: 2 and 2).
std::optional<std::uint32_t> readFrameCode(const std::uint8_t* pixels, int width, int height,
                                           double scaleX = 1, double scaleY = 1);

}  // namespace vistel::sim
