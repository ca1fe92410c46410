#include "vistel/project/project_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "vistel/project/encoding.h"
#include "vistel/project/project_holder_p.h"
#include "vistel/project/values.h"

namespace vistel {

namespace {

// Why a parsed tree cannot be written back as UTF-8 XML: the first element or
// attribute name that XML does not take in UTF-8.
std::string unwritableReason(const XmlNode& node) {
  const auto fits = [](const std::string& element, const std::string& attribute) {
    std::string probe = "<" + element;
    if (!attribute.empty()) probe += " " + attribute + "=\"\"";
    return parseXml(probe + "/>").document.has_value();
  };
  if (node.kind == XmlNode::Kind::Element) {
    if (!fits(node.name, {})) {
      return "the element name <" + node.name + "> cannot be saved in UTF-8 XML";
    }
    for (const auto& [name, value] : node.attributes) {
      if (!fits("a", name)) {
        return "the attribute name \"" + name + "\" of <" + node.name +
               "> cannot be saved in UTF-8 XML";
      }
    }
  }
  for (const XmlNode& child : node.children) {
    std::string reason = unwritableReason(child);
    if (!reason.empty()) return reason;
  }
  return {};
}

using Kind = XmlNode::Kind;

constexpr std::string_view kPresetPrefix = "Preset";

// The number a preset line sets, or 0 for any other line.
int presetNumberOf(std::string_view line) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return 0;
  const std::string_view name = line.substr(0, equals);
  if (!name.starts_with(kPresetPrefix)) return 0;
  const std::string_view digits = name.substr(kPresetPrefix.size());
  if (digits.empty() || digits.size() > 2 || digits.front() == '0') return 0;
  int number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + (c - '0');
  }
  return number <= PresetFile::kPresets ? number : 0;
}

// The element's numeric attribute as the viewer reads it (absent: 0).
double numberAttribute(const ProjectElement& element, std::string_view name) {
  const std::string* text = element.findAttribute(name);
  if (text == nullptr) return 0;
  ScriptValue value;
  value.setText(*text);
  return value.toNumber();
}

// Sets an attribute, or removes it for an empty value.
void assignAttribute(XmlNode& node, std::string_view name, std::string_view value) {
  if (value.empty()) {
    (void)node.removeAttribute(name);
  } else {
    node.setAttribute(name, value);
  }
}

// Replaces the node's text children with `text`, keeping its other children.
void replaceText(XmlNode& node, std::string_view text) {
  std::erase_if(node.children, [](const XmlNode& child) { return child.kind == Kind::Text; });
  node.children.insert(node.children.begin(), XmlNode::textNode(std::string(text)));
}

XmlNode keyNode(std::string_view time, const KeySettings& settings, std::string_view keyText) {
  XmlNode key = XmlNode::element("key");
  key.setAttribute("time", time);
  if (!settings.blend.empty()) key.setAttribute("blend", settings.blend);
  key.setAttribute("srcbuttons", settings.sourceShapes ? "true" : "false");
  key.setAttribute("dstbuttons", settings.destinationShapes ? "true" : "false");
  key.children.push_back(XmlNode::textNode(std::string(keyText)));
  return key;
}

// Where a new child named `name` goes: after the last child of that name,
// or, when there is none, after the last child named in `after` (or first).
std::size_t insertionIndex(const XmlNode& parent, std::string_view name,
                           std::initializer_list<std::string_view> after) {
  for (std::size_t i = parent.children.size(); i-- > 0;) {
    const XmlNode& child = parent.children[i];
    if (child.kind == Kind::Element && child.name == name) return i + 1;
  }
  for (std::size_t i = parent.children.size(); i-- > 0;) {
    const XmlNode& child = parent.children[i];
    if (child.kind != Kind::Element) continue;
    if (std::find(after.begin(), after.end(), child.name) != after.end()) return i + 1;
  }
  return 0;
}

// Index in `parent` of its child element number `n` among those named `name`.
std::optional<std::size_t> nthChild(const XmlNode& parent, std::string_view name, std::size_t n) {
  for (std::size_t i = 0; i < parent.children.size(); ++i) {
    const XmlNode& child = parent.children[i];
    if (child.kind != Kind::Element || child.name != name) continue;
    if (n == 0) return i;
    --n;
  }
  return std::nullopt;
}

std::string formatPoints(const std::vector<PointF>& points) {
  std::string out;
  char buffer[64];
  for (const PointF& p : points) {
    // Four decimals: a ten-thousandth of a picture is below a pixel of any
    // camera the viewer takes.
    std::snprintf(buffer, sizeof buffer, "%s%.4f,%.4f", out.empty() ? "" : ";", double(p.x),
                  double(p.y));
    out += buffer;
  }
  return out;
}

bool finitePoints(const std::vector<PointF>& points) {
  return std::all_of(points.begin(), points.end(),
                     [](const PointF& p) { return std::isfinite(p.x) && std::isfinite(p.y); });
}

// Removes the nodes at `paths` from `tree`, later ones in document order
// first so that the earlier paths stay valid.
void eraseNodes(XmlDocument& tree, std::vector<std::vector<std::size_t>> paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
    if (it->empty()) continue;  // never the root
    XmlNode* parent = &tree.root();
    for (std::size_t i = 0; i + 1 < it->size(); ++i) parent = &parent->children[(*it)[i]];
    parent->children.erase(parent->children.begin() + static_cast<std::ptrdiff_t>(it->back()));
  }
}

// Maps the loader's start-tag numbers to positions in the written tree. The
// loader reads writeXml's text, whose elements come in the tree's pre-order.
class PathRecorder final : public detail::LoadObserver {
 public:
  explicit PathRecorder(const XmlNode& root) {
    std::vector<std::size_t> path;
    walk(root, path);
  }

  void made(std::size_t startTag, const ProjectElement& element) override {
    if (startTag < byTag_.size()) made_[&element] = startTag;
  }

  // Paths of the elements told, by element; only those of `document` kept.
  std::map<const ProjectElement*, std::vector<std::size_t>> pathsIn(const ProjectDocument& doc) {
    std::map<const ProjectElement*, std::vector<std::size_t>> out;
    const auto keep = [&](const ProjectElement& element) {
      const auto it = made_.find(&element);
      if (it != made_.end()) out.emplace(&element, byTag_[it->second]);
    };
    keep(doc);
    const auto keepView = [&](const ViewElement& view) {
      keep(view);
      for (const auto& shape : view.shapes) keep(*shape);
      for (const auto& edge : view.edges) keep(*edge);
      for (const auto& button : view.buttons) keep(*button);
    };
    for (const auto& [id, view] : doc.views) keepView(*view);
    for (const auto& [id, view] : doc.viewTemplates) keepView(*view);
    for (const auto& [id, link] : doc.links) {
      keep(*link);
      for (const auto& key : link->keys) keep(*key);
    }
    for (const auto& [id, lens] : doc.lenses) keep(*lens);
    return out;
  }

 private:
  void walk(const XmlNode& node, std::vector<std::size_t>& path) {
    byTag_.push_back(path);
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      if (node.children[i].kind != Kind::Element) continue;
      path.push_back(i);
      walk(node.children[i], path);
      path.pop_back();
    }
  }

  std::vector<std::vector<std::size_t>> byTag_;        // pre-order
  std::map<const ProjectElement*, std::size_t> made_;  // the last report wins
};

XmlDocument newProjectTree() {
  XmlDocument tree;
  tree.nodes.push_back(XmlNode::element("quilo"));
  return tree;
}

}  // namespace

// ---- Key texts ---------------------------------------------------------------

bool isWholeKeyText(std::string_view text) {
  const std::vector<std::uint8_t> bytes = decodeKeyText(text);
  if (bytes.size() < KeyElement::kQuadBytes) return false;
  for (std::size_t i = 0; i < 8; ++i) {
    float value;
    std::memcpy(&value, bytes.data() + 4 * i, sizeof value);  // little-endian, as the host
    if (!std::isfinite(value)) return false;
  }
  return true;
}

std::optional<std::size_t> startKeyIndex(const LinkElement& link) {
  for (std::size_t i = 0; i < link.keys.size(); ++i) {
    if (numberAttribute(*link.keys[i], "time") == 0) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> endKeyIndex(const LinkElement& link) {
  for (std::size_t i = link.keys.size(); i-- > 0;) {
    if (numberAttribute(*link.keys[i], "time") == 1) return i;
  }
  return std::nullopt;
}

// ---- Parameters file ----------------------------------------------------------

PresetFile PresetFile::parse(std::string_view text) {
  PresetFile file;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    file.lines_.emplace_back(line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return file;
}

std::string PresetFile::preset(int number) const {
  // A later line wins, as with every parameters file.
  std::string value;
  for (const std::string& line : lines_) {
    if (presetNumberOf(line) == number) value = line.substr(line.find('=') + 1);
  }
  return value;
}

bool PresetFile::setPreset(int number, std::string_view text) {
  if (number < 1 || number > kPresets) return false;
  if (text.find_first_of("\r\n") != std::string_view::npos) return false;
  const std::string line =
      std::string(kPresetPrefix) + std::to_string(number) + "=" + std::string(text);
  auto it = std::find_if(lines_.begin(), lines_.end(),
                         [number](const std::string& l) { return presetNumberOf(l) == number; });
  if (text.empty()) {
    // Every line setting it goes: the viewer would take the last one.
    std::erase_if(lines_, [number](const std::string& l) { return presetNumberOf(l) == number; });
    return true;
  }
  if (it != lines_.end()) {
    *it = line;
    // A later line for the same preset would win over this one.
    std::erase_if(lines_,
                  [&](const std::string& l) { return &l != &*it && presetNumberOf(l) == number; });
    return true;
  }
  // After the presets before it, so the file reads in order.
  auto after = lines_.end();
  for (auto i = lines_.begin(); i != lines_.end(); ++i) {
    const int other = presetNumberOf(*i);
    if (other != 0 && other < number) after = i + 1;
    if (other > number && after == lines_.end()) after = i;
  }
  lines_.insert(after, line);
  return true;
}

std::string PresetFile::text() const {
  std::string out;
  for (const std::string& line : lines_) {
    out += line;
    out += '\n';
  }
  return out;
}

// ---- Model ---------------------------------------------------------------------

ProjectModel::ProjectModel() : tree_(newProjectTree()) { reload(); }

ProjectModel::~ProjectModel() = default;
// The element addresses in paths_ stay valid: the document moves as a pointer.
ProjectModel::ProjectModel(ProjectModel&&) noexcept = default;
ProjectModel& ProjectModel::operator=(ProjectModel&&) noexcept = default;

OpenOutcome ProjectModel::open(std::string_view text, std::string_view presets) {
  XmlParseResult parsed = parseXml(text);
  if (!parsed.document) return {OpenError::Malformed, parsed.error};
  if (parsed.document->root().name != "quilo") {
    return {OpenError::NotAProject,
            "the root element is <" + parsed.document->root().name + ">, not <quilo>"};
  }
  // What would be saved must read back. Expat takes a few ISO-8859-1 letters
  // (ª, µ, º) in names that UTF-8 XML does not allow; such a project would
  // lose everything after that name when saved, so it is not opened at all.
  if (!parseXml(writeXml(*parsed.document)).document) {
    std::string reason = unwritableReason(parsed.document->root());
    return {OpenError::Malformed,
            reason.empty() ? "the project cannot be saved again as UTF-8 XML" : std::move(reason)};
  }
  tree_ = std::move(*parsed.document);
  presets_ = PresetFile::parse(presets);
  undo_.clear();
  redo_.clear();
  stateId_ = nextStateId_++;
  savedState_ = stateId_;
  ++revision_;
  reload();
  return {};
}

void ProjectModel::reload() {
  const std::string written = writeXml(tree_);
  PathRecorder recorder(tree_.root());
  document_ =
      detail::loadProjectText(written.data(), written.size(), detail::kParseChunkBytes, &recorder);
  // The tree always has a <quilo> root, so the loader always makes a document.
  if (!document_) document_ = std::make_unique<ProjectDocument>();
  paths_ = recorder.pathsIn(*document_);
}

XmlNode* ProjectModel::nodeOf(const ProjectElement* element) {
  if (element == nullptr) return nullptr;
  const auto it = paths_.find(element);
  if (it == paths_.end()) return nullptr;
  XmlNode* node = &tree_.root();
  for (std::size_t index : it->second) node = &node->children[index];
  return node;
}

template <class Change>
EditResult ProjectModel::edit(Change&& change) {
  State before{tree_, presets_, stateId_};
  const std::string textBefore = writeXml(tree_);
  const EditResult result = change();
  if (result != EditResult::Done || (writeXml(tree_) == textBefore && presets_ == before.presets)) {
    tree_ = std::move(before.tree);
    presets_ = std::move(before.presets);
    return result == EditResult::Done ? EditResult::Unchanged : result;
  }
  undo_.push_back(std::move(before));
  redo_.clear();
  stateId_ = nextStateId_++;
  ++revision_;
  reload();
  return EditResult::Done;
}

bool ProjectModel::undo() {
  if (undo_.empty()) return false;
  redo_.push_back({std::move(tree_), std::move(presets_), stateId_});
  State state = std::move(undo_.back());
  undo_.pop_back();
  tree_ = std::move(state.tree);
  presets_ = std::move(state.presets);
  stateId_ = state.id;
  ++revision_;
  reload();
  return true;
}

bool ProjectModel::redo() {
  if (redo_.empty()) return false;
  undo_.push_back({std::move(tree_), std::move(presets_), stateId_});
  State state = std::move(redo_.back());
  redo_.pop_back();
  tree_ = std::move(state.tree);
  presets_ = std::move(state.presets);
  stateId_ = state.id;
  ++revision_;
  reload();
  return true;
}

EditResult ProjectModel::setRootAttribute(std::string_view name, std::string_view value) {
  if (name.empty() || name == "id") return EditResult::Refused;
  return edit([&] {
    assignAttribute(tree_.root(), name, value);
    return EditResult::Done;
  });
}

EditResult ProjectModel::addView(std::string_view id, std::string_view src, std::string_view fps,
                                 std::string_view lens) {
  if (id.empty() || view(id) != nullptr) return EditResult::Refused;
  return edit([&] {
    XmlNode& root = tree_.root();
    XmlNode node = XmlNode::element("view");
    node.setAttribute("id", id);
    if (!src.empty()) node.setAttribute("src", src);
    if (!fps.empty()) node.setAttribute("fps", fps);
    if (!lens.empty()) node.setAttribute("lens", lens);
    node.blankLineBefore = true;
    // After the last view of the scene (a view inside <templates> is none).
    std::size_t at = 0;
    for (std::size_t i = 0; i < root.children.size(); ++i) {
      const XmlNode& child = root.children[i];
      if (child.kind == Kind::Element && child.name == "view") at = i + 1;
    }
    if (at == 0) {
      // Before the first link, lens or embed, after scripts and the like.
      at = root.children.size();
      for (std::size_t i = 0; i < root.children.size(); ++i) {
        const XmlNode& child = root.children[i];
        if (child.kind == Kind::Element &&
            (child.name == "link" || child.name == "lens" || child.name == "embed")) {
          at = i;
          break;
        }
      }
    }
    root.children.insert(root.children.begin() + static_cast<std::ptrdiff_t>(at), std::move(node));
    const std::string* start = root.attribute("startview");
    if (start == nullptr || start->empty() || document_->findView(*start) == nullptr) {
      root.setAttribute("startview", id);
    }
    return EditResult::Done;
  });
}

EditResult ProjectModel::setViewAttribute(std::string_view id, std::string_view name,
                                          std::string_view value) {
  if (name.empty() || name == "id") return EditResult::Refused;
  XmlNode* node = nodeOf(view(id));
  if (node == nullptr) return EditResult::NotFound;
  return edit([&] {
    assignAttribute(*node, name, value);
    return EditResult::Done;
  });
}

EditResult ProjectModel::renameView(std::string_view id, std::string_view newId) {
  XmlNode* node = nodeOf(view(id));
  if (node == nullptr) return EditResult::NotFound;
  if (newId.empty() || (newId != id && view(newId) != nullptr)) return EditResult::Refused;
  const std::string oldName(id);
  std::vector<XmlNode*> links;
  for (const auto& [linkId, element] : document_->links) {
    if (XmlNode* linkNode = nodeOf(element.get())) links.push_back(linkNode);
  }
  std::vector<XmlNode*> views;
  for (const auto& [viewId, element] : document_->views) {
    if (XmlNode* viewNode = nodeOf(element.get())) views.push_back(viewNode);
  }
  return edit([&] {
    node->setAttribute("id", newId);
    XmlNode& root = tree_.root();
    if (const std::string* start = root.attribute("startview"); start && *start == oldName) {
      root.setAttribute("startview", newId);
    }
    for (XmlNode* linkNode : links) {
      for (const char* end : {"from", "to"}) {
        const std::string* value = linkNode->attribute(end);
        if (value && *value == oldName) linkNode->setAttribute(end, newId);
      }
    }
    // Preload lists name views too (white space in them is no part of a name).
    const auto renameIn = [&](auto&& self, XmlNode& parent) -> void {
      for (XmlNode& child : parent.children) {
        if (child.kind != Kind::Element) continue;
        if (child.name != "preload") {
          self(self, child);
          continue;
        }
        std::string text;
        for (char c : child.ownText()) {
          if (static_cast<signed char>(c) > 32) text += c;
        }
        std::string renamed;
        bool changed = false;
        std::size_t from = 0;
        while (from <= text.size()) {
          const std::size_t semi = std::min(text.find(';', from), text.size());
          std::string piece = text.substr(from, semi - from);
          if (piece == oldName) {
            piece = std::string(newId);
            changed = true;
          }
          renamed += piece;
          if (semi < text.size()) renamed += ';';
          from = semi + 1;
        }
        if (changed) replaceText(child, renamed);
      }
    };
    for (XmlNode* viewNode : views) renameIn(renameIn, *viewNode);
    return EditResult::Done;
  });
}

EditResult ProjectModel::removeView(std::string_view id, LinkRemoval links) {
  const ViewElement* element = view(id);
  if (element == nullptr) return EditResult::NotFound;
  std::vector<NodePath> doomed{paths_.at(element)};
  if (links == LinkRemoval::WithLinks) {
    std::vector<std::string> gone;
    for (const auto& [linkId, link] : document_->links) {
      const std::string* from = link->findAttribute("from");
      const std::string* to = link->findAttribute("to");
      if ((from && *from == id) || (to && *to == id)) {
        doomed.push_back(paths_.at(link.get()));
        gone.push_back(linkId);
      }
    }
    for (const auto& [viewId, other] : document_->views) {
      for (const auto& edge : other->edges) {
        const std::string* onto = edge->findAttribute("link");
        if (onto && std::find(gone.begin(), gone.end(), *onto) != gone.end()) {
          doomed.push_back(paths_.at(edge.get()));
        }
      }
    }
  }
  return edit([&] {
    eraseNodes(tree_, doomed);
    return EditResult::Done;
  });
}

EditResult ProjectModel::addLink(const LinkSpec& spec) {
  const ViewElement* from = view(spec.from);
  const ViewElement* to = view(spec.to);
  if (from == nullptr || to == nullptr || spec.from == spec.to) return EditResult::Refused;
  if (!isWholeKeyText(spec.startKeyText) || !isWholeKeyText(spec.endKeyText)) {
    return EditResult::Refused;
  }
  std::string id = spec.id.empty() ? spec.from + spec.to : spec.id;
  if (spec.id.empty()) {
    for (int n = 2; link(id) != nullptr; ++n) id = spec.from + spec.to + std::to_string(n);
  } else if (link(id) != nullptr) {
    return EditResult::Refused;
  }
  XmlNode* fromNode = nodeOf(from);
  XmlNode* toNode = nodeOf(to);
  if (fromNode == nullptr || toNode == nullptr) return EditResult::NotFound;
  return edit([&] {
    const auto addEdgeTo = [&id](XmlNode& viewNode, const char* direction,
                                 EdgePlacement placement) {
      XmlNode edge = XmlNode::element("edge");
      edge.setAttribute("link", id);
      edge.setAttribute("dir", direction);
      std::size_t at;
      if (placement == EdgePlacement::First) {
        at = nthChild(viewNode, "edge", 0).value_or(0);
      } else {
        at = insertionIndex(viewNode, "edge", {});
      }
      viewNode.children.insert(viewNode.children.begin() + static_cast<std::ptrdiff_t>(at),
                               std::move(edge));
    };
    // The view nodes are siblings, so inserting into one leaves the other in place.
    addEdgeTo(*fromNode, "forward", spec.fromEdge);
    addEdgeTo(*toNode, "backward", spec.toEdge);

    XmlNode link = XmlNode::element("link");
    link.setAttribute("id", id);
    link.setAttribute("from", spec.from);
    link.setAttribute("to", spec.to);
    link.blankLineBefore = true;
    link.children.push_back(keyNode("0", spec.startKey, spec.startKeyText));
    link.children.push_back(keyNode("1", spec.endKey, spec.endKeyText));
    XmlNode& root = tree_.root();
    const std::size_t at = insertionIndex(root, "link", {"view", "templates", "script"});
    root.children.insert(root.children.begin() + static_cast<std::ptrdiff_t>(at), std::move(link));
    return EditResult::Done;
  });
}

EditResult ProjectModel::setLinkKeys(std::string_view id, std::string_view startKeyText,
                                     std::string_view endKeyText) {
  const LinkElement* element = link(id);
  XmlNode* node = nodeOf(element);
  if (node == nullptr) return EditResult::NotFound;
  if (!isWholeKeyText(startKeyText) || !isWholeKeyText(endKeyText)) return EditResult::Refused;
  const std::optional<std::size_t> first = startKeyIndex(*element);
  const std::optional<std::size_t> last = endKeyIndex(*element);
  XmlNode* start = first ? nodeOf(element->keys[*first].get()) : nullptr;
  XmlNode* end = last ? nodeOf(element->keys[*last].get()) : nullptr;
  return edit([&] {
    // Texts first: adding a key below moves the children of the link.
    if (start) replaceText(*start, startKeyText);
    if (end) replaceText(*end, endKeyText);
    if (!start) {
      node->children.insert(node->children.begin(), keyNode("0", {"0"}, startKeyText));
    }
    if (!end) node->children.push_back(keyNode("1", {"1"}, endKeyText));
    return EditResult::Done;
  });
}

EditResult ProjectModel::setKeyAttribute(std::string_view id, std::size_t key,
                                         std::string_view name, std::string_view value) {
  const LinkElement* element = link(id);
  if (element == nullptr || key >= element->keys.size()) return EditResult::NotFound;
  if (name.empty() || name == "id") return EditResult::Refused;
  XmlNode* node = nodeOf(element->keys[key].get());
  if (node == nullptr) return EditResult::NotFound;
  return edit([&] {
    assignAttribute(*node, name, value);
    return EditResult::Done;
  });
}

EditResult ProjectModel::removeLink(std::string_view id) {
  const LinkElement* element = link(id);
  if (element == nullptr) return EditResult::NotFound;
  std::vector<NodePath> doomed{paths_.at(element)};
  for (const auto& [viewId, v] : document_->views) {
    for (const auto& edge : v->edges) {
      const std::string* onto = edge->findAttribute("link");
      if (onto && *onto == id) doomed.push_back(paths_.at(edge.get()));
    }
  }
  return edit([&] {
    eraseNodes(tree_, doomed);
    return EditResult::Done;
  });
}

EditResult ProjectModel::addEdge(std::string_view viewId, std::string_view linkId,
                                 EdgePlacement placement) {
  const ViewElement* element = view(viewId);
  const LinkElement* target = link(linkId);
  if (element == nullptr || target == nullptr) return EditResult::NotFound;
  const std::string* from = target->findAttribute("from");
  const std::string* to = target->findAttribute("to");
  const char* direction = from && *from == viewId ? "forward"
                          : to && *to == viewId   ? "backward"
                                                  : nullptr;
  if (direction == nullptr) return EditResult::Refused;
  XmlNode* node = nodeOf(element);
  if (node == nullptr) return EditResult::NotFound;
  return edit([&] {
    XmlNode edge = XmlNode::element("edge");
    edge.setAttribute("link", linkId);
    edge.setAttribute("dir", direction);
    const std::size_t at = placement == EdgePlacement::First
                               ? nthChild(*node, "edge", 0).value_or(0)
                               : insertionIndex(*node, "edge", {});
    node->children.insert(node->children.begin() + static_cast<std::ptrdiff_t>(at),
                          std::move(edge));
    return EditResult::Done;
  });
}

EditResult ProjectModel::moveEdge(std::string_view viewId, std::size_t edge,
                                  EdgePlacement placement) {
  const ViewElement* element = view(viewId);
  if (element == nullptr || edge >= element->edges.size()) return EditResult::NotFound;
  XmlNode* node = nodeOf(element);
  const auto& path = paths_.find(element->edges[edge].get());
  if (node == nullptr || path == paths_.end()) return EditResult::NotFound;
  const std::size_t index = path->second.back();
  // The loader takes edges from anywhere inside the view; only its own
  // children are moved among themselves.
  if (path->second.size() != paths_.at(element).size() + 1) return EditResult::Refused;
  return edit([&] {
    XmlNode moved = std::move(node->children[index]);
    node->children.erase(node->children.begin() + static_cast<std::ptrdiff_t>(index));
    const std::size_t at = placement == EdgePlacement::First
                               ? nthChild(*node, "edge", 0).value_or(0)
                               : insertionIndex(*node, "edge", {});
    node->children.insert(node->children.begin() + static_cast<std::ptrdiff_t>(at),
                          std::move(moved));
    return EditResult::Done;
  });
}

EditResult ProjectModel::removeLeaf(const ProjectElement* element) {
  const auto path = paths_.find(element);
  if (path == paths_.end()) return EditResult::NotFound;
  return edit([&] {
    eraseNodes(tree_, {path->second});
    return EditResult::Done;
  });
}

EditResult ProjectModel::removeEdge(std::string_view viewId, std::size_t edge) {
  const ViewElement* element = view(viewId);
  if (element == nullptr || edge >= element->edges.size()) return EditResult::NotFound;
  return removeLeaf(element->edges[edge].get());
}

EditResult ProjectModel::addShape(std::string_view viewId, const ShapeSpec& spec) {
  XmlNode* node = nodeOf(view(viewId));
  if (node == nullptr) return EditResult::NotFound;
  if (!finitePoints(spec.points)) return EditResult::Refused;
  return edit([&] {
    XmlNode shape = XmlNode::element("shape");
    if (!spec.id.empty()) shape.setAttribute("id", spec.id);
    if (!spec.lineColour.empty()) shape.setAttribute("linecolor", spec.lineColour);
    shape.setAttribute("projected", spec.projected ? "true" : "false");
    XmlNode points = XmlNode::element("points");
    points.children.push_back(XmlNode::textNode(formatPoints(spec.points)));
    shape.children.push_back(std::move(points));
    const std::size_t at = insertionIndex(*node, "shape", {"edge", "preload", "button"});
    node->children.insert(node->children.begin() + static_cast<std::ptrdiff_t>(at),
                          std::move(shape));
    return EditResult::Done;
  });
}

EditResult ProjectModel::setShapePoints(std::string_view viewId, std::size_t shape,
                                        const std::vector<PointF>& points) {
  const ViewElement* element = view(viewId);
  if (element == nullptr || shape >= element->shapes.size()) return EditResult::NotFound;
  XmlNode* node = nodeOf(element->shapes[shape].get());
  if (node == nullptr) return EditResult::NotFound;
  if (!finitePoints(points)) return EditResult::Refused;
  return edit([&] {
    // The loader appends the text of every <points> inside the shape, and
    // text written straight into the shape joins the text that follows it:
    // one <points> child and no loose text leave exactly these points.
    std::erase_if(node->children, [](const XmlNode& child) {
      return child.kind == Kind::Text && !child.isBlankText();
    });
    const auto first = nthChild(*node, "points", 0);
    std::erase_if(node->children, [](const XmlNode& child) {
      return child.kind == Kind::Element && child.name == "points";
    });
    XmlNode list = XmlNode::element("points");
    list.children.push_back(XmlNode::textNode(formatPoints(points)));
    const std::size_t at = std::min(first.value_or(0), node->children.size());
    node->children.insert(node->children.begin() + static_cast<std::ptrdiff_t>(at),
                          std::move(list));
    return EditResult::Done;
  });
}

EditResult ProjectModel::setShapeAttribute(std::string_view viewId, std::size_t shape,
                                           std::string_view name, std::string_view value) {
  const ViewElement* element = view(viewId);
  if (element == nullptr || shape >= element->shapes.size()) return EditResult::NotFound;
  if (name.empty()) return EditResult::Refused;
  XmlNode* node = nodeOf(element->shapes[shape].get());
  if (node == nullptr) return EditResult::NotFound;
  return edit([&] {
    assignAttribute(*node, name, value);
    return EditResult::Done;
  });
}

EditResult ProjectModel::removeShape(std::string_view viewId, std::size_t shape) {
  const ViewElement* element = view(viewId);
  if (element == nullptr || shape >= element->shapes.size()) return EditResult::NotFound;
  return removeLeaf(element->shapes[shape].get());
}

EditResult ProjectModel::setPreset(int number, std::string_view text) {
  if (number < 1 || number > PresetFile::kPresets) return EditResult::Refused;
  if (text.find_first_of("\r\n") != std::string_view::npos) return EditResult::Refused;
  return edit([&] {
    (void)presets_.setPreset(number, text);
    return EditResult::Done;
  });
}

}  // namespace vistel
