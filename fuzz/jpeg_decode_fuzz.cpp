// Decodes arbitrary bytes as a JPEG and checks the promises of the picture
// layout on whatever comes out.
#include <cstddef>
#include <cstdint>

#include "vistel/imaging/jpeg_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vistel::DecodedPicture picture;
  const vistel::JpegResult result = vistel::decodeJpeg(data, size, picture);
  if (!picture.pixels) {
    if (result == vistel::JpegResult::Ok) __builtin_trap();
    return 0;
  }
  const std::int64_t width = picture.width;
  const std::int64_t height = picture.height;
  if (width <= 0 || height <= 0 || width > vistel::kMaxJpegSide || height > vistel::kMaxJpegSide ||
      picture.bufferSize != width * (height + 1) * 4 + 4) {
    __builtin_trap();
  }
  // The fourth byte of every pixel, the spare row and the spare bytes are 0.
  const std::uint8_t* p = picture.pixels.get();
  for (std::int64_t i = 0; i < width * height; ++i) {
    if (p[i * 4 + 3] != 0) __builtin_trap();
  }
  for (std::int64_t i = width * height * 4; i < picture.bufferSize; ++i) {
    if (p[i] != 0) __builtin_trap();
  }
  return 0;
}
