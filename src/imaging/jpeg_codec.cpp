#include "vistel/imaging/jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// jpeglib.h needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "vistel/platform/large_pages_p.h"

// The library reports errors by calling error_exit, which must not return; we
// leave through longjmp. A longjmp must never jump over a frame that owns C++
// objects with destructors, so every library call runs inside one of the small
// "guarded" functions below: they hold only trivially destructible locals and
// keep their state in a job record owned by the caller, which does all
// allocation and clean-up after the guarded function has returned.

namespace vistel {
namespace {

// The library's standard error manager followed by the jump context.
struct JpegErrorContext {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

[[noreturn]] void jumpBack(j_common_ptr cinfo) {
  auto* context = reinterpret_cast<JpegErrorContext*>(cinfo->err);
  std::longjmp(context->jump, 1);
}

// Feeds a JPEG held in memory. The library asks for more data only after it
// has consumed everything it was given: the data ended before the markers the
// library still needs. Handing the same bytes over again would let a marker
// whose length wraps onto itself loop for ever, so the end is final: the
// source then supplies an end-of-image marker once (the entropy decoder reads a
// few bytes ahead, and a picture that lacks only its end marker still has all
// of its rows), and any further request is an error.
struct MemorySource {
  jpeg_source_mgr pub;
  const JOCTET* buffer;
  std::size_t length;
  int presentations;  // times the whole buffer was handed to the library
  bool ranOut;        // the end-of-image marker after the data was handed out
};

// Corrupt-data warnings and trace messages are dropped, with one exception:
// once the data has run out, the warning that the entropy decoder starts to
// invent zero bits means every further row would be made up, so decoding stops
// there as after an error.
void dropMessage(j_common_ptr cinfo, int level) {
  if (level >= 0 || !cinfo->is_decompressor || cinfo->err->msg_code != JWRN_HIT_MARKER) return;
  const auto* source =
      reinterpret_cast<const MemorySource*>(reinterpret_cast<j_decompress_ptr>(cinfo)->src);
  if (source != nullptr && source->ranOut) jumpBack(cinfo);
}

jpeg_error_mgr* setUpErrorContext(JpegErrorContext& context) {
  jpeg_error_mgr* mgr = jpeg_std_error(&context.mgr);
  mgr->error_exit = jumpBack;
  mgr->emit_message = dropMessage;
  return mgr;
}

void initSource(j_decompress_ptr cinfo) {
  auto* source = reinterpret_cast<MemorySource*>(cinfo->src);
  source->presentations = 0;
  source->ranOut = false;
}

boolean fillInputBuffer(j_decompress_ptr cinfo) {
  static const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};
  auto* source = reinterpret_cast<MemorySource*>(cinfo->src);
  if (source->presentations == 0) {
    source->presentations = 1;
    source->pub.next_input_byte = source->buffer;
    source->pub.bytes_in_buffer = source->length;
  } else if (!source->ranOut && !cinfo->arith_code) {
    // The arithmetic decoder runs on zeros after a marker without a warning
    // (its data may legally end that way), so nothing would tell real rows
    // from made-up ones: it gets no grace and stops at the first byte it
    // lacks, even when only the end marker is missing.
    source->ranOut = true;
    source->pub.next_input_byte = kEndOfImage;
    source->pub.bytes_in_buffer = sizeof kEndOfImage;
  } else {
    ERREXIT(cinfo, JERR_INPUT_EOF);
  }
  return TRUE;
}

void skipInputData(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  auto* source = reinterpret_cast<MemorySource*>(cinfo->src);
  auto n = static_cast<unsigned long>(count);
  while (n > source->pub.bytes_in_buffer) {
    n -= static_cast<unsigned long>(source->pub.bytes_in_buffer);
    fillInputBuffer(cinfo);  // past the end: errors out within two calls
  }
  source->pub.next_input_byte += n;
  source->pub.bytes_in_buffer -= n;
}

void termSource(j_decompress_ptr) {}

void installMemorySource(j_decompress_ptr cinfo, const std::uint8_t* data, std::size_t length) {
  if (cinfo->src == nullptr) {
    cinfo->src = static_cast<jpeg_source_mgr*>((*cinfo->mem->alloc_small)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(MemorySource)));
  }
  auto* source = reinterpret_cast<MemorySource*>(cinfo->src);
  source->buffer = data;
  source->length = length;
  source->presentations = 0;
  source->ranOut = false;
  source->pub.init_source = initSource;
  source->pub.fill_input_buffer = fillInputBuffer;
  source->pub.skip_input_data = skipInputData;
  source->pub.resync_to_restart = jpeg_resync_to_restart;
  source->pub.term_source = termSource;
  source->pub.bytes_in_buffer = 0;
  source->pub.next_input_byte = nullptr;
}

// Scans accepted for a picture of this size.
int scanLimit(const jpeg_decompress_struct& cinfo) {
  const std::int64_t pixels =
      std::max<std::int64_t>(1, std::int64_t{cinfo.image_width} * cinfo.image_height);
  return static_cast<int>(std::min<std::int64_t>(kMaxJpegScans, kMaxJpegScanPixels / pixels));
}

// The library calls the progress monitor before absorbing each piece of a
// multi-scan file, which makes it the place to cut off absurd scan counts.
void limitScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  const auto* decompressor = reinterpret_cast<j_decompress_ptr>(cinfo);
  const int limit = scanLimit(*decompressor);
  if (decompressor->input_scan_number > limit) ERREXIT1(cinfo, JERR_BAD_SCAN_SCRIPT, limit);
}

struct DecodeJob {
  JpegErrorContext error;
  jpeg_decompress_struct cinfo;
  jpeg_progress_mgr progress;
};

// Colour spaces whose three (or one) components map onto blue, green, red.
bool convertibleToBgr(const jpeg_decompress_struct& cinfo) {
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      return cinfo.num_components == 1;
    case JCS_YCbCr:
    case JCS_RGB:
      return cinfo.num_components == 3;
    default:
      return false;  // CMYK, YCCK, unknown component sets
  }
}

// Creates the decompressor, reads the header, refuses what the picture layout
// cannot hold or what would cost unbounded memory, and starts decompression.
// False on any library error or refusal; the caller destroys the decompressor
// either way.
bool startDecoding(DecodeJob& job, const std::uint8_t* data, std::size_t length,
                   JpegMinimumSize minimum) {
  if (setjmp(job.error.jump) != 0) return false;
  jpeg_CreateDecompress(&job.cinfo, JPEG_LIB_VERSION, sizeof(jpeg_decompress_struct));
  installMemorySource(&job.cinfo, data, length);
  job.progress.progress_monitor = limitScans;
  job.cinfo.progress = &job.progress;
  jpeg_read_header(&job.cinfo, TRUE);
  // Checked before jpeg_start_decompress, which allocates the library's own
  // buffers (for multi-scan files, the whole picture's coefficients).
  if (job.cinfo.image_width > static_cast<JDIMENSION>(kMaxJpegSide) ||
      job.cinfo.image_height > static_cast<JDIMENSION>(kMaxJpegSide) ||
      !convertibleToBgr(job.cinfo)) {
    return false;
  }
  // Blue, green, red and a pad byte straight into the picture layout; the
  // colour bytes are exactly those of the library's RGB output.
  job.cinfo.out_color_space = JCS_EXT_BGRX;
  job.cinfo.scale_num = 1;
  job.cinfo.scale_denom = static_cast<unsigned int>(
      jpegScaleDivisor(static_cast<std::int32_t>(job.cinfo.image_width),
                       static_cast<std::int32_t>(job.cinfo.image_height), minimum));
  jpeg_start_decompress(&job.cinfo);
  return true;
}

// The library fills the pad byte of JCS_EXT_BGRX with 0xFF; the picture layout
// wants 0. Runs over rows the library has just written, while they are still
// in cache.
void clearPadBytes(std::uint8_t* p, std::size_t pixelCount) {
  std::uint8_t* const end = p + pixelCount * 4;
#ifdef __SSE2__
  const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
  for (; end - p >= 64; p += 64) {
    auto* block = reinterpret_cast<__m128i*>(p);
    const __m128i a = _mm_and_si128(_mm_loadu_si128(block), colour);
    const __m128i b = _mm_and_si128(_mm_loadu_si128(block + 1), colour);
    const __m128i c = _mm_and_si128(_mm_loadu_si128(block + 2), colour);
    const __m128i d = _mm_and_si128(_mm_loadu_si128(block + 3), colour);
    _mm_storeu_si128(block, a);
    _mm_storeu_si128(block + 1, b);
    _mm_storeu_si128(block + 2, c);
    _mm_storeu_si128(block + 3, d);
  }
#endif
  for (; p < end; p += 4) p[3] = 0;
}

// Reads every row into `pixels` (stride width * 4) and finishes. False on a
// library error or short data; cinfo.output_scanline then counts the rows
// delivered whole.
bool readRows(DecodeJob& job, std::uint8_t* pixels) {
  if (setjmp(job.error.jump) != 0) return false;
  jpeg_decompress_struct& cinfo = job.cinfo;
  const std::size_t stride = static_cast<std::size_t>(cinfo.output_width) * 4;
  // The library hands out at most one row group per call (16 rows for 4:2:0
  // pictures); offering that many rows at once saves a call per row.
  constexpr JDIMENSION kBatch = 16;
  JSAMPROW rows[kBatch];
  while (cinfo.output_scanline < cinfo.output_height) {
    const JDIMENSION first = cinfo.output_scanline;
    const JDIMENSION wanted = std::min(kBatch, cinfo.output_height - first);
    for (JDIMENSION i = 0; i < wanted; ++i) rows[i] = pixels + (first + i) * stride;
    const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows, wanted);
    if (got == 0) return false;  // only a suspending source returns nothing
    clearPadBytes(pixels + first * stride, static_cast<std::size_t>(got) * cinfo.output_width);
  }
  jpeg_finish_decompress(&cinfo);
  // Every row came from real data, but the data was still short (most often
  // just its end marker): the picture is whole, the JPEG is not.
  return !reinterpret_cast<const MemorySource*>(cinfo.src)->ranOut;
}

struct EncodeJob {
  JpegErrorContext error;
  jpeg_compress_struct cinfo;
};

// Compresses the picture into `file` with the library's defaults and the given
// quality. False on a library error (the caller releases the compressor).
bool encodeRows(EncodeJob& job, std::FILE* file, const std::uint8_t* pixels, std::int32_t width,
                std::int32_t height, int quality) {
  if (setjmp(job.error.jump) != 0) return false;
  jpeg_compress_struct& cinfo = job.cinfo;
  jpeg_CreateCompress(&cinfo, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  if (quality != kDefaultJpegQuality) jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  JSAMPARRAY row = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                              static_cast<JDIMENSION>(width) * 3, 1);
  const std::size_t stride = static_cast<std::size_t>(width) * 4;
  while (cinfo.next_scanline < cinfo.image_height) {
    const std::uint8_t* source = pixels + cinfo.next_scanline * stride;
    JSAMPLE* target = row[0];
    for (std::int32_t x = 0; x < width; ++x, source += 4, target += 3) {
      target[0] = source[2];  // red
      target[1] = source[1];  // green
      target[2] = source[0];  // blue
    }
    jpeg_write_scanlines(&cinfo, row, 1);
  }
  jpeg_finish_compress(&cinfo);
  return true;
}

}  // namespace

std::unique_ptr<std::uint8_t[]> newPictureBuffer(std::size_t bytes) noexcept {
  std::unique_ptr<std::uint8_t[]> buffer;
  try {
    buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  adviseHugePages(buffer.get(), bytes);
  return buffer;
}

int jpegScaleDivisor(std::int32_t width, std::int32_t height, JpegMinimumSize minimum) {
  if (minimum.width <= 0 || minimum.height <= 0) return 1;
  for (const int divisor : {8, 4, 2}) {
    // The library's scaled size: the side divided, rounded up.
    if ((std::int64_t{width} + divisor - 1) / divisor >= minimum.width &&
        (std::int64_t{height} + divisor - 1) / divisor >= minimum.height) {
      return divisor;
    }
  }
  return 1;
}

JpegResult decodeJpeg(const std::uint8_t* data, std::size_t length, DecodedPicture& out,
                      JpegMinimumSize minimum) {
  out = DecodedPicture{};
  if (data == nullptr || length == 0) return JpegResult::NoData;

  DecodeJob job{};
  job.cinfo.err = setUpErrorContext(job.error);
  if (!startDecoding(job, data, length, minimum)) {
    jpeg_destroy_decompress(&job.cinfo);
    return JpegResult::LibraryError;
  }

  const std::size_t width = job.cinfo.output_width;
  const std::size_t height = job.cinfo.output_height;
  const std::size_t stride = width * 4;
  // Sides are at most kMaxJpegSide, so this stays far below 2^31.
  const std::size_t bufferSize = stride * (height + 1) + 4;
  static_assert(std::uint64_t{kMaxJpegSide} * 4 * (kMaxJpegSide + 1) + 4 <=
                std::numeric_limits<std::int32_t>::max());

  std::unique_ptr<std::uint8_t[]> pixels = newPictureBuffer(bufferSize);
  if (!pixels) {
    jpeg_destroy_decompress(&job.cinfo);
    return JpegResult::LibraryError;
  }
  // Every byte the decoder does not deliver is zero: the spare row and bytes
  // now, rows lost to an error below.
  std::memset(pixels.get() + stride * height, 0, stride + 4);

  const bool complete = readRows(job, pixels.get());
  const std::size_t rowsDone = job.cinfo.output_scanline;
  jpeg_destroy_decompress(&job.cinfo);
  if (!complete) std::memset(pixels.get() + rowsDone * stride, 0, (height - rowsDone) * stride);

  out.pixels = std::move(pixels);
  out.width = static_cast<std::int32_t>(width);
  out.height = static_cast<std::int32_t>(height);
  out.bufferSize = static_cast<std::int32_t>(bufferSize);
  return complete ? JpegResult::Ok : JpegResult::LibraryError;
}

DecodedInfo decodedInfo(const DecodedPicture& picture) {
  DecodedInfo info;
  if (!picture.pixels) return info;
  info.bufferSize = picture.bufferSize;
  info.header.biSize = sizeof(BitmapInfoHeader);
  info.header.biWidth = picture.width;
  info.header.biHeight = picture.height;
  info.header.biPlanes = 1;
  info.header.biBitCount = 32;
  info.width = picture.width;
  info.height = picture.height;
  return info;
}

bool encodeJpegFile(const char* path, const std::uint8_t* pixels, std::int32_t width,
                    std::int32_t height, int quality) {
  // Refused up front so that an unusable call leaves no file behind.
  if (path == nullptr || pixels == nullptr || width <= 0 || height <= 0 ||
      width > JPEG_MAX_DIMENSION || height > JPEG_MAX_DIMENSION) {
    return false;
  }
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;

  EncodeJob job{};
  job.cinfo.err = setUpErrorContext(job.error);
  bool written = encodeRows(job, file, pixels, width, height, quality);
  jpeg_destroy_compress(&job.cinfo);
  // A failed close can lose the tail of the file: not a success.
  if (std::fclose(file) != 0) written = false;
  return written;
}

}  // namespace vistel
