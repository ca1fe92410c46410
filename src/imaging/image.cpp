#include "vistel/imaging/image.h"

#include <utility>

#include "vistel/imaging/image_loader.h"

namespace vistel {

Image::Image(std::string_view name) {
  ImageLoader loader;
  ImageSlot slot;
  DecodedInfo info;
  if (loader.load(name, slot, info) < 0 || !slot.pixels) return;
  pixels_ = std::move(slot.pixels);
  header_ = info.header;
  byteSize_ = info.bufferSize + 4;
  loaded_ = true;
}

Image::~Image() = default;

Image::Image(Image&& other) noexcept
    : loaded_(std::exchange(other.loaded_, false)),
      byteSize_(std::exchange(other.byteSize_, 4)),
      header_(std::exchange(other.header_, BitmapInfoHeader{})),
      pixels_(std::move(other.pixels_)) {}

Image& Image::operator=(Image&& other) noexcept {
  if (this != &other) {
    loaded_ = std::exchange(other.loaded_, false);
    byteSize_ = std::exchange(other.byteSize_, 4);
    header_ = std::exchange(other.header_, BitmapInfoHeader{});
    pixels_ = std::move(other.pixels_);
  }
  return *this;
}

}  // namespace vistel
