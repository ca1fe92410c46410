#include "vistel/host/placeholder_picture.h"

#include <vector>

#include "vistel/scene/caption.h"

namespace vistel {

std::span<const std::uint8_t> placeholderPicture() {
  static const std::vector<std::uint8_t> picture =
      captionPicture("WAITING FOR CAMERA", kPlaceholderWidth, kPlaceholderHeight);
  return picture;
}

}  // namespace vistel
