#pragma once

// The small picture the renderer centres in a frame that has no camera
// picture yet: the words "WAITING FOR CAMERA" in grey on black, 139 x 13
// pixels, 3 bytes per pixel (red, green, blue), rows top-down, no header.
//
// Thread-safety: any thread.

#include <cstdint>
#include <span>

namespace vistel {

inline constexpr std::int32_t kPlaceholderWidth = 139;
inline constexpr std::int32_t kPlaceholderHeight = 13;

// The picture's kPlaceholderWidth * kPlaceholderHeight * 3 bytes; valid for
// the life of the program.
std::span<const std::uint8_t> placeholderPicture();

}  // namespace vistel
