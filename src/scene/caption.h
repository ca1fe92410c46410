#pragma once

// Short texts in the style of the viewer's placeholder picture: grey capitals
// of a 5 x 7 pixel font on black, one pixel between letters. The placeholder
// itself ("WAITING FOR CAMERA"), the reasons a view has no picture ("CAMERA
// NOT REACHABLE") and the age of a stale picture are all set in it.
//
// Letters are drawn in upper case; the font has A-Z, 0-9, the blank and
// ( ) : . , - / ; any other character is drawn blank.
//
// Thread-safety: pure functions over the buffers given.

#include <cstdint>
#include <string_view>
#include <vector>

#include "vistel/scene/pixel_views.h"

namespace vistel {

inline constexpr std::int32_t kCaptionGlyphWidth = 5;
inline constexpr std::int32_t kCaptionGlyphHeight = 7;
inline constexpr std::int32_t kCaptionAdvance = kCaptionGlyphWidth + 1;
// A caption box: the text with this much black around it.
inline constexpr std::int32_t kCaptionHeight = 13;
inline constexpr std::int32_t kCaptionPadding = 6;
// The grey of the letters (each of red, green and blue).
inline constexpr std::uint8_t kCaptionInk = 0xA0;

// Width in pixels of `text` set in the font (0 for an empty text).
[[nodiscard]] std::int32_t captionTextWidth(std::string_view text);

// A width x height RGB picture (3 bytes a pixel, rows top first), black, with
// `text` centred in it (the left and top margins rounded down); what does not
// fit is cut off. Empty for a side below 1.
[[nodiscard]] std::vector<std::uint8_t> captionPicture(std::string_view text, std::int32_t width,
                                                       std::int32_t height);

// The box a caption of `text` takes: captionTextWidth + 2 * kCaptionPadding by
// kCaptionHeight.
[[nodiscard]] std::int32_t captionBoxWidth(std::string_view text);

// Draws `text` in its black box (captionBoxWidth x kCaptionHeight) centred at
// pixel (centreX, centreY) of `frame`, clipped to the frame. Nothing for an
// empty text or an unusable frame.
void drawCaption(FrameView frame, std::string_view text, std::int32_t centreX,
                 std::int32_t centreY);

}  // namespace vistel
