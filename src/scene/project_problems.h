#pragma once

// What keeps a project from showing as its author means it: the checks an
// editor runs after every change. Each problem names the element it is about,
// so the editor can take the author there. The checks read the document the
// way the viewer does (start view, link traversal with its key rules, lens
// resolution), not by their own rules.
//
// Thread-safety: pure function over a document nobody changes meanwhile.

#include <cstddef>
#include <string>
#include <vector>

#include "vistel/project/document.h"

namespace vistel {

struct ProblemPlace {
  enum class Element { Root, View, Link, Key, Edge };
  Element element = Element::Root;
  std::string view;       // View, Edge: the view's id
  std::string link;       // Link, Key: the link's id
  std::size_t index = 0;  // Key: the key's number in the link; Edge: the edge's in the view
};

struct ProjectProblem {
  enum class Kind {
    NoStartView,      // the root names no start view, or one that is not there
    LinkViewMissing,  // a link's from or to names no view
    LinkKeysMissing,  // the viewer cannot travel the link: no usable key at its start or end
    KeyWithoutBytes,  // a key text that holds no whole key
    UnknownLens,      // a view's lens is no built-in name and no usable <lens>
    UnreachedView,    // no edge leads from the start view to this view
    EdgeLinkMissing,  // an edge onto a link that is not there
    EdgeWrongEnd,     // an edge of a view that is not the end its direction starts at
  };
  Kind kind;
  std::string message;  // one sentence for the author
  ProblemPlace place;
};

// Every problem of `document`, in document order of the tables: the root,
// then views by id (their lenses, edges and reachability), then links by id
// (their views and keys).
std::vector<ProjectProblem> findProjectProblems(const ProjectDocument& document);

}  // namespace vistel
