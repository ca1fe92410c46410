#pragma once

// The run-time side of a loaded project: the root instance, the one or two
// current views (source first, destination second) with their image
// subscriptions, the link being travelled between them, the queue of script
// events and the lens maps the renderer draws with.
//
// A typical pass of the engine thread: the navigator may startTraversal and
// setCurrentViews, then dispatchEvents runs the queued scripts, clearDisposal
// deletes the views that left during the pass (after their "onexit" ran),
// updateViews follows source changes and new pictures, and the renderer reads
// currentLink, currentView and lensMaps.
//
// Thread-safety: every operation runs on the engine thread, or on the host
// thread while loading a project when the engine thread is paused; none takes
// a lock of the scene's. Only the event queue inside is locked (raiseEvent may
// come from any thread). The image source manager locks internally.

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/imaging/image_source_manager.h"
#include "vistel/project/document.h"
#include "vistel/project/script_host.h"
#include "vistel/scene/event_queue.h"
#include "vistel/scene/instance.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/link_traversal.h"
#include "vistel/scene/view_instance.h"

namespace vistel {

class Scene {
 public:
  // An empty scene: no document, root, views or link. `sources` must outlive
  // the scene.
  explicit Scene(ImageSourceManager& sources);
  // Gives back the views' requests; does not touch the document, which may
  // already be gone.
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  // Switches to `document` (may be null; it must outlive its use here, until
  // the next rebuild or the scene's destruction). Every instance of the old
  // document goes at once (current views, views awaiting disposal, the link,
  // the root), with the events queued for them, unhandled; then the root is
  // instantiated and the lens maps follow the document. True when there is a
  // root, i.e. a document.
  bool rebuild(const ProjectDocument* document);

  // Makes the views named by `ids`, in order, the current views. A view
  // already current keeps its instance (no script runs). Others are
  // instantiated, subscribed to their source and sent "oninit" (then each of
  // their shapes). An id listed twice (a link from a view to itself) names one
  // instance for both places: one subscription, one "oninit", later one
  // "onexit". Views no longer current give their request back, wait in
  // disposal until clearDisposal, and are sent "onexit" (then their shapes).
  // An id naming no view leaves its place empty (currentView gives null there)
  // and makes the result false.
  bool setCurrentViews(const std::vector<std::string>& ids);

  // ViewInstance::update for each current view (once for a view in two
  // places); the ViewChange bits of all of them (0: nothing changed).
  std::uint32_t updateViews();
  // Deletes the views that left the current ones (and any events still
  // queued for them).
  void clearDisposal();

  // Ends the current traversal; then, for a non-empty `linkId`, starts one of
  // that link in `direction`. False, with no traversal, when no
  // link has that id or its keys cannot make a frame at every position (see
  // LinkTraversal::create). True, with no traversal, for an empty id.
  bool startTraversal(std::string_view linkId, Direction direction);

  // The frame at `link`'s position (clamping it; see LinkTraversal). The
  // caller owns the result.
  std::unique_ptr<TransitionFrame> transitionAt(LinkTraversal& link) { return link.transitionAt(); }
  bool showsSourceButtons(LinkTraversal& link) { return link.showsSourceButtons(); }
  bool showsDestinationButtons(LinkTraversal& link) { return link.showsDestinationButtons(); }

  // Queues `event` for `target` (nothing for null). Any thread.
  void raiseEvent(Instance* target, std::string_view event) {
    pendingActions_.raise(target, event);
  }
  // Handles and removes every queued event, oldest first: the first object on
  // the target's parent chain (shape -> view -> root) with a script of that id
  // runs all of its scripts of that id in document order, each in a fresh
  // ScriptContext; other objects' scripts do not run. Events no object
  // handles are dropped.
  void dispatchEvents(ScriptHost& host);
  std::size_t pendingEventCount() const { return pendingActions_.size(); }

  // The document of the last rebuild, or null.
  const ProjectDocument* document() const { return document_; }
  // The root instance, or null before a rebuild with a document.
  Instance* root() const { return root_.get(); }
  // Current views in order; an entry is null where an id named no view, and
  // one view may fill two places. Valid until the next setCurrentViews or
  // rebuild.
  std::span<ViewInstance* const> currentViews() const { return current_; }
  // Current view `index` (0: source or the only view, 1: destination), or null.
  ViewInstance* currentView(std::size_t index) const;
  // Views waiting for clearDisposal.
  std::size_t disposalCount() const { return disposal_.size(); }
  // The traversal, or null. Valid until the next startTraversal or rebuild.
  LinkTraversal* currentLink() const { return link_.get(); }
  LensMapCache& lensMaps() { return lensMaps_; }
  ImageSourceManager& sources() const { return sources_; }

 private:
  void raiseForView(ViewInstance& view, std::string_view event);
  void destroyView(std::unique_ptr<ViewInstance>& view);

  EventQueue pendingActions_;
  const ProjectDocument* document_ = nullptr;  // not owned
  ImageSourceManager& sources_;
  std::vector<std::unique_ptr<ViewInstance>> views_;  // each current view once
  std::vector<ViewInstance*> current_;                // places, into views_ (or null)
  std::vector<std::unique_ptr<ViewInstance>> disposal_;
  std::unique_ptr<LinkTraversal> link_;
  std::unique_ptr<Instance> root_;
  LensMapCache lensMaps_;
};

}  // namespace vistel
