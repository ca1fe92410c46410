#include "vistel/imaging/image_loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>

#include "vistel/platform/http_session.h"

namespace vistel {

namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// Closes a POSIX file descriptor on scope exit.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

int ImageLoader::decode(ImageSlot& slot, DecodedInfo& info, int format) {
  if (format != kJpegFormat) return ImageLoadCode::BadFormat;
  if (slot.bytes.empty()) return ImageLoadCode::NoData;
  DecodedPicture picture;
  switch (decodeJpeg(slot.bytes.data(), slot.bytes.size(), picture)) {
    case JpegResult::Ok:
      break;
    case JpegResult::NoData:
      return ImageLoadCode::NoData;
    case JpegResult::LibraryError:
      return ImageLoadCode::DecodeFailed;
  }
  if (!picture.pixels) return ImageLoadCode::DecodeFailed;
  info = decodedInfo(picture);
  slot.pixels = std::move(picture.pixels);
  std::vector<std::uint8_t>().swap(slot.bytes);  // the encoded bytes are done with
  return ImageLoadCode::Ok;
}

SourceKind ImageLoader::detect(std::string_view name) {
  if (startsWithNoCase(name, "http://")) return SourceKind::Http;
  if (startsWithNoCase(name, "ftp://")) return SourceKind::Ftp;
  std::error_code ec;
  if (!name.empty() && std::filesystem::exists(std::filesystem::path(name), ec))
    return SourceKind::LocalFile;
  return SourceKind::Unknown;
}

bool ImageLoader::isSupported(SourceKind kind) {
  return kind == SourceKind::LocalFile || kind == SourceKind::Http;
}

int ImageLoader::fetch(std::string_view name, ImageSlot& slot, DecodedInfo& info, SourceKind kind) {
  switch (kind) {
    case SourceKind::LocalFile:
      return fetchFile(name, slot, info);
    case SourceKind::Http:
      return fetchHttp(name, slot, info);
    default:
      return ImageLoadCode::Unsupported;
  }
}

int ImageLoader::load(std::string_view name, ImageSlot& slot, DecodedInfo& info, SourceKind kind) {
  if (kind == SourceKind::Unknown) {
    kind = detect(name);
    if (kind == SourceKind::Unknown) return ImageLoadCode::Unsupported;
  }
  if (!isSupported(kind)) return ImageLoadCode::Unsupported;
  return fetch(name, slot, info, kind);
}

int ImageLoader::fetchFile(std::string_view name, ImageSlot& slot, DecodedInfo& info) {
  // Non-blocking so that a FIFO cannot hang the open; only regular files are
  // read (a folder "exists" but cannot be opened as a picture).
  const std::string path(name);
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
    return ImageLoadCode::CannotOpen;
  if (status.st_size <= 0) return ImageLoadCode::EmptyFile;
  if (static_cast<std::uint64_t>(status.st_size) > kMaxPictureBytes) {
    slot.bytes.clear();
    return ImageLoadCode::ReadFailed;
  }

  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
  std::size_t total = 0;
  while (total < bytes.size()) {
    const ssize_t n = ::read(file.get(), bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<std::size_t>(n);
  }
  const bool shortRead = total < bytes.size();
  bytes.resize(total);
  slot.bytes = std::move(bytes);
  if (shortRead) return ImageLoadCode::ReadFailed;
  return decode(slot, info, kJpegFormat);
}

int ImageLoader::fetchHttp(std::string_view name, ImageSlot& slot, DecodedInfo& info) {
  const HttpSession session;
  const auto response = session.open(name, HttpOpenFlags::Reload | HttpOpenFlags::Binary);
  if (!response) return ImageLoadCode::CannotOpen;

  // The buffer grows in read-step increments whenever less than one step is
  // free, so every read may fill up to the free space.
  std::vector<std::uint8_t> bytes(kPictureReadStep);
  std::size_t total = 0;
  std::int64_t n = response->read(bytes.data(), kPictureReadStep);
  while (n > 0) {
    total += static_cast<std::size_t>(n);
    if (total > kMaxPictureBytes) break;
    if (bytes.size() - total < kPictureReadStep) bytes.resize(bytes.size() + kPictureReadStep);
    const std::size_t room = std::min(bytes.size() - total, kMaxPictureBytes + 1 - total);
    n = response->read(bytes.data() + total, room);
  }
  bytes.resize(total);
  bytes.shrink_to_fit();
  slot.bytes = std::move(bytes);
  if (n < 0 || total > kMaxPictureBytes) return ImageLoadCode::ReadFailed;
  return decode(slot, info, kJpegFormat);
}

}  // namespace vistel
