#include "vistel/imaging/jpeg_codec.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "support/test_paths.h"

// Under AddressSanitizer, any allocation above 256 MiB aborts the test: a
// header announcing a giant picture must be refused before anything is
// allocated for it, by us or by the library.
#if defined(__SANITIZE_ADDRESS__)
#define VISTEL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VISTEL_TEST_ASAN 1
#endif
#endif
#ifdef VISTEL_TEST_ASAN
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=256"; }
#endif

namespace vistel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Test pictures, made with the plain libjpeg API -------------------------

// Deterministic camera-like RGB content: gradients, a hard edge and noise.
Bytes makeScene(int width, int height, std::uint32_t seed = 1) {
  Bytes rgb(static_cast<std::size_t>(width) * height * 3);
  std::uint32_t state = seed;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      const int noise = static_cast<int>(state >> 28) - 8;
      const bool inBox = x > width / 3 && x < 2 * width / 3 && y > height / 4 && y < height / 2;
      int r = x * 255 / std::max(1, width - 1) + noise;
      int g = y * 255 / std::max(1, height - 1) + noise;
      int b = inBox ? 230 : 40 + noise;
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<std::uint8_t>(std::clamp(r, 0, 255));
      p[1] = static_cast<std::uint8_t>(std::clamp(g, 0, 255));
      p[2] = static_cast<std::uint8_t>(std::clamp(b, 0, 255));
    }
  }
  return rgb;
}

struct EncodeOptions {
  int quality = 90;
  J_COLOR_SPACE input = JCS_RGB;       // JCS_RGB (3), JCS_GRAYSCALE (1) or JCS_CMYK (4)
  J_COLOR_SPACE stored = JCS_UNKNOWN;  // JCS_UNKNOWN keeps the library's choice
  int lumaH = 2, lumaV = 2;            // sampling factors of the first component
  bool progressive = false;
  std::vector<jpeg_scan_info> scans = {};  // custom scan script when not empty
  int restartRows = 0;
  bool arithmetic = false;
};

int componentsOf(J_COLOR_SPACE space) {
  return space == JCS_GRAYSCALE ? 1 : space == JCS_CMYK ? 4 : 3;
}

// In-memory JPEG through libjpeg's own error manager (which ends the process on
// an error: these inputs are always valid).
Bytes encodeJpeg(const Bytes& samples, int width, int height, const EncodeOptions& options = {}) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = componentsOf(options.input);
  cinfo.in_color_space = options.input;
  jpeg_set_defaults(&cinfo);
  if (options.stored != JCS_UNKNOWN) jpeg_set_colorspace(&cinfo, options.stored);
  jpeg_set_quality(&cinfo, options.quality, TRUE);
  cinfo.comp_info[0].h_samp_factor = options.lumaH;
  cinfo.comp_info[0].v_samp_factor = options.lumaV;
  if (options.progressive) jpeg_simple_progression(&cinfo);
  if (!options.scans.empty()) {
    cinfo.scan_info = options.scans.data();
    cinfo.num_scans = static_cast<int>(options.scans.size());
  }
  cinfo.restart_in_rows = options.restartRows;
  cinfo.arith_code = options.arithmetic ? TRUE : FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = static_cast<std::size_t>(width) * cinfo.input_components;
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPLE*>(&samples[cinfo.next_scanline * stride]);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  Bytes jpeg(out, out + outSize);
  std::free(out);
  return jpeg;
}

Bytes sceneJpeg(int width, int height, const EncodeOptions& options = {}) {
  return encodeJpeg(makeScene(width, height), width, height, options);
}

// ---- The reference decoder --------------------------------------------------

// The obvious way: the library's default output, one row at a time, each pixel
// packed as the word r * 65536 + g * 256 + b stored little-endian, greyscale
// replicated. Buffer width * (height + 1) * 4 + 4, zero-filled.
struct Reference {
  Bytes pixels;
  int width = 0;
  int height = 0;
};

Reference referenceDecode(const Bytes& jpeg, unsigned divisor = 1) {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr err{};
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  cinfo.scale_num = 1;
  cinfo.scale_denom = divisor;
  jpeg_start_decompress(&cinfo);
  Reference ref;
  ref.width = static_cast<int>(cinfo.output_width);
  ref.height = static_cast<int>(cinfo.output_height);
  ref.pixels.assign(static_cast<std::size_t>(ref.width) * (ref.height + 1) * 4 + 4, 0);
  const int components = cinfo.output_components;
  Bytes row(static_cast<std::size_t>(ref.width) * components);
  std::size_t at = 0;
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW rows[1] = {row.data()};
    jpeg_read_scanlines(&cinfo, rows, 1);
    for (int x = 0; x < ref.width; ++x) {
      const std::uint8_t* s = &row[static_cast<std::size_t>(x) * components];
      const std::uint32_t r = s[0];
      const std::uint32_t g = components == 3 ? s[1] : s[0];
      const std::uint32_t b = components == 3 ? s[2] : s[0];
      const std::uint32_t word = r * 65536 + g * 256 + b;
      for (int i = 0; i < 4; ++i) ref.pixels[at++] = static_cast<std::uint8_t>(word >> (8 * i));
    }
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return ref;
}

Bytes bytesOf(const DecodedPicture& picture) {
  if (!picture.pixels) return {};
  return Bytes(picture.pixels.get(), picture.pixels.get() + picture.bufferSize);
}

bool rowIsZero(const DecodedPicture& picture, int row) {
  const std::uint8_t* p = picture.pixels.get() + static_cast<std::size_t>(row) * picture.width * 4;
  return std::all_of(p, p + static_cast<std::size_t>(picture.width) * 4,
                     [](std::uint8_t v) { return v == 0; });
}

// Offset of the first byte after the start-of-scan header (the entropy data).
std::size_t entropyStart(const Bytes& jpeg) {
  for (std::size_t i = 2; i + 3 < jpeg.size();) {
    if (jpeg[i] != 0xFF) return 0;
    const std::size_t length = jpeg[i + 2] * 256u + jpeg[i + 3];
    if (jpeg[i + 1] == 0xDA) return i + 2 + length;
    i += 2 + length;
  }
  return 0;
}

// Rewrites the size in the start-of-frame header.
void patchFrameSize(Bytes& jpeg, int width, int height) {
  for (std::size_t i = 2; i + 8 < jpeg.size();) {
    const std::size_t length = jpeg[i + 2] * 256u + jpeg[i + 3];
    if (jpeg[i + 1] >= 0xC0 && jpeg[i + 1] <= 0xC2) {
      jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
      jpeg[i + 6] = static_cast<std::uint8_t>(height);
      jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
      jpeg[i + 8] = static_cast<std::uint8_t>(width);
      return;
    }
    i += 2 + length;
  }
  FAIL() << "no frame header";
}

// ---- Picture layout ---------------------------------------------------------

TEST(JpegDecode, TwoByOnePictureFillsTwentyBytesBlueGreenRedZero) {
  // Red then blue, kept apart by 4:4:4 sampling at the highest quality.
  const Bytes rgb = {250, 10, 10, 10, 10, 250};
  EncodeOptions options;
  options.quality = 100;
  options.lumaH = options.lumaV = 1;
  const Bytes jpeg = encodeJpeg(rgb, 2, 1, options);

  DecodedPicture picture;
  ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
  ASSERT_NE(picture.pixels, nullptr);
  EXPECT_EQ(picture.width, 2);
  EXPECT_EQ(picture.height, 1);
  EXPECT_EQ(picture.bufferSize, 20);
  const std::uint8_t* p = picture.pixels.get();
  // Pixel 0 is red: bytes blue, green, red, 0.
  EXPECT_LT(p[0], 40);
  EXPECT_LT(p[1], 40);
  EXPECT_GT(p[2], 220);
  EXPECT_EQ(p[3], 0);
  // Pixel 1 is blue.
  EXPECT_GT(p[4], 220);
  EXPECT_LT(p[5], 40);
  EXPECT_LT(p[6], 40);
  EXPECT_EQ(p[7], 0);
  for (int i = 8; i < 20; ++i) EXPECT_EQ(p[i], 0) << "spare byte " << i;
  EXPECT_EQ(bytesOf(picture), referenceDecode(jpeg).pixels);
}

TEST(JpegDecode, MatchesTheRowByRowReferenceForEveryKindOfPicture) {
  struct Case {
    const char* name;
    int width, height;
    EncodeOptions options;
  };
  std::vector<Case> cases;
  cases.push_back({"4:2:0", 96, 64, {}});
  cases.push_back({"4:2:0 odd size", 33, 17, {}});
  cases.push_back({"1x1", 1, 1, {}});
  cases.push_back({"camera size", 640, 480, {.quality = 80}});
  cases.push_back({"4:2:2", 47, 31, {.lumaH = 2, .lumaV = 1}});
  cases.push_back({"4:4:0", 47, 31, {.lumaH = 1, .lumaV = 2}});
  cases.push_back({"4:4:4", 47, 31, {.lumaH = 1, .lumaV = 1}});
  cases.push_back({"progressive", 65, 49, {.progressive = true}});
  cases.push_back({"restart markers", 70, 50, {.restartRows = 1}});
  cases.push_back({"arithmetic coding", 40, 24, {.arithmetic = true}});
  cases.push_back({"stored as RGB", 30, 20, {.stored = JCS_RGB, .lumaH = 1, .lumaV = 1}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes jpeg = sceneJpeg(c.width, c.height, c.options);
    const Reference ref = referenceDecode(jpeg);
    DecodedPicture picture;
    ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);
    EXPECT_EQ(picture.bufferSize, c.width * (c.height + 1) * 4 + 4);
    EXPECT_TRUE(bytesOf(picture) == ref.pixels) << "pixels differ from the reference";
  }
}

TEST(JpegDecode, ShrinksByTheLargestDivisorThatKeepsTheMinimumSize) {
  struct Case {
    JpegMinimumSize minimum;
    int width, height;  // of the 100 x 60 picture decoded
  } cases[] = {{{}, 100, 60},      {{100, 1}, 100, 60},  {{50, 30}, 50, 30},
               {{30, 10}, 50, 30}, {{25, 15}, 25, 15},   {{13, 8}, 13, 8},
               {{1, 1}, 13, 8},    {{101, 60}, 100, 60}, {{-1, 5000}, 100, 60}};
  for (const bool progressive : {false, true}) {
    const Bytes jpeg = sceneJpeg(100, 60, {.progressive = progressive});
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(c.minimum.width) + "x" + std::to_string(c.minimum.height));
      const int divisor = jpegScaleDivisor(100, 60, c.minimum);
      DecodedPicture picture;
      ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture, c.minimum), JpegResult::Ok);
      EXPECT_EQ(picture.width, c.width);
      EXPECT_EQ(picture.height, c.height);
      EXPECT_EQ((100 + divisor - 1) / divisor, c.width);
      EXPECT_TRUE(bytesOf(picture) == referenceDecode(jpeg, unsigned(divisor)).pixels);
    }
  }
}

TEST(JpegDecode, GreyscalePicturesComeOutGrey) {
  const int width = 37, height = 23;
  Bytes grey(static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<std::uint8_t>(i * 7 % 256);
  const Bytes jpeg =
      encodeJpeg(grey, width, height, {.input = JCS_GRAYSCALE, .lumaH = 1, .lumaV = 1});

  DecodedPicture picture;
  ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
  ASSERT_EQ(picture.width, width);
  const std::uint8_t* p = picture.pixels.get();
  bool sawDifferentLevels = false;
  for (int i = 0; i < width * height; ++i, p += 4) {
    ASSERT_EQ(p[0], p[1]) << "pixel " << i;
    ASSERT_EQ(p[1], p[2]) << "pixel " << i;
    ASSERT_EQ(p[3], 0) << "pixel " << i;
    sawDifferentLevels |= p[0] != picture.pixels[0];
  }
  EXPECT_TRUE(sawDifferentLevels);
  EXPECT_TRUE(bytesOf(picture) == referenceDecode(jpeg).pixels);
}

TEST(JpegDecode, RefusesFourComponentPicturesWithoutPixels) {
  const int width = 16, height = 16;
  Bytes cmyk(static_cast<std::size_t>(width) * height * 4, 0x80);
  for (J_COLOR_SPACE stored : {JCS_CMYK, JCS_YCCK}) {
    SCOPED_TRACE(stored == JCS_CMYK ? "CMYK" : "YCCK");
    const Bytes jpeg = encodeJpeg(cmyk, width, height,
                                  {.input = JCS_CMYK, .stored = stored, .lumaH = 1, .lumaV = 1});
    DecodedPicture picture;
    EXPECT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::LibraryError);
    EXPECT_EQ(picture.pixels, nullptr);
    EXPECT_EQ(picture.width, 0);
    EXPECT_EQ(picture.height, 0);
    EXPECT_EQ(picture.bufferSize, 0);
  }
}

TEST(JpegDecode, WarningsAreDroppedAndDecodingGoesOn) {
  Bytes jpeg = sceneJpeg(32, 32);
  const Bytes clean = jpeg;
  // Stray bytes between two markers: the library warns and skips them.
  const std::size_t at = 2 + 2 + (jpeg[4] * 256u + jpeg[5]);  // after the first segment
  jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), {0x12, 0x34, 0x56});

  DecodedPicture picture;
  testing::internal::CaptureStderr();
  const JpegResult result = decodeJpeg(jpeg.data(), jpeg.size(), picture);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, JpegResult::Ok);
  EXPECT_EQ(printed, "");
  EXPECT_TRUE(bytesOf(picture) == referenceDecode(clean).pixels);
}

// ---- Missing, short and hostile data ----------------------------------------

TEST(JpegDecode, NoDataLeavesAnEmptyPicture) {
  const Bytes jpeg = sceneJpeg(8, 8);
  DecodedPicture picture;
  ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
  ASSERT_NE(picture.pixels, nullptr);
  // An earlier picture in `out` does not survive a call without data.
  EXPECT_EQ(decodeJpeg(jpeg.data(), 0, picture), JpegResult::NoData);
  EXPECT_EQ(picture.pixels, nullptr);
  EXPECT_EQ(picture.bufferSize, 0);
  EXPECT_EQ(decodeJpeg(nullptr, 100, picture), JpegResult::NoData);
  EXPECT_EQ(picture.pixels, nullptr);
}

TEST(JpegDecode, DataThatIsNoJpegIsALibraryError) {
  const std::string text = "<quilo><view/></quilo>";
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), picture),
            JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
  const std::uint8_t soiOnly[] = {0xFF, 0xD8};
  EXPECT_EQ(decodeJpeg(soiOnly, sizeof soiOnly, picture), JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
}

TEST(JpegDecode, TruncatedDataKeepsTheDecodedRowsAndZeroesTheRest) {
  const int width = 64, height = 96;
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  struct Case {
    const char* name;
    EncodeOptions options;
  };
  const Case cases[] = {{"4:2:0", {}},
                        {"4:4:4", {.lumaH = 1, .lumaV = 1}},
                        {"restart markers", {.restartRows = 1}},
                        // Arithmetic decoding legitimately runs on zeros past
                        // a marker, so it may not read past the data at all.
                        {"arithmetic coding", {.arithmetic = true}}};
  for (const Case& c : cases) {
    const Bytes full = sceneJpeg(width, height, c.options);
    const Reference ref = referenceDecode(full);
    const std::size_t start = entropyStart(full);
    ASSERT_GT(start, 0u);
    int partial = 0;
    for (int eighth = 1; eighth < 8; ++eighth) {
      SCOPED_TRACE(std::string(c.name) + ", cut at " + std::to_string(eighth) + "/8");
      const std::size_t cutAt = start + (full.size() - start) * eighth / 8;
      const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cutAt));

      DecodedPicture picture;
      ASSERT_EQ(decodeJpeg(cut.data(), cut.size(), picture), JpegResult::LibraryError);
      ASSERT_NE(picture.pixels, nullptr);
      ASSERT_EQ(picture.width, width);
      ASSERT_EQ(picture.height, height);
      ASSERT_EQ(picture.bufferSize, width * (height + 1) * 4 + 4);
      int decodedRows = 0;
      while (decodedRows < height && !rowIsZero(picture, decodedRows)) ++decodedRows;
      EXPECT_LT(decodedRows, height);
      partial += decodedRows > 0;
      // The rows kept are exactly those of the whole picture, never made up
      // from missing data; everything after them is 0.
      const Bytes got = bytesOf(picture);
      const auto split = got.begin() + static_cast<std::ptrdiff_t>(decodedRows * stride);
      EXPECT_TRUE(std::equal(got.begin(), split, ref.pixels.begin()));
      EXPECT_TRUE(std::all_of(split, got.end(), [](std::uint8_t v) { return v == 0; }));
    }
    EXPECT_GE(partial, 5) << c.name;
  }
}

TEST(JpegDecode, MissingEndMarkerIsAnErrorWithEveryRowKept) {
  const Bytes full = sceneJpeg(48, 32);
  ASSERT_EQ(full[full.size() - 2], 0xFF);
  ASSERT_EQ(full[full.size() - 1], 0xD9);
  const Bytes cut(full.begin(), full.end() - 2);
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(cut.data(), cut.size(), picture), JpegResult::LibraryError);
  EXPECT_TRUE(bytesOf(picture) == referenceDecode(full).pixels);
}

TEST(JpegDecode, TruncatedProgressivePictureYieldsNoPixels) {
  // A multi-scan picture is only emitted once every scan is in.
  const Bytes full = sceneJpeg(48, 32, {.progressive = true});
  const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(full.size() * 3 / 4));
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(cut.data(), cut.size(), picture), JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
}

TEST(JpegDecode, MarkerSkippingPastTheEndDoesNotWrapAround) {
  // SOI, then an APP1 segment whose length runs past the end of the data. Had
  // the data been presented again from the start, the skip would land on the
  // very same APP1 marker for ever.
  Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x00};
  jpeg.resize(16, 0x00);
  // From offset 6, skipping length - 2 bytes runs over the 10 bytes left and 2
  // more: offset 2 of a second presentation.
  const unsigned length = static_cast<unsigned>(jpeg.size()) - 2;
  jpeg[4] = static_cast<std::uint8_t>(length >> 8);
  jpeg[5] = static_cast<std::uint8_t>(length);
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
}

TEST(JpegDecode, CorruptDataNeverBreaksThePictureLayout) {
  const int width = 48, height = 40;
  const Bytes clean = sceneJpeg(width, height, {.restartRows = 1});
  const std::size_t start = entropyStart(clean);
  ASSERT_GT(start, 0u);
  std::uint32_t state = 7;
  int errors = 0;
  for (int round = 0; round < 300; ++round) {
    Bytes jpeg = clean;
    // Damage a few bytes anywhere, header included.
    for (int k = 0; k < 1 + round % 4; ++k) {
      state = state * 1664525u + 1013904223u;
      jpeg[(state >> 8) % jpeg.size()] = static_cast<std::uint8_t>(state >> 24);
    }
    DecodedPicture picture;
    const JpegResult result = decodeJpeg(jpeg.data(), jpeg.size(), picture);
    errors += result == JpegResult::LibraryError;
    if (!picture.pixels) {
      ASSERT_EQ(result, JpegResult::LibraryError) << "round " << round;
      continue;
    }
    ASSERT_GT(picture.width, 0);
    ASSERT_LE(picture.width, kMaxJpegSide);
    ASSERT_LE(picture.height, kMaxJpegSide);
    ASSERT_EQ(picture.bufferSize, picture.width * (picture.height + 1) * 4 + 4)
        << "round " << round;
    const std::uint8_t* p = picture.pixels.get();
    for (int i = 0; i < picture.width * picture.height; ++i) ASSERT_EQ(p[i * 4 + 3], 0);
    for (int i = picture.width * picture.height * 4; i < picture.bufferSize; ++i)
      ASSERT_EQ(p[i], 0);
  }
  EXPECT_GT(errors, 0);  // the damage was not all harmless
}

// ---- Limits -----------------------------------------------------------------

TEST(JpegDecode, RefusesPicturesAboveTheSideLimitBeforeAllocating) {
  Bytes jpeg = sceneJpeg(16, 16);
  struct Size {
    int width, height;
  };
  // 65500 is the largest side the library itself accepts.
  for (Size size : {Size{kMaxJpegSide + 1, 16}, Size{16, kMaxJpegSide + 1}, Size{65500, 65500}}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    patchFrameSize(jpeg, size.width, size.height);
    DecodedPicture picture;
    EXPECT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::LibraryError);
    EXPECT_EQ(picture.pixels, nullptr);
    EXPECT_EQ(picture.bufferSize, 0);
  }
  // At the limit the header is accepted and the picture decoded (from far too
  // little data, which the library pads with its warnings dropped).
  patchFrameSize(jpeg, kMaxJpegSide, 16);
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
  ASSERT_NE(picture.pixels, nullptr);
  EXPECT_EQ(picture.width, kMaxJpegSide);
  EXPECT_EQ(picture.bufferSize, kMaxJpegSide * 17 * 4 + 4);
}

TEST(JpegDecode, TinyFileAnnouncingAGiantProgressivePictureIsRefused) {
  // 45 bytes: SOI, a progressive frame header for 65500 x 65500 with three
  // components, and a scan header. Accepting it would have the library set
  // aside tens of gigabytes of coefficients.
  const Bytes jpeg = {0xFF, 0xD8,                                            // SOI
                      0xFF, 0xC2, 0x00, 0x11, 0x08, 0xFF, 0xDC, 0xFF, 0xDC,  // SOF2
                      0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x00, 0x03, 0x11, 0x00, 0xFF, 0xDA, 0x00,
                      0x0C, 0x03, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00,  // SOS
                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  ASSERT_EQ(jpeg.size(), 45u);
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
}

// A progressive script with `scans` scans in all: one DC scan, then single
// coefficient AC bands, the last band of each component taking the rest.
std::vector<jpeg_scan_info> progressiveScript(int scans) {
  std::vector<jpeg_scan_info> script;
  jpeg_scan_info dc{};
  dc.comps_in_scan = 3;
  dc.component_index[0] = 0;
  dc.component_index[1] = 1;
  dc.component_index[2] = 2;
  script.push_back(dc);
  const int bandsPerComponent = (scans - 1) / 3;
  for (int c = 0; c < 3; ++c) {
    const int bands = bandsPerComponent + (c < (scans - 1) % 3 ? 1 : 0);
    for (int b = 0; b < bands; ++b) {
      jpeg_scan_info ac{};
      ac.comps_in_scan = 1;
      ac.component_index[0] = c;
      ac.Ss = 1 + b;
      ac.Se = b + 1 == bands ? 63 : 1 + b;
      script.push_back(ac);
    }
  }
  return script;
}

TEST(JpegDecode, ScanCountIsBounded) {
  const Bytes atLimit = sceneJpeg(24, 16, {.scans = progressiveScript(kMaxJpegScans)});
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(atLimit.data(), atLimit.size(), picture), JpegResult::Ok);
  EXPECT_TRUE(bytesOf(picture) == referenceDecode(atLimit).pixels);

  const Bytes overLimit = sceneJpeg(24, 16, {.scans = progressiveScript(kMaxJpegScans + 1)});
  EXPECT_EQ(decodeJpeg(overLimit.data(), overLimit.size(), picture), JpegResult::LibraryError);
  EXPECT_EQ(picture.pixels, nullptr);
}

TEST(JpegDecode, LargePicturesGetFewerScans) {
  // A few hundred bytes of scans announcing a 4096 x 4096 picture: each scan,
  // empty as it is, walks all the picture's coefficients.
  const int side = 4096;
  const int limit = static_cast<int>(kMaxJpegScanPixels / (side * side));
  ASSERT_LT(limit, kMaxJpegScans);
  for (int scans : {limit, limit + 1}) {
    SCOPED_TRACE(std::to_string(scans) + " scans");
    Bytes jpeg = sceneJpeg(16, 16, {.scans = progressiveScript(scans)});
    patchFrameSize(jpeg, side, side);
    DecodedPicture picture;
    const JpegResult result = decodeJpeg(jpeg.data(), jpeg.size(), picture);
    if (scans <= limit) {
      EXPECT_EQ(result, JpegResult::Ok);
      EXPECT_NE(picture.pixels, nullptr);
    } else {
      EXPECT_EQ(result, JpegResult::LibraryError);
      EXPECT_EQ(picture.pixels, nullptr);
    }
  }
}

TEST(JpegDecode, DecodedInfoDescribesTheBuffer) {
  const Bytes jpeg = sceneJpeg(640, 480);
  DecodedPicture picture;
  ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), picture), JpegResult::Ok);
  const DecodedInfo info = decodedInfo(picture);
  EXPECT_EQ(info.bufferSize, 640 * 481 * 4 + 4);
  EXPECT_EQ(info.width, 640);
  EXPECT_EQ(info.height, 480);
  EXPECT_EQ(info.header.biSize, 40u);
  EXPECT_EQ(info.header.biWidth, 640);
  EXPECT_EQ(info.header.biHeight, 480);
  EXPECT_EQ(info.header.biPlanes, 1);
  EXPECT_EQ(info.header.biBitCount, 32);
  EXPECT_EQ(info.header.biCompression, 0u);
  EXPECT_EQ(info.header.biSizeImage, 0u);

  const DecodedInfo none = decodedInfo(DecodedPicture{});
  EXPECT_EQ(none.bufferSize, 0);
  EXPECT_EQ(none.header.biSize, 0u);
}

// ---- Encoding ---------------------------------------------------------------

// The picture layout of an RGB picture: blue, green, red, 0.
Bytes toLayout(const Bytes& rgb) {
  Bytes out(rgb.size() / 3 * 4);
  for (std::size_t i = 0, o = 0; i < rgb.size(); i += 3, o += 4) {
    out[o] = rgb[i + 2];
    out[o + 1] = rgb[i + 1];
    out[o + 2] = rgb[i];
    out[o + 3] = 0;
  }
  return out;
}

Bytes fileBytes(const std::filesystem::path& path) {
  const std::string s = test::readFile(path);
  return Bytes(s.begin(), s.end());
}

TEST(JpegEncode, BlueGreenRedBytesBecomeRedGreenBlueSamples) {
  const auto dir = test::scratchDir("jpeg-encode-order");
  const int width = 16, height = 16;
  Bytes pixels;
  for (int i = 0; i < width * height; ++i) pixels.insert(pixels.end(), {10, 20, 30, 0});
  const auto path = dir / "uniform.jpg";
  ASSERT_TRUE(encodeJpegFile(path.c_str(), pixels.data(), width, height, 100));

  const Reference ref = referenceDecode(fileBytes(path));
  ASSERT_EQ(ref.width, width);
  ASSERT_EQ(ref.height, height);
  for (int i = 0; i < width * height; ++i) {
    const std::uint8_t* p = &ref.pixels[static_cast<std::size_t>(i) * 4];
    // Reference bytes are blue, green, red: red 30, green 20, blue 10 went in.
    ASSERT_NEAR(p[2], 30, 2) << "red of pixel " << i;
    ASSERT_NEAR(p[1], 20, 2) << "green of pixel " << i;
    ASSERT_NEAR(p[0], 10, 2) << "blue of pixel " << i;
  }
}

TEST(JpegEncode, WritesWhatTheLibraryDefaultsProduce) {
  const auto dir = test::scratchDir("jpeg-encode-defaults");
  const int width = 57, height = 41;
  const Bytes rgb = makeScene(width, height, 3);
  const Bytes pixels = toLayout(rgb);

  const auto byDefault = dir / "default.jpg";
  ASSERT_TRUE(encodeJpegFile(byDefault.c_str(), pixels.data(), width, height));
  EXPECT_TRUE(fileBytes(byDefault) == encodeJpeg(rgb, width, height, {.quality = 75}));

  const auto at90 = dir / "q90.jpg";
  ASSERT_TRUE(encodeJpegFile(at90.c_str(), pixels.data(), width, height, 90));
  EXPECT_TRUE(fileBytes(at90) == encodeJpeg(rgb, width, height, {.quality = 90}));

  // And it decodes back close to what went in.
  const Reference back = referenceDecode(fileBytes(at90));
  ASSERT_EQ(back.width, width);
  long error = 0;
  for (std::size_t i = 0; i < pixels.size(); ++i) error += std::abs(back.pixels[i] - pixels[i]);
  EXPECT_LT(static_cast<double>(error) / static_cast<double>(pixels.size()), 4.0);
}

TEST(JpegEncode, UnusableTargetsOrArgumentsWriteNothing) {
  const auto dir = test::scratchDir("jpeg-encode-refused");
  const Bytes pixels(8 * 8 * 4, 0x40);
  const auto missingFolder = dir / "no-such-folder" / "shot.jpg";
  EXPECT_FALSE(encodeJpegFile(missingFolder.c_str(), pixels.data(), 8, 8));
  EXPECT_FALSE(std::filesystem::exists(missingFolder));
  EXPECT_FALSE(encodeJpegFile(dir.c_str(), pixels.data(), 8, 8));  // a folder

  const auto shot = dir / "shot.jpg";
  EXPECT_FALSE(encodeJpegFile(shot.c_str(), nullptr, 8, 8));
  EXPECT_FALSE(encodeJpegFile(shot.c_str(), pixels.data(), 0, 8));
  EXPECT_FALSE(encodeJpegFile(shot.c_str(), pixels.data(), 8, -1));
  EXPECT_FALSE(encodeJpegFile(nullptr, pixels.data(), 8, 8));
  EXPECT_FALSE(std::filesystem::exists(shot));
}

TEST(JpegEncode, WriteFailuresAreReportedAndLeaveThePartialFile) {
  const int width = 256, height = 256;
  const Bytes pixels = toLayout(makeScene(width, height));
  // A device that accepts the open but fails every write.
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(encodeJpegFile("/dev/full", pixels.data(), width, height));
  }

  // A file size limit stops the writes part-way; the bytes before stay.
  const auto dir = test::scratchDir("jpeg-encode-partial");
  const auto path = dir / "partial.jpg";
  constexpr rlim_t kLimit = 3000;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < kLimit) GTEST_SKIP() << "hard limit";
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit small = saved;
  small.rlim_cur = kLimit;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = encodeJpegFile(path.c_str(), pixels.data(), width, height);
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);

  EXPECT_FALSE(written);
  ASSERT_TRUE(std::filesystem::exists(path));
  const Bytes partial = fileBytes(path);
  EXPECT_GT(partial.size(), 0u);
  EXPECT_LE(partial.size(), kLimit);
  ASSERT_GE(partial.size(), 2u);
  EXPECT_EQ(partial[0], 0xFF);
  EXPECT_EQ(partial[1], 0xD8);
}

}  // namespace
}  // namespace vistel
