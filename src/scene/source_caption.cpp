#include "vistel/scene/source_caption.h"

#include <algorithm>

namespace vistel {

namespace {

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return text;
}

// Seconds up to two minutes, then minutes up to two hours, then hours.
std::string ageText(std::uint32_t ms) {
  const std::uint32_t seconds = ms / 1000;
  if (seconds < 120) return std::to_string(seconds) + " S";
  if (seconds < 120 * 60) return std::to_string(seconds / 60) + " MIN";
  return std::to_string(seconds / 3600) + " H";
}

}  // namespace

std::string sourceCaption(const ImageSourceManager::PictureStatus& status) {
  const std::string reason = upper(failureText(status.health.failure, status.health.httpStatus));
  if (!status.hasPicture) return reason;
  if (!status.stale) return {};
  std::string text = "PICTURE " + ageText(status.ageMs) + " OLD";
  if (!reason.empty()) text += ": " + reason;
  return text;
}

}  // namespace vistel
