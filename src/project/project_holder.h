#pragma once

// Turns project text into a ProjectDocument. The loader never rejects a
// document: unknown or misplaced elements are skipped with their content, and a
// malformed document keeps whatever was built before the parser stopped.
//
// Untrusted text: external entities are never fetched or read; entity
// expansion, and attribute text copied from the DTD's attribute defaults, beyond
// 100 times the input (once 8 MiB are reached) stop the parse; more than 64
// entity declarations stop it too (the parser expands
// nested entities by recursion); nesting depth costs no stack in the loader.
// Whatever stops the parse keeps what was built before. Texts of any length are
// read whole (the parser takes at most 512 MiB per call, so longer ones are
// fed in pieces).
//
// Thread-safety: one holder per thread; load() runs entirely on the caller.

#include <cstddef>
#include <memory>

#include "vistel/project/document.h"

namespace vistel {

class ProjectHolder {
 public:
  // Parses `length` bytes of `text` as one complete document and keeps the
  // result (replacing any earlier one). Always returns true: project() is null
  // when the text held no <quilo> root element.
  bool load(const char* text, std::size_t length);

  // The document of the last load, or null. Valid until the next load() or the
  // holder's destruction.
  const ProjectDocument* project() const { return project_.get(); }

  // Hands the document over to the caller; the holder is empty afterwards.
  std::unique_ptr<ProjectDocument> release() { return std::move(project_); }

 private:
  std::unique_ptr<ProjectDocument> project_;
};

}  // namespace vistel
