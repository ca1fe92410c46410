#include "vistel/scene/link_key.h"

#include <span>

namespace vistel {

LinkKey::LinkKey(const KeyElement& key, Instance& traversal, bool mirrored)
    : Instance(key, &traversal), key_(key) {
  if (!mirrored) return;
  for (const char* name : {"time", "blend"}) {
    const double value = scope().getNumber(name);
    // An own variable first, so the number never lands in an ancestor's.
    scope().setVariable(name, "");
    scope().setNumber(name, 1 - value);
  }
}

std::optional<KeyQuad> LinkKey::quad() const {
  if (!hasQuad()) return std::nullopt;
  return keyQuadFromBytes(std::span<const std::uint8_t>(key_.data.data(), key_.data.size()));
}

}  // namespace vistel
