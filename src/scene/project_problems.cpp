#include "vistel/scene/project_problems.h"

#include <deque>
#include <memory>
#include <set>

#include "vistel/scene/lens.h"
#include "vistel/scene/link_traversal.h"

namespace vistel {

namespace {

using Kind = ProjectProblem::Kind;
using Element = ProblemPlace::Element;

ProblemPlace place(Element element, std::string view, std::string link, std::size_t index) {
  ProblemPlace out;
  out.element = element;
  out.view = std::move(view);
  out.link = std::move(link);
  out.index = index;
  return out;
}

std::string quoted(const std::string& id) { return "\"" + id + "\""; }

const std::string* attribute(const ProjectElement& element, std::string_view name) {
  return element.findAttribute(name);
}

// Views reachable from the start view by entering edges: an edge makes its
// link's two views current.
std::set<std::string> reachedViews(const ProjectDocument& doc, const std::string& start) {
  std::set<std::string> reached;
  std::deque<std::string> pending{start};
  while (!pending.empty()) {
    const std::string id = pending.front();
    pending.pop_front();
    const ViewElement* view = doc.findView(id);
    if (view == nullptr || !reached.insert(id).second) continue;
    for (const auto& edge : view->edges) {
      const std::string* linkId = attribute(*edge, "link");
      const LinkElement* link = linkId ? doc.findLink(*linkId) : nullptr;
      if (link == nullptr) continue;
      for (const char* end : {"from", "to"}) {
        if (const std::string* other = attribute(*link, end)) pending.push_back(*other);
      }
    }
  }
  return reached;
}

}  // namespace

std::vector<ProjectProblem> findProjectProblems(const ProjectDocument& doc) {
  std::vector<ProjectProblem> out;
  const auto add = [&out](Kind kind, std::string message, ProblemPlace place) {
    out.push_back({kind, std::move(message), std::move(place)});
  };

  const std::string* start = attribute(doc, "startview");
  const bool startFound = start != nullptr && doc.findView(*start) != nullptr;
  if (start == nullptr || start->empty()) {
    add(Kind::NoStartView, "The project names no start view.", ProblemPlace{});
  } else if (!startFound) {
    add(Kind::NoStartView, "The start view " + quoted(*start) + " is not in the project.",
        ProblemPlace{});
  }
  const std::set<std::string> reached =
      startFound ? reachedViews(doc, *start) : std::set<std::string>{};

  for (const auto& [id, view] : doc.views) {
    const ProblemPlace here = place(Element::View, id, {}, 0);
    if (const std::string* lens = attribute(*view, "lens");
        lens != nullptr && *lens != "none" && !resolveLensProfile(*lens, &doc)) {
      add(Kind::UnknownLens,
          "View " + quoted(id) + " names the lens " + quoted(*lens) +
              ", which is no built-in lens and no complete <lens> of the project.",
          here);
    }
    if (startFound && reached.count(id) == 0) {
      add(Kind::UnreachedView, "No edge leads from the start view to view " + quoted(id) + ".",
          here);
    }
    for (std::size_t i = 0; i < view->edges.size(); ++i) {
      const ProjectElement& edge = *view->edges[i];
      const ProblemPlace at = place(Element::Edge, id, {}, i);
      const std::string* linkId = attribute(edge, "link");
      const LinkElement* link = linkId ? doc.findLink(*linkId) : nullptr;
      if (link == nullptr) {
        add(Kind::EdgeLinkMissing,
            "Edge " + std::to_string(i + 1) + " of view " + quoted(id) + " leads onto " +
                (linkId ? "the link " + quoted(*linkId) + ", which is not there." : "no link."),
            at);
        continue;
      }
      const std::string* direction = attribute(edge, "dir");
      const bool backward = direction != nullptr && *direction == "backward";
      const std::string* starts = attribute(*link, backward ? "to" : "from");
      if (starts == nullptr || *starts != id) {
        add(Kind::EdgeWrongEnd,
            "Edge " + std::to_string(i + 1) + " of view " + quoted(id) + " enters link " +
                quoted(link->id) + (backward ? " backward" : " forward") +
                ", which starts that travel at another view.",
            at);
      }
    }
  }

  Instance root(doc, nullptr, &doc.scripts);
  for (const auto& [id, link] : doc.links) {
    const ProblemPlace here = place(Element::Link, {}, id, 0);
    for (const char* end : {"from", "to"}) {
      const std::string* viewId = attribute(*link, end);
      if (viewId == nullptr || doc.findView(*viewId) == nullptr) {
        add(Kind::LinkViewMissing,
            "Link " + quoted(id) +
                (viewId
                     ? (std::string_view(end) == "from" ? " comes from view " : " goes to view ") +
                           quoted(*viewId) + ", which is not there."
                     : " has no " + std::string(end) + " view."),
            here);
      }
    }
    for (std::size_t i = 0; i < link->keys.size(); ++i) {
      if (!link->keys[i]->hasQuad()) {
        add(Kind::KeyWithoutBytes,
            "Key " + std::to_string(i + 1) + " of link " + quoted(id) + " holds no whole key.",
            place(Element::Key, {}, id, i));
      }
    }
    // The viewer's own rule: a traversal needs a key at its start and one
    // beyond its last position, in both directions.
    if (!LinkTraversal::create(*link, &root, Direction::Forward) ||
        !LinkTraversal::create(*link, &root, Direction::Backward)) {
      add(Kind::LinkKeysMissing,
          "Link " + quoted(id) +
              " cannot be travelled: it needs a whole key at time 0 and one at time 1.",
          here);
    }
  }
  return out;
}

}  // namespace vistel
