#pragma once

// The run-time object made from one element of the project document: the
// root, a view, a shape, an edge, a link traversal or a key. It carries the
// element's attributes as its own variables, each copied value interpolated
// in the parent's scope at creation, so lookups that miss here continue at the
// parent (shape or edge -> view -> root). Root, view and shape instances also
// refer to the element's scripts, which the scene's event dispatch runs.
//
// Instances refer to the document they were made from (scripts, points, key
// bytes); the document must outlive every use of them. Destroying an instance
// does not touch the document.
//
// Thread-safety: none; instances belong to the scene and the engine thread.

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/project/document.h"
#include "vistel/project/values.h"

namespace vistel {

class Instance {
 public:
  using Scripts = std::vector<std::unique_ptr<ScriptElement>>;

  // Copies `element`'s id and attributes (interpolated through `parent`, which
  // must outlive this instance; null for the root). `scripts` (may be null) is
  // the element's script list, referred to, not copied.
  Instance(const ProjectElement& element, Instance* parent, const Scripts* scripts = nullptr);
  virtual ~Instance() = default;
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  // The element's id ("" without one); ids are not variables.
  const std::string& id() const { return id_; }
  Instance* parent() const { return parent_; }
  VariableScope& scope() { return scope_; }

  // The element's scripts in document order; empty for elements without.
  std::span<const std::unique_ptr<ScriptElement>> scripts() const;
  // Whether one of them has exactly the id `event`.
  bool hasScript(std::string_view event) const;

 private:
  std::string id_;
  Instance* parent_;
  VariableScope scope_;
  const Scripts* scripts_;  // the document's; may be null
};

}  // namespace vistel
