#pragma once

// One entry of the image source manager's cache: the latest received picture
// of one image name and its decoded form.
//
// Sources are shared (std::shared_ptr) between the manager's source list, the
// requests that hold them and a stream reader fetching them, so a source lives
// as long as anything can still deliver to it or draw from it.
//
// Thread-safety: url and kind never change. busy and failed are atomic flags
// (written by the loader thread, read anywhere). The health is thread-safe
// (written by the reader fetching the source and the loader thread). The encoded and decoded frames
// are guarded by the source's own lock; the accessors below take it. The use
// count belongs to the manager's source lock. Frame replacement is done by the
// ImageSourceManager only.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "vistel/imaging/frame.h"
#include "vistel/imaging/source_health.h"

namespace vistel {

// What an image name designates.
enum class ImageKind : std::int32_t {
  FromName = 0,      // decide by the name's ending (imageKindFromName)
  StillPicture = 2,  // one picture per fetch
  MotionStream = 3,  // a stream that keeps its reader
};

// Kind by the name's last characters, letters in any case: ".jpg", ".jpe" and
// ".jpeg" are still pictures; everything else (".mjpg", no extension, names
// shorter than 4 characters) is a motion stream.
[[nodiscard]] ImageKind imageKindFromName(std::string_view name);

// What tells a local file's contents apart from what they were when last
// read without reading it: a replaced file has a new inode, a rewritten one a
// new change time.
struct FileStamp {
  std::uint64_t device = 0, inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0, changedNs = 0;
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file at `path`, or empty if it cannot be examined.
[[nodiscard]] std::optional<FileStamp> fileStampOf(const std::string& path);

class ImageSource {
 public:
  // A source with no encoded frame, `decoded` as its picture (normally a
  // placeholder) and both flags clear.
  ImageSource(std::string url, ImageKind kind, FrameRef decoded);
  ImageSource(const ImageSource&) = delete;
  ImageSource& operator=(const ImageSource&) = delete;

  // The name exactly as acquired ("file://" prefix for local files).
  const std::string& url() const { return url_; }
  ImageKind kind() const { return kind_; }

  // A fetch for this source is under way. Any thread.
  bool busy() const { return busy_.load(std::memory_order_acquire); }
  // The last fetch failed. Any thread.
  bool failed() const { return failed_.load(std::memory_order_acquire); }

  // Why the camera gives no pictures, and when it may be asked again. Any thread.
  SourceHealth& health() const { return health_; }

  // A new reference to the latest received picture, or empty. Any thread.
  FrameRef encoded() const;
  // A new reference to the latest decoded picture (or placeholder), or empty.
  // Any thread.
  FrameRef decoded() const;

  // When the source last found its picture unchanged (a local file read again
  // as it was): the picture is as current as then. Empty if never. Any thread.
  [[nodiscard]] std::optional<std::uint32_t> confirmedMs() const;

 private:
  friend class ImageSourceManager;

  const std::string url_;
  const ImageKind kind_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> failed_{false};
  mutable SourceHealth health_;  // thread-safe

  mutable std::mutex lock_;
  FrameRef encoded_;      // guarded by lock_
  FrameRef decoded_;      // guarded by lock_
  bool dropped_ = false;  // guarded by lock_: left the cache; takes no more frames

  int useCount_ = 0;  // guarded by the manager's sourceLock

  // kConfirmed | clock value, or 0: written by the loader thread, read anywhere.
  static constexpr std::uint64_t kConfirmed = std::uint64_t{1} << 32;
  std::atomic<std::uint64_t> confirmed_{0};
  // What identified the file behind the current picture; loader thread only.
  std::optional<FileStamp> fileStamp_;
};

}  // namespace vistel
