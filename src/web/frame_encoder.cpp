#include "vistel/web/frame_encoder.h"

#include <turbojpeg.h>

namespace vistel::web {

FrameEncoder::FrameEncoder(int quality) : handle_(tjInitCompress()), quality_(quality) {}

FrameEncoder::~FrameEncoder() {
  if (handle_ != nullptr) tjDestroy(static_cast<tjhandle>(handle_));
}

bool FrameEncoder::encode(const std::uint32_t* pixels, std::int32_t width, std::int32_t height,
                          std::string& out) {
  if (handle_ == nullptr || pixels == nullptr || width <= 0 || height <= 0 || width > 65535 ||
      height > 65535) {
    return false;
  }
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  // The pixels are B, G, R, X in memory: TJPF_BGRX. 4:2:0 and the fast DCT
  // keep the encode short; a page shows moving pictures, not an archive.
  const int status = tjCompress2(
      static_cast<tjhandle>(handle_), reinterpret_cast<const unsigned char*>(pixels), width,
      width * 4, height, TJPF_BGRX, &jpeg, &size, TJSAMP_420, quality_, TJFLAG_FASTDCT);
  if (status != 0 || jpeg == nullptr) {
    tjFree(jpeg);
    return false;
  }
  out.append(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  return true;
}

}  // namespace vistel::web
