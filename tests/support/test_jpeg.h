#pragma once

// JPEG pictures for tests, made with libjpeg directly (not through the code
// under test), and simple RGB scenes to encode.

#include <cstdint>
#include <string>
#include <vector>

namespace vistel::test {

// Encodes width x height RGB samples (3 bytes per pixel, rows top first) as a
// baseline JPEG; 4:2:0 chroma at the library's default settings. Empty when
// the input does not match the size.
std::string encodeTestJpeg(const std::vector<std::uint8_t>& rgb, int width, int height,
                           int quality = 90);

// A mid-grey scene with a 16x16 block of a distinct colour in each corner:
// top-left red, top-right green, bottom-left blue, bottom-right white.
std::vector<std::uint8_t> cornerScene(int width, int height);

// Pseudo-random RGB noise, which compresses badly (large files).
std::vector<std::uint8_t> noiseScene(int width, int height, std::uint32_t seed = 1);

}  // namespace vistel::test
