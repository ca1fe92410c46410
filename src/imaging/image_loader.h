#pragma once

// Turns a picture name (a local file or an http:// URL) into pixels in one
// blocking call: decide what the name designates, fetch all of its bytes on
// the calling thread, decode them as JPEG into the 32-bit picture layout.
//
// The loader reports by small result codes (0 success, negative failures) and
// hands buffers over in an ImageSlot, whose content after a call is fixed by
// the code (see ImageLoadCode).
//
// Thread-safety: a loader has no state; any number of threads may use one
// loader, or loaders of their own, at the same time. Each call blocks its
// thread for the whole download (bounded by the HTTP layer's 60 s time-outs
// per wait).

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "vistel/imaging/jpeg_codec.h"

namespace vistel {

// What a picture name designates.
enum class SourceKind : std::int32_t {
  Unknown = 0,    // nothing found
  LocalFile = 1,  // an entry of the file system
  Http = 2,       // "http://..." in any letter case
  Ftp = 3,        // "ftp://..." in any letter case; never fetched
};

// Result codes of the loader.
struct ImageLoadCode {
  static constexpr int Ok = 0;  // slot.pixels holds the picture, slot.bytes is empty
  static constexpr int Unsupported =
      -2;  // unknown or unsupported kind (every FTP name); slot untouched
  static constexpr int BadFormat = -3;  // format code other than kJpegFormat; slot untouched
  static constexpr int ReadFailed =
      -5;  // short read, HTTP read failure or over kMaxPictureBytes;
           // slot.bytes holds what was read (nothing for a large file)
  static constexpr int CannotOpen = -7;  // the file or URL could not be opened; slot untouched
  static constexpr int EmptyFile = -8;   // the local file is empty; slot untouched
  static constexpr int DecodeFailed =
      -9;  // not a picture the JPEG glue decodes; slot.bytes holds the input
  static constexpr int NoData = -10;  // nothing to decode; slot.bytes is empty
};

// The format code of JPEG, the only format the loader decodes.
inline constexpr int kJpegFormat = 3;

// Most bytes a picture may have. A name that keeps delivering (an endless
// camera stream given as a still picture, a huge file) stops here with
// ReadFailed instead of exhausting memory. Far above any JPEG of the largest
// side the decoder accepts at ordinary quality.
inline constexpr std::size_t kMaxPictureBytes = 64u << 20;

// Bytes asked for per HTTP read, and the step in which the download buffer grows.
inline constexpr std::size_t kPictureReadStep = 32768;

// The buffers a load hands back; owned by the caller.
struct ImageSlot {
  std::vector<std::uint8_t> bytes;         // the encoded picture (downloaded or read)
  std::unique_ptr<std::uint8_t[]> pixels;  // the decoded picture, DecodedInfo::bufferSize bytes
};

class ImageLoader {
 public:
  virtual ~ImageLoader() = default;

  // Decodes slot.bytes as `format` (only kJpegFormat). On Ok the bytes are
  // released, slot.pixels takes the picture and `info` is filled; on every
  // other code slot and `info` are left as they were (a picture that failed
  // part-way is dropped).
  [[nodiscard]] virtual int decode(ImageSlot& slot, DecodedInfo& info, int format);

  // What `name` designates: "http://" (any case) first, then "ftp://" (any
  // case), then any existing file-system entry (files, folders, other
  // entries), else Unknown. Never touches the network.
  [[nodiscard]] virtual SourceKind detect(std::string_view name);

  // True for LocalFile and Http only.
  [[nodiscard]] virtual bool isSupported(SourceKind kind);

  // Reads all bytes of `name` as `kind` into slot.bytes, then decodes them.
  // Http: one GET with Reload | Binary, read in kPictureReadStep steps; the
  // status is not looked at, so the body of an error page (404) is decoded
  // like any other and typically gives DecodeFailed (NoData when empty).
  [[nodiscard]] virtual int fetch(std::string_view name, ImageSlot& slot, DecodedInfo& info,
                                  SourceKind kind);

  // The entry for callers: with kind Unknown detects it first; unknown or
  // unsupported kinds give Unsupported; otherwise fetch.
  [[nodiscard]] int load(std::string_view name, ImageSlot& slot, DecodedInfo& info,
                         SourceKind kind = SourceKind::Unknown);

 private:
  int fetchFile(std::string_view name, ImageSlot& slot, DecodedInfo& info);
  int fetchHttp(std::string_view name, ImageSlot& slot, DecodedInfo& info);
};

}  // namespace vistel
