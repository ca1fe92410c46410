#include "vistel/scene/link_key.h"

#include <span>
#include <string>
#include <utility>

namespace vistel {

namespace {

// The key's id and attributes, srcbuttons and dstbuttons trading places (an
// absent one included) when the link is travelled backwards: the view whose
// shapes a key showed is at the other end then.
ProjectElement attributesOf(const KeyElement& key, bool mirrored) {
  ProjectElement copy;
  copy.id = key.id;
  copy.attributes = key.attributes;
  if (mirrored) {
    auto source = copy.attributes.extract(std::string("srcbuttons"));
    auto destination = copy.attributes.extract(std::string("dstbuttons"));
    if (source) {
      source.key() = "dstbuttons";
      copy.attributes.insert(std::move(source));
    }
    if (destination) {
      destination.key() = "srcbuttons";
      copy.attributes.insert(std::move(destination));
    }
  }
  return copy;
}

}  // namespace

LinkKey::LinkKey(const KeyElement& key, Instance& traversal, bool mirrored)
    : Instance(attributesOf(key, mirrored), &traversal), key_(key) {
  if (!mirrored) return;
  for (const char* name : {"time", "blend"}) {
    ScriptValue* own = ownAttribute(name);
    const double value = own ? own->toNumber() : 0.0;
    // An own variable first, so the number never lands in an ancestor's.
    scope().setVariable(name, "");
    scope().setNumber(name, 1 - value);
  }
}

double LinkKey::time() {
  ScriptValue* value = ownAttribute("time");
  return value ? value->toNumber() : 0.0;
}

ScriptValue* LinkKey::ownAttribute(std::string_view name) {
  const auto& own = scope().variables();
  const auto found = own.find(name);
  return found == own.end() ? nullptr : found->second.get();
}

std::optional<KeyQuad> LinkKey::quad() const {
  if (!hasQuad()) return std::nullopt;
  return keyQuadFromBytes(std::span<const std::uint8_t>(key_.data.data(), key_.data.size()));
}

}  // namespace vistel
