#pragma once

// The project as the editor holds it: the document as written (xml_tree.h),
// the edits an author makes to it, undo and redo, and the presets kept beside
// it in a parameters file.
//
// What the editor shows is always document(): the model the real project
// loader makes of text(), the very text a save writes. Edits find their
// element in the written document through the loader's own reading, so an
// edit reaches exactly the element the viewer would use (the first of two
// with the same id, never one the loader skips). Everything the editor does
// not edit (scripts, buttons, embeds, templates, comments, unknown elements)
// stays where it was. Key texts the editor writes always hold a whole key of
// finite numbers.
//
// Every edit that changes something is one undo step; an edit that is refused
// or changes nothing leaves the model and the undo history as they were.
//
// Thread-safety: none; one thread (the editor's user-interface thread).

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/project/document.h"
#include "vistel/project/xml_tree.h"

namespace vistel {

// What an edit came to.
enum class EditResult {
  Done,       // changed; one undo step
  Unchanged,  // already so; nothing recorded
  NotFound,   // no such view, link, key, edge or shape
  Refused,    // an argument was not acceptable (taken id, bad key text, ...)
};

// Where a new edge goes among the edges of its view. The first edge of the
// start view is the link the viewer enters.
enum class EdgePlacement { First, Last };

// Whether removing a view takes the links that start or end at it along
// (with the edges that lead onto them).
enum class LinkRemoval { WithLinks, KeepLinks };

// The attributes of a key the editor lets an author choose.
struct KeySettings {
  std::string blend;              // empty: not written
  bool sourceShapes = true;       // srcbuttons
  bool destinationShapes = true;  // dstbuttons
};

// A new link from view `from` to view `to`, with its start key (time 0, where
// the reference square lies in `from`'s corrected picture) and end key (time
// 1, in `to`'s), and an edge in each view: `from` enters it forward, `to`
// backward, so each view shows itself first.
struct LinkSpec {
  std::string id;  // empty: made from the two view ids
  std::string from;
  std::string to;
  std::string startKeyText;  // 44-character key texts
  std::string endKeyText;
  KeySettings startKey{"0", true, true};
  KeySettings endKey{"1", true, true};
  EdgePlacement fromEdge = EdgePlacement::Last;
  EdgePlacement toEdge = EdgePlacement::Last;
};

// A new shape of a view.
struct ShapeSpec {
  std::string id;
  std::vector<PointF> points;  // fractions 0..1 of the picture (projected) or frame (flat)
  bool projected = true;
  std::string lineColour = "#ffff0000";
};

// Why a text could not be opened.
enum class OpenError { None, Malformed, NotAProject };

struct OpenOutcome {
  OpenError error = OpenError::None;
  std::string message;  // for Malformed: the parser's "line N: reason"
};

// The parameters file kept beside a project: `NAME=VALUE` lines the viewers
// take with `--params`. The editor sets `Preset1` ... `Preset15`; every other
// line (comments, other properties) is kept in its place.
class PresetFile {
 public:
  static constexpr int kPresets = 15;

  // Reads a file's text; lines are kept as they are (a "\r" before the line
  // end dropped).
  static PresetFile parse(std::string_view text);

  // The text of preset `number` (1..15); empty when not set.
  std::string preset(int number) const;
  // Sets (or, with empty text, removes) preset `number`; false for a number
  // outside 1..15 or a text holding a line break.
  [[nodiscard]] bool setPreset(int number, std::string_view text);
  // The file's text; empty when it holds no line.
  std::string text() const;
  bool empty() const { return lines_.empty(); }

  friend bool operator==(const PresetFile&, const PresetFile&) = default;

 private:
  std::vector<std::string> lines_;
};

class ProjectModel {
 public:
  // A new project: a <quilo> root without views.
  ProjectModel();
  ~ProjectModel();
  ProjectModel(ProjectModel&&) noexcept;
  ProjectModel& operator=(ProjectModel&&) noexcept;

  // Replaces the model with the project `text` and the parameters file
  // `presets` (may be empty), clearing the undo history. Malformed XML, or a
  // root other than <quilo>, is refused and the model stays as it was.
  [[nodiscard]] OpenOutcome open(std::string_view text, std::string_view presets = {});

  // The indented text a save writes.
  std::string text() const { return writeXml(tree_); }
  // What the project loader makes of text(). Valid until the next edit,
  // undo, redo or open.
  const ProjectDocument& document() const { return *document_; }
  const PresetFile& presets() const { return presets_; }

  // ---- Edits ---------------------------------------------------------------

  // An attribute of the root (startview, title, ...); an empty value removes it.
  [[nodiscard]] EditResult setRootAttribute(std::string_view name, std::string_view value);

  // A new view with these attributes (written in this order, empty values
  // left out) after the last view. Refused for an empty or taken id. The first
  // view of a project without a start view becomes its start view.
  [[nodiscard]] EditResult addView(std::string_view id, std::string_view src, std::string_view fps,
                                   std::string_view lens);
  // An attribute of a view (not its id); an empty value removes it.
  [[nodiscard]] EditResult setViewAttribute(std::string_view view, std::string_view name,
                                            std::string_view value);
  // Gives a view another id and follows it everywhere it is named: the
  // start view, links' from and to, preload lists. Refused for an empty or
  // taken id.
  [[nodiscard]] EditResult renameView(std::string_view view, std::string_view newId);
  // Removes a view (its shapes and edges go with it) and, WithLinks, every
  // link from or to it and every edge that leads onto one of those links.
  [[nodiscard]] EditResult removeView(std::string_view view, LinkRemoval links);

  // A new link with its two keys and edges (see LinkSpec). Refused when a
  // view is missing, the views are the same, the id is taken or a key text
  // does not hold a whole key.
  [[nodiscard]] EditResult addLink(const LinkSpec& spec);
  // The texts of the link's start key (its first key at time 0) and end key
  // (its last key at time 1); a missing one is added (time 0 first, time 1
  // last). Refused when a text does not hold a whole key.
  [[nodiscard]] EditResult setLinkKeys(std::string_view link, std::string_view startKeyText,
                                       std::string_view endKeyText);
  // An attribute of the link's key number `key` (document order); an empty
  // value removes it.
  [[nodiscard]] EditResult setKeyAttribute(std::string_view link, std::size_t key,
                                           std::string_view name, std::string_view value);
  // Removes a link and every edge that leads onto it.
  [[nodiscard]] EditResult removeLink(std::string_view link);

  // An edge of `view` onto `link`: forward from the link's `from` view,
  // backward from its `to` view. Refused when the view is neither end.
  [[nodiscard]] EditResult addEdge(std::string_view view, std::string_view link,
                                   EdgePlacement placement);
  // Moves edge number `edge` of `view` to the first or last place.
  [[nodiscard]] EditResult moveEdge(std::string_view view, std::size_t edge,
                                    EdgePlacement placement);
  [[nodiscard]] EditResult removeEdge(std::string_view view, std::size_t edge);

  // A new shape after the view's last shape. Refused for non-finite points.
  [[nodiscard]] EditResult addShape(std::string_view view, const ShapeSpec& spec);
  // Replaces the points of the view's shape number `shape`.
  [[nodiscard]] EditResult setShapePoints(std::string_view view, std::size_t shape,
                                          const std::vector<PointF>& points);
  // An attribute of the shape (projected, linecolor, ...); empty removes it.
  [[nodiscard]] EditResult setShapeAttribute(std::string_view view, std::size_t shape,
                                             std::string_view name, std::string_view value);
  [[nodiscard]] EditResult removeShape(std::string_view view, std::size_t shape);

  // Preset `number` (1..15) of the parameters file; empty text clears it.
  [[nodiscard]] EditResult setPreset(int number, std::string_view text);

  // ---- Undo ----------------------------------------------------------------

  bool canUndo() const { return !undo_.empty(); }
  bool canRedo() const { return !redo_.empty(); }
  // False when there is nothing to undo (redo).
  bool undo();
  bool redo();

  // Counts every change (edits, undo, redo, open); for views that refresh.
  std::uint64_t revision() const { return revision_; }
  // Marks the current state as the one on disk.
  void markSaved() { savedState_ = stateId_; }
  // The state differs from the one last marked saved (or opened).
  bool modified() const { return savedState_ != stateId_; }

 private:
  struct State {
    XmlDocument tree;
    PresetFile presets;
    std::uint64_t id = 0;
  };
  // Path of child indices from the root element to a node.
  using NodePath = std::vector<std::size_t>;

  XmlNode* nodeOf(const ProjectElement* element);
  // Removes the element's node alone (an edge or a shape: nothing refers to it).
  EditResult removeLeaf(const ProjectElement* element);
  const ViewElement* view(std::string_view id) const { return document_->findView(id); }
  const LinkElement* link(std::string_view id) const { return document_->findLink(id); }
  // Runs `change` on a copy of the state; commits it as one undo step when it
  // returns Done and the text or presets differ, else drops it.
  template <class Change>
  EditResult edit(Change&& change);
  void reload();

  XmlDocument tree_;
  PresetFile presets_;
  std::unique_ptr<ProjectDocument> document_;
  std::map<const ProjectElement*, NodePath> paths_;  // every element of document_
  std::vector<State> undo_;
  std::vector<State> redo_;
  std::uint64_t revision_ = 0;
  std::uint64_t stateId_ = 0;  // names the current state
  std::uint64_t nextStateId_ = 1;
  std::uint64_t savedState_ = 0;
};

// The link's start key (its first key at time 0) and end key (its last key
// at time 1), by number; nothing when there is none. Times are read as the
// viewer reads them (absent: 0).
std::optional<std::size_t> startKeyIndex(const LinkElement& link);
std::optional<std::size_t> endKeyIndex(const LinkElement& link);

// Whether `text` is a key text holding a whole key: it decodes to at least 32
// bytes whose eight float32 values are finite.
[[nodiscard]] bool isWholeKeyText(std::string_view text);

}  // namespace vistel
