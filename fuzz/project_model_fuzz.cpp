// Opens arbitrary bytes in the editor's project model and checks what a save
// promises: the written text reads back as the model of the original text
// (every element, attribute, key byte and point), and writing it again gives
// the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vistel/project/project_holder.h"
#include "vistel/project/project_model.h"

namespace {

using namespace vistel;

// A broken promise is a finding: abort so the fuzzer keeps the input.
void require(bool ok) {
  if (!ok) std::abort();
}

void describe(const ProjectElement& e, std::string& out);

template <class List>
void describeList(const List& list, std::string& out) {
  out += '[';
  for (const auto& item : list) describe(*item, out);
  out += ']';
}

void describe(const ProjectElement& e, std::string& out) {
  out += '<' + e.id + '|';
  for (const auto& [name, value] : e.attributes) out += name + '=' + value + ';';
  if (const auto* data = dynamic_cast<const DataElement*>(&e)) {
    out += "data" + std::to_string(data->dataLength) + ':';
    out.append(data->data.begin(), data->data.end());
  }
  if (const auto* script = dynamic_cast<const ScriptElement*>(&e)) {
    for (const ScriptAction& action : script->actions) {
      out += std::to_string(action.kind) + action.cond;
      for (const std::string& arg : action.args) out += ',' + arg;
    }
  }
  if (const auto* scripted = dynamic_cast<const ScriptedElement*>(&e)) {
    describeList(scripted->scripts, out);
  }
  if (const auto* shape = dynamic_cast<const ShapeElement*>(&e)) {
    for (const PointF& p : shape->points) out += std::to_string(p.x) + ',' + std::to_string(p.y);
  }
  if (const auto* view = dynamic_cast<const ViewElement*>(&e)) {
    for (const std::string& id : view->preload) out += id + ';';
    describeList(view->buttons, out);
    describeList(view->shapes, out);
    describeList(view->edges, out);
  }
  if (const auto* link = dynamic_cast<const LinkElement*>(&e)) describeList(link->keys, out);
  out += '>';
}

template <class T>
void describeTable(const ElementTable<T>& table, std::string& out) {
  out += '{';
  for (const auto& [id, element] : table) describe(*element, out);
  out += '}';
}

std::string modelOf(std::string_view text) {
  ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  const ProjectDocument* doc = holder.project();
  if (doc == nullptr) return "none";
  std::string out;
  describe(*doc, out);
  describeTable(doc->buttonTemplates, out);
  describeTable(doc->shapeTemplates, out);
  describeTable(doc->viewTemplates, out);
  describeTable(doc->views, out);
  describeTable(doc->links, out);
  describeTable(doc->embeds, out);
  describeTable(doc->lenses, out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ProjectModel model;
  if (model.open(text).error != OpenError::None) return 0;
  const std::string written = model.text();
  require(modelOf(written) == modelOf(text));
  ProjectModel again;
  require(again.open(written).error == OpenError::None);
  require(again.text() == written);
  return 0;
}
