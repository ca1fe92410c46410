#include "vistel/scene/scene.h"

#include <algorithm>
#include <utility>

#include "vistel/project/script_context.h"

namespace vistel {

Scene::Scene(ImageSourceManager& sources) : sources_(sources) {}

Scene::~Scene() {
  // Instances refer to their parents; children go first.
  link_.reset();
  current_.clear();
  views_.clear();
  disposal_.clear();
  root_.reset();
}

ViewInstance* Scene::currentView(std::size_t index) const {
  return index < current_.size() ? current_[index] : nullptr;
}

bool Scene::rebuild(const ProjectDocument* document) {
  link_.reset();
  current_.clear();
  for (auto& view : views_) destroyView(view);
  views_.clear();
  clearDisposal();
  if (root_) {
    pendingActions_.discard(root_.get());
    root_.reset();
  }
  document_ = document;
  lensMaps_.setDocument(document);
  if (document) root_ = std::make_unique<Instance>(*document, nullptr, &document->scripts);
  return root_ != nullptr;
}

bool Scene::setCurrentViews(const std::vector<std::string>& ids) {
  std::vector<std::unique_ptr<ViewInstance>> views;
  std::vector<ViewInstance*> places;
  places.reserve(ids.size());
  bool allFound = true;
  const auto find = [](std::vector<std::unique_ptr<ViewInstance>>& list, const std::string& id) {
    return std::find_if(list.begin(), list.end(),
                        [&id](const auto& v) { return v && v->id() == id; });
  };
  for (const std::string& id : ids) {
    ViewInstance* view = nullptr;
    if (auto named = find(views, id); named != views.end()) {
      view = named->get();  // named earlier in this list: the same instance
    } else if (auto current = find(views_, id); current != views_.end()) {
      views.push_back(std::move(*current));
      view = views.back().get();
    } else {
      const ViewElement* element = document_ ? document_->findView(id) : nullptr;
      if (element && root_) {
        views.push_back(std::make_unique<ViewInstance>(*element, *root_, *document_, sources_));
        view = views.back().get();
        view->subscribe();
        raiseForView(*view, "oninit");
      } else {
        allFound = false;
      }
    }
    places.push_back(view);
  }
  for (auto& old : views_) {
    if (!old) continue;
    old->releaseSource();
    ViewInstance& leaving = *old;
    disposal_.push_back(std::move(old));
    raiseForView(leaving, "onexit");
  }
  views_ = std::move(views);
  current_ = std::move(places);
  return allFound;
}

std::uint32_t Scene::updateViews() {
  std::uint32_t changed = 0;
  for (auto& view : views_) changed |= view->update();
  return changed;
}

void Scene::clearDisposal() {
  for (auto& view : disposal_) destroyView(view);
  disposal_.clear();
}

bool Scene::startTraversal(std::string_view linkId, Direction direction) {
  link_.reset();
  if (linkId.empty()) return true;
  const LinkElement* link = document_ ? document_->findLink(linkId) : nullptr;
  if (link == nullptr) return false;
  link_ = LinkTraversal::create(*link, root_.get(), direction);
  return link_ != nullptr;
}

void Scene::dispatchEvents(ScriptHost& host) {
  while (std::optional<PendingEvent> event = pendingActions_.take()) {
    Instance* owner = event->target;
    while (owner && !owner->hasScript(event->name)) owner = owner->parent();
    if (owner == nullptr) continue;
    for (const auto& script : owner->scripts()) {
      if (script->id != event->name) continue;
      ScriptContext context(*script, owner->scope());
      context.run(host);
    }
  }
}

void Scene::raiseForView(ViewInstance& view, std::string_view event) {
  pendingActions_.raise(&view, event);
  for (const auto& shape : view.shapes()) pendingActions_.raise(shape.get(), event);
}

void Scene::destroyView(std::unique_ptr<ViewInstance>& view) {
  if (!view) return;
  pendingActions_.discard(view.get());
  for (const auto& shape : view->shapes()) pendingActions_.discard(shape.get());
  view.reset();
}

}  // namespace vistel
