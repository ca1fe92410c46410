#pragma once

// Non-owning views of the two kinds of pixel buffer the renderer handles:
// pictures it reads (decoded camera pictures, the blank frame) and the output
// frame it writes.
//
// Picture layout: 4 bytes per pixel in memory order blue, green, red and a
// fourth byte; rows top first without gaps (stride width * 4). A picture buffer
// holds width * (height + 1) + 1 pixels: one spare row and one spare pixel,
// which bilinear reads of the right and lower neighbours land in.
//
// Thread-safety: plain values; the viewed memory is guarded by its owner.

#include <cstdint>

namespace vistel {

// Largest picture side the warp accepts, the lens maps' limit as well.
inline constexpr std::int32_t kMaxWarpPictureSide = 16384;
// Largest frame side: the engine keeps windows below 2048 pixels.
inline constexpr std::int32_t kMaxFrameSide = 2047;

// A picture to sample; `pixels` must hold width * (height + 1) + 1 pixels and
// stay valid while a call that takes the view runs.
struct PictureView {
  const std::uint8_t* pixels = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The output frame: width * height pixels, each read as a little-endian word
// red * 65536 + green * 256 + blue. Valid while a call that takes it runs.
struct FrameView {
  std::uint32_t* pixels = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Whether `frame` has pixels and both sides in 1..kMaxFrameSide.
constexpr bool frameUsable(const FrameView& frame) {
  return frame.pixels != nullptr && frame.width > 0 && frame.height > 0 &&
         frame.width <= kMaxFrameSide && frame.height <= kMaxFrameSide;
}

// Whether `picture` has pixels and both sides in 1..kMaxWarpPictureSide.
constexpr bool pictureUsable(const PictureView& picture) {
  return picture.pixels != nullptr && picture.width > 0 && picture.height > 0 &&
         picture.width <= kMaxWarpPictureSide && picture.height <= kMaxWarpPictureSide;
}

}  // namespace vistel
