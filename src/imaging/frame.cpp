#include "vistel/imaging/frame.h"

#include <cassert>
#include <utility>

#include "vistel/imaging/jpeg_codec.h"

namespace vistel {

FrameRef Frame::encoded(std::vector<std::uint8_t> jpeg, std::uint32_t timestamp) {
  if (jpeg.size() > kMaxEncodedFrameBytes) return {};
  auto frame = std::make_unique<Frame>(Key{}, Kind::Encoded, timestamp);
  frame->jpeg_ = std::move(jpeg);
  frame->size_ = static_cast<std::int32_t>(frame->jpeg_.size());
  frame->data_ = frame->jpeg_.empty() ? nullptr : frame->jpeg_.data();
  return FrameRef(frame.release());
}

FrameRef Frame::decoded(const std::uint8_t* jpeg, std::size_t length, std::uint32_t timestamp) {
  auto frame = std::make_unique<Frame>(Key{}, Kind::Decoded, timestamp);
  DecodedPicture picture;
  frame->complete_ = decodeJpeg(jpeg, length, picture) == JpegResult::Ok;
  if (picture.pixels) {
    frame->pixels_ = std::move(picture.pixels);
    frame->data_ = frame->pixels_.get();
    frame->size_ = picture.bufferSize;
    frame->width_ = picture.width;
    frame->height_ = picture.height;
  }
  return FrameRef(frame.release());
}

FrameRef Frame::decoded(DecodedPicture picture, std::uint32_t timestamp) {
  auto frame = std::make_unique<Frame>(Key{}, Kind::Decoded, timestamp);
  if (picture.pixels) {
    frame->complete_ = true;
    frame->pixels_ = std::move(picture.pixels);
    frame->data_ = frame->pixels_.get();
    frame->size_ = picture.bufferSize;
    frame->width_ = picture.width;
    frame->height_ = picture.height;
  }
  return FrameRef(frame.release());
}

FrameRef Frame::placeholder(const CanvasPicture& canvas) {
  auto frame = std::make_unique<Frame>(Key{}, Kind::Placeholder, 0);
  if (canvas.pixels && canvas.width > 0 && canvas.height > 0) {
    frame->canvas_ = canvas.pixels;
    frame->data_ = frame->canvas_.get();
    frame->width_ = canvas.width;
    frame->height_ = canvas.height;
  }
  return FrameRef(frame.release());
}

bool Frame::addRef() {
  std::int32_t count = refCount_.load(std::memory_order_relaxed);
  while (count != 0) {
    if (refCount_.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
      return true;
    }
  }
  return false;
}

void Frame::release() {
  const std::int32_t before = refCount_.fetch_sub(1, std::memory_order_acq_rel);
  assert(before > 0 && "frame released more often than referenced");
  // The frame owns itself through its count: whoever drops the last reference
  // destroys it, on whatever thread that happens.
  if (before == 1) std::unique_ptr<Frame> last(this);
}

FrameRef::FrameRef(const FrameRef& other) noexcept : frame_(other.frame_) {
  // `other` holds a reference, so the count cannot be 0 here.
  if (frame_ && !frame_->addRef()) frame_ = nullptr;
}

FrameRef& FrameRef::operator=(const FrameRef& other) noexcept {
  if (this != &other) *this = FrameRef(other);
  return *this;
}

FrameRef& FrameRef::operator=(FrameRef&& other) noexcept {
  if (this != &other) {
    reset();
    frame_ = other.frame_;
    other.frame_ = nullptr;
  }
  return *this;
}

FrameRef FrameRef::share(Frame* frame) noexcept {
  if (frame == nullptr || !frame->addRef()) return {};
  return FrameRef(frame);
}

void FrameRef::reset() noexcept {
  if (frame_ == nullptr) return;
  Frame* frame = std::exchange(frame_, nullptr);
  frame->release();
}

}  // namespace vistel
