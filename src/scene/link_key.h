#pragma once

// One <key> of the link being traversed: its variables (time, blend,
// srcbuttons, dstbuttons, ...; parent: the traversal) and the key's decoded
// bytes, referred to in the document, not copied.
//
// Thread-safety: none (engine thread).

#include <optional>

#include "vistel/scene/geometry.h"
#include "vistel/scene/instance.h"

namespace vistel {

class LinkKey final : public Instance {
 public:
  // Copies the key's attributes; with `mirrored` (a link travelled backwards)
  // time and blend become the numbers 1 - time and 1 - blend (absent counts as
  // 0). `key` and `traversal` must outlive the instance.
  LinkKey(const KeyElement& key, Instance& traversal, bool mirrored);

  // Position along the link (absent: 0).
  double time() { return scope().getNumber("time"); }
  // The key quad from the key bytes; nothing when the key has fewer than 32.
  std::optional<KeyQuad> quad() const;
  bool hasQuad() const { return key_.hasQuad(); }
  const KeyElement& element() const { return key_; }

 private:
  const KeyElement& key_;
};

}  // namespace vistel
