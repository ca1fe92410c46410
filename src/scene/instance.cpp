#include "vistel/scene/instance.h"

namespace vistel {

Instance::Instance(const ProjectElement& element, Instance* parent, const Scripts* scripts)
    : id_(element.id),
      parent_(parent),
      scope_(parent ? &parent->scope_ : nullptr),
      scripts_(scripts) {
  scope_.initFromAttributes(element);
}

std::span<const std::unique_ptr<ScriptElement>> Instance::scripts() const {
  if (scripts_ == nullptr) return {};
  return *scripts_;
}

bool Instance::hasScript(std::string_view event) const {
  for (const auto& script : scripts()) {
    if (script->id == event) return true;
  }
  return false;
}

}  // namespace vistel
