#pragma once

// The position text of the control: what its "copy position" command puts on
// the clipboard and what the `Preset1` ... `Preset15` properties give back,
// "navProgress;xOffset,yOffset;zoomFactor;" (for example
// "0.50;0.10,-0.05;1.00;"), and the lenient number readings the control's
// load-time properties share.
//
// Thread-safety: pure functions; any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace vistel {

// The four values of a navigation position (progress along the current
// link, horizontal and vertical pan, zoom factor): a preset entry, a target
// the control posts, or where the engine is now. As a preset entry it is
// undefined when navProgress is below 0.
struct ViewPosition {
  float navProgress = 0.0f;
  float xOffset = 0.0f;
  float yOffset = 0.0f;
  float zoomFactor = 0.0f;

  bool defined() const { return navProgress >= 0.0f; }
  friend bool operator==(const ViewPosition&, const ViewPosition&) = default;
};

// Reads a preset text. Fields end at ";" and a field without its ";" is not
// read, so "0.5;0.1,0.2;2" keeps zoomFactor 0; the middle field needs a ","
// to set either offset. Empty or unreadable text gives an undefined entry.
ViewPosition parsePreset(std::string_view text);

// The clipboard form "%.2f;%.2f,%.2f;%.2f;" of a position, with "." as the
// decimal point whatever the process locale.
std::string formatPositionText(float navProgress, float xOffset, float yOffset, float zoomFactor);

// The value of the longest decimal number (sign, digits, optional fraction
// and exponent) at the start of `text` after leading white space; 0 when
// there is none. Beyond the float range it is +/-infinity. Locale-free.
float leadingDecimal(std::string_view text);

// The integer at the start of `text` after leading white space (sign and
// digits), 0 when there is none, saturated to the int32 range.
std::int32_t leadingInteger(std::string_view text);

// The whole of `text`, apart from white space around it, as one decimal
// number; false, with `value` untouched, for anything else.
[[nodiscard]] bool parseDecimal(std::string_view text, float& value);

}  // namespace vistel
