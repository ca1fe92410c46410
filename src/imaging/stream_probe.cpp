#include <algorithm>
#include <cstring>

#include "vistel/imaging/stream_probe_p.h"

namespace vistel::detail {

int modeFromContentType(std::string_view value, std::string& boundary, std::size_t maxBoundary) {
  if (value.substr(0, 10) == "image/jpeg") return 1;
  if (value.substr(0, 25) != "multipart/x-mixed-replace") return 0;
  constexpr std::string_view kKey = "boundary=";
  if (const std::size_t at = value.find(kKey); at != std::string_view::npos)
    boundary.assign(value.substr(at + kKey.size(), maxBoundary));
  return 2;
}

bool announcesPartLength(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view kKey = "content-length:";
  if (data == nullptr || size == 0) return false;
  const auto* zero = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  const std::size_t length = zero ? static_cast<std::size_t>(zero - data) : size;
  std::string text(reinterpret_cast<const char*>(data), length);
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text.find(kKey) != std::string::npos;
}

}  // namespace vistel::detail
