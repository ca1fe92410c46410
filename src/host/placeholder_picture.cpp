#include "vistel/host/placeholder_picture.h"

#include <array>
#include <string_view>

namespace vistel {

namespace {

constexpr std::string_view kMessage = "WAITING FOR CAMERA";
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kAdvance = kGlyphWidth + 1;
constexpr std::uint8_t kInk = 0xA0;
constexpr std::size_t kBytes = std::size_t{kPlaceholderWidth} * kPlaceholderHeight * 3;

// Rows of one glyph, most significant of the five bits leftmost. Only the
// letters of the message are drawn; anything else is blank.
std::array<std::uint8_t, kGlyphHeight> glyph(char c) {
  switch (c) {
    case 'A':
      return {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11};
    case 'C':
      return {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E};
    case 'E':
      return {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F};
    case 'F':
      return {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10};
    case 'G':
      return {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0E};
    case 'I':
      return {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E};
    case 'M':
      return {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11};
    case 'N':
      return {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11};
    case 'O':
      return {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E};
    case 'R':
      return {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11};
    case 'T':
      return {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04};
    case 'W':
      return {0x11, 0x11, 0x11, 0x15, 0x15, 0x1B, 0x11};
    default:
      return {};
  }
}

std::array<std::uint8_t, kBytes> drawPicture() {
  std::array<std::uint8_t, kBytes> rgb{};
  const int textWidth = static_cast<int>(kMessage.size()) * kAdvance - 1;
  const int left = (kPlaceholderWidth - textWidth) / 2;
  const int top = (kPlaceholderHeight - kGlyphHeight) / 2;
  for (std::size_t i = 0; i < kMessage.size(); ++i) {
    const auto rows = glyph(kMessage[i]);
    for (int row = 0; row < kGlyphHeight; ++row) {
      for (int column = 0; column < kGlyphWidth; ++column) {
        if (((rows[row] >> (kGlyphWidth - 1 - column)) & 1) == 0) continue;
        const int x = left + static_cast<int>(i) * kAdvance + column;
        const std::size_t at = (static_cast<std::size_t>(top + row) * kPlaceholderWidth +
                                static_cast<std::size_t>(x)) *
                               3;
        rgb[at] = rgb[at + 1] = rgb[at + 2] = kInk;
      }
    }
  }
  return rgb;
}

}  // namespace

std::span<const std::uint8_t> placeholderPicture() {
  static const std::array<std::uint8_t, kBytes> picture = drawPicture();
  return picture;
}

}  // namespace vistel
