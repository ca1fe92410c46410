#pragma once

// Reference-counted pictures shared between the image source manager's loader
// thread and the renderer. Three kinds share one type:
//  - encoded: received JPEG bytes, owned by the frame;
//  - decoded: the 32-bit pixels of a JPEG (layout of jpeg_codec.h), owned;
//  - placeholder: no pixels of its own; shows the renderer's blank picture,
//    which it keeps alive through a shared buffer but never writes or frees.
//
// Thread-safety: the reference count is one atomic integer, so addRef and
// release may be called from any thread at once without a lock. Every other
// field is fixed at construction, so the accessors need no lock either; a
// frame is read only while the reader holds a reference to it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/output_canvas.h"

namespace vistel {

class FrameRef;

// Most JPEG bytes one encoded frame may hold; larger pictures are refused so
// that sizes always fit the 32-bit counters of the frame cache.
inline constexpr std::size_t kMaxEncodedFrameBytes = 64u << 20;

// True when a picture stamped `candidate` is older than one stamped `current`
// and should be dropped: a lower clock value is older, except that a value
// below 0x10000000 following one above 0xF0000000 is newer (the clock wrapped).
[[nodiscard]] constexpr bool isOlderFrame(std::uint32_t candidate, std::uint32_t current) {
  if (candidate < 0x10000000u && current > 0xF0000000u) return false;
  return candidate < current;
}

class Frame {
 public:
  enum class Kind { Encoded, Decoded, Placeholder };

  // Wraps received JPEG bytes, taking them over. Empty when there are more than
  // kMaxEncodedFrameBytes. The result holds the first reference.
  [[nodiscard]] static FrameRef encoded(std::vector<std::uint8_t> jpeg, std::uint32_t timestamp);

  // Decodes `length` JPEG bytes at `jpeg` (not kept). A picture that fails
  // part-way keeps the rows decoded so far; one that fails before its first row
  // gives a frame without pixels (size, width and height 0). Never empty.
  [[nodiscard]] static FrameRef decoded(const std::uint8_t* jpeg, std::size_t length,
                                        std::uint32_t timestamp);

  // Takes over a picture decoded elsewhere (a video decoder's output already in
  // the picture layout). A picture without pixels gives a frame without data.
  // Never empty.
  [[nodiscard]] static FrameRef decoded(DecodedPicture picture, std::uint32_t timestamp);

  // Shows `canvas` when it has pixels and a non-zero size, else nothing.
  // Timestamp 0, size 0. Never empty.
  [[nodiscard]] static FrameRef placeholder(const CanvasPicture& canvas);

  // Only the factories above can make this key, so frames always start on
  // the heap with one owning FrameRef.
  class Key {
    friend class Frame;
    Key() = default;
  };
  Frame(Key, Kind kind, std::uint32_t timestamp) : kind_(kind), timestamp_(timestamp) {}
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  // Takes one more reference. False when the count is already 0 (the frame is
  // being destroyed and must not be used). Any thread.
  [[nodiscard]] bool addRef();
  // Gives one reference back; the last one destroys the frame. Any thread.
  void release();

  Kind kind() const { return kind_; }
  // Bytes held: JPEG length (encoded), width * (height + 1) * 4 + 4 (decoded),
  // 0 (placeholder, or a decode that produced no rows).
  std::int32_t size() const { return size_; }
  // Clock value of the picture; 0 for a placeholder.
  std::uint32_t timestamp() const { return timestamp_; }
  // JPEG bytes or pixels; valid while a reference is held. Null for a frame
  // without data.
  const std::uint8_t* data() const { return data_; }
  // Picture size of decoded frames and of placeholders that show a canvas; 0 otherwise.
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }
  // True when the data is freed with the frame (encoded and decoded frames).
  bool ownsData() const { return kind_ != Kind::Placeholder; }
  // True for a decoded frame whose every row was decoded.
  bool complete() const { return complete_; }

 private:
  ~Frame() = default;
  friend struct std::default_delete<Frame>;

  std::atomic<std::int32_t> refCount_{1};
  const Kind kind_;
  const std::uint32_t timestamp_;
  // Fixed once the factory returns.
  std::int32_t size_ = 0;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool complete_ = false;
  const std::uint8_t* data_ = nullptr;
  std::vector<std::uint8_t> jpeg_;                // encoded frames
  std::unique_ptr<std::uint8_t[]> pixels_;        // decoded frames
  std::shared_ptr<const std::uint8_t[]> canvas_;  // placeholders: keeps the shown picture alive
};

// Holds one reference to a Frame and gives it back on destruction, like a
// shared pointer over the frame's own count. Copying takes another reference.
// Thread-safety: as for a plain pointer; one FrameRef object is used by one
// thread at a time, different FrameRefs to one frame by any threads.
class FrameRef {
 public:
  FrameRef() noexcept = default;
  FrameRef(const FrameRef& other) noexcept;
  FrameRef(FrameRef&& other) noexcept : frame_(other.frame_) { other.frame_ = nullptr; }
  FrameRef& operator=(const FrameRef& other) noexcept;
  FrameRef& operator=(FrameRef&& other) noexcept;
  ~FrameRef() { reset(); }

  // Takes a further reference on `frame`; empty when `frame` is null or its
  // count is already 0.
  [[nodiscard]] static FrameRef share(Frame* frame) noexcept;

  // Gives the reference back; the FrameRef becomes empty.
  void reset() noexcept;

  Frame* get() const noexcept { return frame_; }
  Frame* operator->() const noexcept { return frame_; }
  Frame& operator*() const noexcept { return *frame_; }
  explicit operator bool() const noexcept { return frame_ != nullptr; }

 private:
  friend class Frame;
  // Adopts a reference the caller already holds.
  explicit FrameRef(Frame* adopted) noexcept : frame_(adopted) {}
  Frame* frame_ = nullptr;
};

}  // namespace vistel
