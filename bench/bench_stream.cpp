// Stream reader: cutting a multipart/x-mixed-replace stream of 640x480 camera
// JPEGs into its pictures, from memory in 32 KiB reads as the network hands
// them over. Two shapes: parts without a length (the delimiter is the
// learned part-header block) and parts cut on the server's boundary.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "vistel/imaging/multipart_cutter_p.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kPictures = 24;

// A camera-like RGB frame: sky gradient, striped ground, boxes and sensor
// noise; `shift` moves the scene so that consecutive pictures differ.
std::vector<std::uint8_t> cameraFrame(int shift) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(kWidth) * kHeight * 3);
  std::uint32_t state = 12345u + static_cast<std::uint32_t>(shift) * 7919u;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>(state >> 28) - 8;
      const int sx = x + shift * 3;
      int r, g, b;
      if (y < kHeight * 2 / 5) {
        r = 90 + 60 * y / kHeight;
        g = 140 + 50 * y / kHeight;
        b = 230 - 40 * y / kHeight;
      } else {
        const bool stripe = ((sx + 3 * y) / 24) % 2 == 0;
        r = stripe ? 120 : 95;
        g = stripe ? 110 : 100;
        b = stripe ? 80 : 70;
      }
      if ((sx / (kWidth / 8)) % 3 == 1 && y > kHeight / 3 && y < kHeight * 3 / 5) {
        r = 200 - (sx % 40);
        g = 40;
        b = 35 + (y % 30);
      }
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * kWidth + x) * 3];
      p[0] = static_cast<std::uint8_t>(std::clamp(r + noise, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(g + noise, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(b + noise, 0, 255));
    }
  }
  return rgb;
}

std::string encodeJpeg(const std::vector<std::uint8_t>& rgb, int quality) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr error{};
  cinfo.err = jpeg_std_error(&error);
  jpeg_create_compress(&cinfo);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &buffer, &size);
  cinfo.image_width = kWidth;
  cinfo.image_height = kHeight;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    auto* row = const_cast<JSAMPLE*>(rgb.data() +
                                     static_cast<std::size_t>(cinfo.next_scanline) * kWidth * 3);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::string out(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return out;
}

const std::vector<std::string>& cameraJpegs() {
  static const std::vector<std::string> jpegs = [] {
    std::vector<std::string> out;
    for (int i = 0; i < kPictures; ++i) out.push_back(encodeJpeg(cameraFrame(i), 80));
    return out;
  }();
  return jpegs;
}

// The multipart body a camera sends, parts with or without a length line.
std::string cameraStream(bool withLength) {
  std::string stream;
  auto head = [&](std::size_t length) {
    stream.append("--myboundary\r\nContent-Type: image/jpeg\r\n");
    if (withLength) stream.append("Content-Length: ").append(std::to_string(length)).append("\r\n");
    stream.append("\r\n");
  };
  for (const auto& jpeg : cameraJpegs()) {
    head(jpeg.size());
    stream.append(jpeg).append("\r\n");
  }
  head(0);  // the next part's header ends the last picture
  return stream;
}

void cutStream(benchmark::State& state, bool serverBoundary) {
  const std::string stream = cameraStream(serverBoundary);
  std::size_t pictures = 0;
  std::size_t pictureBytes = 0;
  for (auto _ : state) {
    vistel::detail::MultipartCutter cutter(serverBoundary ? "myboundary" : "", serverBoundary);
    std::size_t offset = 0;
    const auto outcome = cutter.run(
        [&](std::uint8_t* buffer, std::size_t size) {
          const std::size_t n = std::min(size, stream.size() - offset);
          std::memcpy(buffer, stream.data() + offset, n);
          offset += n;
          return n;
        },
        [&](const std::uint8_t* data, std::size_t size) {
          // The reader copies each picture into its hand-over slot.
          std::vector<std::uint8_t> slot(data, data + size);
          benchmark::DoNotOptimize(slot.data());
          ++pictures;
          pictureBytes += size;
        },
        [] { return false; });
    benchmark::DoNotOptimize(outcome);
  }
  if (pictures != static_cast<std::size_t>(state.iterations()) * kPictures) {
    state.SkipWithError("wrong number of pictures cut");
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(stream.size()) * state.iterations());
  state.counters["pictures_per_s"] =
      benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  state.counters["mean_jpeg_bytes"] = static_cast<double>(pictureBytes) / pictures;
}

// Parts without a length: the first part's header block is learned and found again.
void BM_MultipartCut_LearnedBlock(benchmark::State& state) { cutStream(state, false); }
BENCHMARK(BM_MultipartCut_LearnedBlock);

// Parts with a Content-Length line: cut on the server's boundary alone.
void BM_MultipartCut_ServerBoundary(benchmark::State& state) { cutStream(state, true); }
BENCHMARK(BM_MultipartCut_ServerBoundary);

}  // namespace
