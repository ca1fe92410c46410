// Loads arbitrary bytes as a project and walks every part of the model, so
// that dangling or half-built elements show up under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "vistel/project/project_holder.h"

namespace {

using vistel::ProjectElement;

// A broken invariant is a finding: abort so the fuzzer keeps the input.
void require(bool ok) {
  if (!ok) std::abort();
}

std::size_t walkElement(const ProjectElement& e) {
  std::size_t sum = e.id.size();
  for (const auto& [name, value] : e.attributes) {
    require(name != "id");
    sum += name.size() + value.size();
    require(e.findAttribute(name) == &value);
  }
  if (const auto* data = dynamic_cast<const vistel::DataElement*>(&e)) {
    require(data->dataLength >= 0);
    require(data->data.size() == static_cast<std::size_t>(data->dataLength));
    for (const std::uint8_t b : data->data) sum += b;
  }
  if (const auto* script = dynamic_cast<const vistel::ScriptElement*>(&e)) {
    for (const vistel::ScriptAction& action : script->actions) {
      require(action.kind == vistel::ScriptAction::Set ||
              action.kind == vistel::ScriptAction::Play);
      require(action.args.size() % 2 == 0);
      sum += action.cond.size();
      for (const std::string& arg : action.args) sum += arg.size();
    }
  }
  if (const auto* scripted = dynamic_cast<const vistel::ScriptedElement*>(&e)) {
    for (const auto& s : scripted->scripts) sum += walkElement(*s);
  }
  if (const auto* shape = dynamic_cast<const vistel::ShapeElement*>(&e)) {
    for (const vistel::PointF& p : shape->points) sum += static_cast<std::size_t>(p.x == p.y);
  }
  if (const auto* view = dynamic_cast<const vistel::ViewElement*>(&e)) {
    for (const std::string& id : view->preload) {
      require(!id.empty());
      sum += id.size();
    }
    for (const auto& b : view->buttons) sum += walkElement(*b);
    for (const auto& s : view->shapes) sum += walkElement(*s);
    for (const auto& edge : view->edges) sum += walkElement(*edge);
  }
  if (const auto* link = dynamic_cast<const vistel::LinkElement*>(&e)) {
    for (const auto& k : link->keys) sum += walkElement(*k);
  }
  return sum;
}

template <class T>
std::size_t walkTable(const vistel::ElementTable<T>& table) {
  std::size_t sum = 0;
  for (const auto& [id, element] : table) {
    require(element != nullptr && element->id == id);
    sum += walkElement(*element);
  }
  return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vistel::ProjectHolder holder;
  require(holder.load(reinterpret_cast<const char*>(data), size));
  const vistel::ProjectDocument* doc = holder.project();
  if (doc == nullptr) return 0;
  std::size_t sum = walkElement(*doc);
  sum += walkTable(doc->buttonTemplates) + walkTable(doc->shapeTemplates) +
         walkTable(doc->viewTemplates);
  sum += walkTable(doc->views) + walkTable(doc->links) + walkTable(doc->embeds) +
         walkTable(doc->lenses);
  for (const auto& [id, view] : doc->views) require(doc->findView(id) == view.get());
  for (const auto& [id, link] : doc->links) require(doc->findLink(id) == link.get());
  for (const auto& [id, lens] : doc->lenses) require(doc->findLens(id) == lens.get());
  // Keep the walk from being optimised away.
  volatile std::size_t sink = sum;
  (void)sink;
  return 0;
}
