#pragma once

// Encodes rendered frames (4 bytes a pixel: blue, green, red, unused; rows
// top first) into JPEG with libjpeg-turbo's TurboJPEG API, for sending to a
// page. One encoder keeps its compressor and output buffer between frames.
//
// Thread-safety: one thread at a time per encoder.

#include <cstdint>
#include <string>

namespace vistel::web {

class FrameEncoder {
 public:
  static constexpr int kDefaultQuality = 80;

  explicit FrameEncoder(int quality = kDefaultQuality);
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // Appends the JPEG of the `width` x `height` frame at `pixels` to `out`.
  // False, with `out` unchanged, when the compressor failed or a side is
  // outside 1..65535.
  [[nodiscard]] bool encode(const std::uint32_t* pixels, std::int32_t width, std::int32_t height,
                            std::string& out);

 private:
  void* handle_ = nullptr;  // tjhandle; null when TurboJPEG could not start
  int quality_;
};

}  // namespace vistel::web
