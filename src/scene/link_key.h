#pragma once

// One <key> of the link being traversed: its own variables (time, blend,
// srcbuttons, dstbuttons, ...) and the key's decoded bytes, referred to in the
// document, not copied. A key's attributes belong to that key alone: reading
// them never falls back to the link or the root (a root `time` would otherwise
// pin every key of every link there). The traversal is still the parent, so
// `[name]` references inside a key's values resolve through it.
//
// Thread-safety: none (engine thread).

#include <optional>
#include <string_view>

#include "vistel/scene/geometry.h"
#include "vistel/scene/instance.h"

namespace vistel {

class LinkKey final : public Instance {
 public:
  // Copies the key's attributes. With `mirrored` (a link travelled backwards)
  // time and blend become the numbers 1 - time and 1 - blend (absent counts as
  // 0), and srcbuttons and dstbuttons trade places, as the link's views do.
  // `key` and `traversal` must outlive the instance.
  LinkKey(const KeyElement& key, Instance& traversal, bool mirrored);

  // Position along the link (absent: 0).
  double time();
  // The key's own attribute `name`; null when the key has none. Valid while
  // the key lives.
  ScriptValue* ownAttribute(std::string_view name);
  // The key quad from the key bytes; nothing when the key has fewer than 32.
  std::optional<KeyQuad> quad() const;
  bool hasQuad() const { return key_.hasQuad(); }
  const KeyElement& element() const { return key_; }

 private:
  const KeyElement& key_;
};

}  // namespace vistel
