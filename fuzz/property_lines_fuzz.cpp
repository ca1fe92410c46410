// Parameter files and preset texts come from whoever wrote the page or the
// shortcut. Arbitrary bytes are read as a parameter file (which is accepted
// whole or not at all) and as a preset text; a defined preset must survive
// the clipboard form within its rounding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vistel/host/preset_text.h"
#include "vistel/host/property_bag.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool near(float a, float b) { return std::fabs(a - b) <= 0.0051f * std::fmax(1.0f, std::fabs(a)); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  vistel::PropertyBag bag;
  require(bag.set("kept", "1"));
  std::string reason;
  if (bag.setLines(text, reason)) {
    require(bag.size() <= vistel::PropertyBag::kMaxProperties);
  } else {
    require(bag.size() == 1 && !reason.empty());
  }

  const vistel::ViewPosition entry = vistel::parsePreset(text);
  const bool finite = std::isfinite(entry.navProgress) && std::isfinite(entry.xOffset) &&
                      std::isfinite(entry.yOffset) && std::isfinite(entry.zoomFactor);
  if (entry.defined() && finite) {
    const vistel::ViewPosition back = vistel::parsePreset(vistel::formatPositionText(
        entry.navProgress, entry.xOffset, entry.yOffset, entry.zoomFactor));
    require(near(back.navProgress, entry.navProgress) && near(back.xOffset, entry.xOffset) &&
            near(back.yOffset, entry.yOffset) && near(back.zoomFactor, entry.zoomFactor));
  }
  return 0;
}
