#pragma once

// A picture loaded by name (a local JPEG file or an http:// URL), held in the
// 32-bit picture layout: blue, green, red, 0 per pixel, rows top first,
// stride width * 4, followed by one spare row and four spare bytes.
//
// Thread-safety: none; an Image is created, used and destroyed on one thread
// (or handed between threads by the caller's own synchronisation).

#include <cstdint>
#include <memory>
#include <string_view>

#include "vistel/imaging/jpeg_codec.h"

namespace vistel {

class Image {
 public:
  // An empty image: not loaded, no pixels, header all zero, byteSize 4.
  Image() = default;

  // Loads `name` through a temporary ImageLoader (kind detected from the name).
  // On any failure the image stays empty; the loader's code is not kept.
  explicit Image(std::string_view name);

  virtual ~Image();
  Image(Image&& other) noexcept;
  Image& operator=(Image&& other) noexcept;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  // True when the pixels came from the loader.
  bool loaded() const { return loaded_; }
  // Pixel buffer size plus 4 (so width * (height + 1) * 4 + 8 for a picture); 4 when empty.
  std::int32_t byteSize() const { return byteSize_; }
  // As the decoder filled it: biSize 40, biWidth, biHeight (positive although
  // rows are stored top first), biPlanes 1, biBitCount 32, the rest 0.
  const BitmapInfoHeader& header() const { return header_; }
  // The pixel buffer, or null when empty; owned by the image, valid while it lives.
  const std::uint8_t* pixels() const { return pixels_.get(); }
  std::uint8_t* pixels() { return pixels_.get(); }

 private:
  bool loaded_ = false;
  std::int32_t byteSize_ = 4;
  BitmapInfoHeader header_{};
  std::unique_ptr<std::uint8_t[]> pixels_;
};

}  // namespace vistel
