#include "vistel/imaging/image_source.h"

#include <sys/stat.h>

#include <utility>

namespace vistel {

namespace {

bool endsWithNoCase(std::string_view name, std::string_view ending) {
  if (name.size() < ending.size()) return false;
  const std::string_view tail = name.substr(name.size() - ending.size());
  for (std::size_t i = 0; i < tail.size(); ++i) {
    char c = tail[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ending[i]) return false;
  }
  return true;
}

}  // namespace

ImageKind imageKindFromName(std::string_view name) {
  if (name.size() < 4) return ImageKind::MotionStream;
  if (endsWithNoCase(name, ".jpg") || endsWithNoCase(name, ".jpe") ||
      endsWithNoCase(name, ".jpeg")) {
    return ImageKind::StillPicture;
  }
  return ImageKind::MotionStream;
}

ImageSource::ImageSource(std::string url, ImageKind kind, FrameRef decoded)
    : url_(std::move(url)), kind_(kind), decoded_(std::move(decoded)) {}

FrameRef ImageSource::encoded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return encoded_;
}

FrameRef ImageSource::decoded() const {
  std::lock_guard<std::mutex> guard(lock_);
  return decoded_;
}

std::optional<std::uint32_t> ImageSource::confirmedMs() const {
  const std::uint64_t value = confirmed_.load(std::memory_order_acquire);
  if ((value & kConfirmed) == 0) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::optional<FileStamp> fileStampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  const auto ns = [](const timespec& t) {
    return std::int64_t{t.tv_sec} * 1'000'000'000 + std::int64_t{t.tv_nsec};
  };
  return FileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::int64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

}  // namespace vistel
