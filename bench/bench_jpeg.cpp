// JPEG glue: decoding camera-sized frames (the loader thread's hot path) beside
// TurboJPEG decoding the same bytes straight to BGRX, the plain row-by-row RGB
// path the glue's fast path replaces, and encoding a snapshot file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#ifdef VISTEL_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

#include "vistel/imaging/jpeg_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::filesystem::path scratchFile(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("vistel-bench-" + std::to_string(::getpid()) + "-" + name);
}

// A camera-like frame in the picture layout: a sky gradient, a ground plane
// with stripes, hard-edged boxes and sensor noise.
Bytes makeFrame(int width, int height) {
  Bytes pixels(static_cast<std::size_t>(width) * height * 4);
  std::uint32_t state = 12345;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>(state >> 27) - 16;
      int r, g, b;
      if (y < height * 2 / 5) {
        r = 90 + 60 * y / height;
        g = 140 + 50 * y / height;
        b = 230 - 40 * y / height;
      } else {
        const bool stripe = ((x + 3 * y) / 24) % 2 == 0;
        r = stripe ? 120 : 95;
        g = stripe ? 110 : 100;
        b = stripe ? 80 : 70;
      }
      const bool box = (x / (width / 8)) % 3 == 1 && y > height / 3 && y < height * 3 / 5;
      if (box) {
        r = 200 - (x % 40);
        g = 40;
        b = 35 + (y % 30);
      }
      std::uint8_t* p = &pixels[(static_cast<std::size_t>(y) * width + x) * 4];
      p[0] = static_cast<std::uint8_t>(std::clamp(b + noise, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(g + noise, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(r + noise, 0, 255));
      p[3] = 0;
    }
  }
  return pixels;
}

// The frame as a camera would send it: quality 80, 4:2:0 (the library's
// default sampling), made once per size.
const Bytes& cameraJpeg(int width, int height) {
  static std::map<std::pair<int, int>, Bytes> cache;
  Bytes& jpeg = cache[{width, height}];
  if (jpeg.empty()) {
    const Bytes frame = makeFrame(width, height);
    const auto path = scratchFile("frame.jpg");
    if (!vistel::encodeJpegFile(path.c_str(), frame.data(), width, height, 80)) std::abort();
    std::ifstream in(path, std::ios::binary);
    jpeg.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::filesystem::remove(path);
  }
  return jpeg;
}

void countPixels(benchmark::State& state, int width, int height, std::size_t jpegBytes) {
  state.SetItemsProcessed(state.iterations() * width * height);
  state.counters["jpeg_bytes"] = static_cast<double>(jpegBytes);
}

void decodeJpeg(benchmark::State& state, int width, int height) {
  const Bytes& jpeg = cameraJpeg(width, height);
  for (auto _ : state) {
    vistel::DecodedPicture picture;
    if (vistel::decodeJpeg(jpeg.data(), jpeg.size(), picture) != vistel::JpegResult::Ok) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(picture.pixels.get());
  }
  countPixels(state, width, height, jpeg.size());
}

// The straightforward glue: default RGB output one row at a time, each pixel
// packed into the 32-bit layout by hand, buffer zero-filled up front.
void decodeJpegRgbRows(benchmark::State& state, int width, int height) {
  const Bytes& jpeg = cameraJpeg(width, height);
  for (auto _ : state) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const std::size_t w = cinfo.output_width;
    const std::size_t h = cinfo.output_height;
    auto pixels = std::make_unique<std::uint8_t[]>(w * (h + 1) * 4 + 4);
    JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                static_cast<JDIMENSION>(w * 3), 1);
    auto* out = reinterpret_cast<std::uint32_t*>(pixels.get());
    while (cinfo.output_scanline < cinfo.output_height) {
      jpeg_read_scanlines(&cinfo, row, 1);
      const JSAMPLE* s = row[0];
      for (std::size_t x = 0; x < w; ++x, s += 3) *out++ = s[0] * 65536u + s[1] * 256u + s[2];
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    benchmark::DoNotOptimize(pixels.get());
  }
  countPixels(state, width, height, jpeg.size());
}

#ifdef VISTEL_HAVE_TURBOJPEG
// TurboJPEG as an application would use it for a stream: one handle and one
// output buffer for all frames, default (accurate) DCT and fancy upsampling.
void turboJpegDecode(benchmark::State& state, int width, int height) {
  const Bytes& jpeg = cameraJpeg(width, height);
  tjhandle handle = tjInitDecompress();
  std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4);
  for (auto _ : state) {
    if (tjDecompress2(handle, jpeg.data(), static_cast<unsigned long>(jpeg.size()), pixels.data(),
                      width, 0, height, TJPF_BGRX, 0) != 0) {
      state.SkipWithError(tjGetErrorStr2(handle));
      break;
    }
    benchmark::DoNotOptimize(pixels.data());
  }
  tjDestroy(handle);
  countPixels(state, width, height, jpeg.size());
}
#endif

void encodeSnapshot(benchmark::State& state, int width, int height) {
  const Bytes frame = makeFrame(width, height);
  const auto path = scratchFile("snapshot.jpg");
  for (auto _ : state) {
    if (!vistel::encodeJpegFile(path.c_str(), frame.data(), width, height)) {
      state.SkipWithError("encode failed");
      break;
    }
  }
  state.counters["jpeg_bytes"] = static_cast<double>(std::filesystem::file_size(path));
  std::filesystem::remove(path);
  state.SetItemsProcessed(state.iterations() * width * height);
}

struct Size {
  int width, height;
  std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
};

[[maybe_unused]] const bool registered = [] {
  for (Size size : {Size{640, 480}, Size{1280, 720}}) {
    benchmark::RegisterBenchmark(("BM_DecodeJpeg/" + size.name()).c_str(), decodeJpeg, size.width,
                                 size.height)
        ->Unit(benchmark::kMicrosecond);
#ifdef VISTEL_HAVE_TURBOJPEG
    benchmark::RegisterBenchmark(("BM_TurboJpegDecode/" + size.name()).c_str(), turboJpegDecode,
                                 size.width, size.height)
        ->Unit(benchmark::kMicrosecond);
#endif
    benchmark::RegisterBenchmark(("BM_DecodeJpegRgbRows/" + size.name()).c_str(), decodeJpegRgbRows,
                                 size.width, size.height)
        ->Unit(benchmark::kMicrosecond);
  }
  const Size snapshot{1024, 768};
  benchmark::RegisterBenchmark(("BM_EncodeSnapshot/" + snapshot.name()).c_str(), encodeSnapshot,
                               snapshot.width, snapshot.height)
      ->Unit(benchmark::kMicrosecond);
  return true;
}();

}  // namespace
