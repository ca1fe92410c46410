#pragma once

// JPEG glue over libjpeg's 6.2 API (library version 62): decoding a JPEG held in
// memory into the 32-bit picture layout, and encoding a picture into a JPEG
// file with the library's default settings.
//
// Picture layout: 4 bytes per pixel in memory order blue, green, red, 0; rows
// top first without gaps (stride width * 4). Decoded buffers hold
// width * (height + 1) * 4 + 4 bytes: one spare row and four spare bytes, all
// zero, which samplers reading right and lower neighbours rely on.
//
// Thread-safety: every call keeps its own codec state; calls may run on any
// threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vistel {

// The Windows bitmap header the picture consumers expect (40 bytes).
struct BitmapInfoHeader {
  std::uint32_t biSize = 0;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;  // positive although rows are stored top first
  std::uint16_t biPlanes = 0;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

// What a successful decode reports besides the pixels.
struct DecodedInfo {
  std::int32_t bufferSize = 0;  // bytes of the pixel buffer
  BitmapInfoHeader header;      // biSize 40, width, height, 1 plane, 32 bits
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Largest picture side accepted; larger headers are refused before allocating.
inline constexpr std::int32_t kMaxJpegSide = 8192;

// Most scans (start-of-scan markers) accepted in one JPEG. Every scan of a
// multi-scan (progressive) picture walks the whole coefficient buffer, so a
// small file with thousands of empty scans would otherwise cost minutes.
// Ordinary progressive files have about ten.
inline constexpr int kMaxJpegScans = 100;

// Large pictures get fewer scans: scans x pixels stays within this budget
// (16 scans at kMaxJpegSide x kMaxJpegSide, 64 at 4096 x 4096), so the
// scans of a hostile file cost about as much as decoding a real picture
// of the largest size.
inline constexpr std::int64_t kMaxJpegScanPixels = std::int64_t{16} * kMaxJpegSide * kMaxJpegSide;

// The quality the library uses unless told otherwise.
inline constexpr int kDefaultJpegQuality = 75;

enum class JpegResult {
  Ok,            // every row decoded
  NoData,        // null buffer or length 0; nothing allocated
  LibraryError,  // the library stopped, or the picture was refused (too large, too
                 // many scans, not greyscale/YCbCr/RGB); rows decoded so far are
                 // kept when pixels exist
};

// A decoded picture: the pixel buffer in the layout above, owned here.
struct DecodedPicture {
  std::unique_ptr<std::uint8_t[]> pixels;  // null when decoding stopped before the first row
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bufferSize = 0;  // width * (height + 1) * 4 + 4, or 0 without pixels
};

// A buffer of `bytes` for one picture (contents undefined), or null when memory
// runs out. Large ones sit on huge pages where the system offers them: the
// renderer reads pictures at scattered places every frame. Any thread.
[[nodiscard]] std::unique_ptr<std::uint8_t[]> newPictureBuffer(std::size_t bytes) noexcept;

// The least size a caller needs of a picture. Decoding may then shrink it by
// 2, 4 or 8 in the library's DCT (far cheaper than decoding it whole) as long
// as both sides stay at least this large. Sides of 0 or less (the default)
// always decode at full size.
struct JpegMinimumSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// The divisor decodeJpeg uses for a width x height picture: the largest of 1,
// 2, 4 and 8 that keeps ceil(width / d) and ceil(height / d) at least the
// minimum; 1 without one.
[[nodiscard]] int jpegScaleDivisor(std::int32_t width, std::int32_t height,
                                   JpegMinimumSize minimum);

// Decodes `length` bytes at `data` (not kept after the call), at full size or
// shrunk as `minimum` allows (see JpegMinimumSize). `out` is replaced:
// empty on NoData and on errors before the first row (refused headers among
// them). On LibraryError `out` may still hold the rows decoded before the
// error (the rows below and the spare row zero); callers that want only whole
// pictures check the result. Greyscale pictures come out grey (r = g = b).
// Data that ends early is an error, never read twice. Warnings are ignored;
// errors never abort the process.
[[nodiscard]] JpegResult decodeJpeg(const std::uint8_t* data, std::size_t length,
                                    DecodedPicture& out, JpegMinimumSize minimum = {});

// The record the image loader hands on for `picture`: bufferSize, header
// (biSize 40, biWidth, biHeight, biPlanes 1, biBitCount 32, the rest 0),
// width, height. All zero for a picture without pixels.
[[nodiscard]] DecodedInfo decodedInfo(const DecodedPicture& picture);

// Writes width x height pixels (layout above, stride width * 4) to `path` as a
// JPEG with the library's defaults; `quality` (clamped by the library to 1..100)
// is the only setting offered. False when the arguments are unusable or the
// file cannot be created (nothing written in both cases), or when the library
// or the file system fails while writing (a partial file may remain).
[[nodiscard]] bool encodeJpegFile(const char* path, const std::uint8_t* pixels, std::int32_t width,
                                  std::int32_t height, int quality = kDefaultJpegQuality);

}  // namespace vistel
