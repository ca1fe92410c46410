#include "support/test_jpeg.h"

#include <cstdio>
#include <cstdlib>
// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

namespace vistel::test {

std::string encodeTestJpeg(const std::vector<std::uint8_t>& rgb, int width, int height,
                           int quality) {
  if (width <= 0 || height <= 0 ||
      rgb.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3)
    return {};
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr error{};
  cinfo.err = jpeg_std_error(&error);  // the default error_exit ends the test process
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    auto* row = const_cast<JSAMPLE*>(rgb.data() + static_cast<std::size_t>(cinfo.next_scanline) *
                                                      static_cast<std::size_t>(width) * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

std::vector<std::uint8_t> cornerScene(int width, int height) {
  std::vector<std::uint8_t> rgb(
      static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 128);
  auto paint = [&](int x0, int y0, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    for (int y = y0; y < y0 + 16 && y < height; ++y)
      for (int x = x0; x < x0 + 16 && x < width; ++x) {
        auto* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)) *
                       3];
        p[0] = r;
        p[1] = g;
        p[2] = b;
      }
  };
  paint(0, 0, 255, 0, 0);
  paint(width - 16, 0, 0, 255, 0);
  paint(0, height - 16, 0, 0, 255);
  paint(width - 16, height - 16, 255, 255, 255);
  return rgb;
}

std::vector<std::uint8_t> noiseScene(int width, int height, std::uint32_t seed) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                3);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& v : rgb) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return rgb;
}

}  // namespace vistel::test
