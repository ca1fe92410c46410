#pragma once

// The run-time side of one <view> in the scene's current views: its variables
// (parent: the root), its subscription to the image source named by `src`,
// the shapes and edges made from the element, and the sources of the views
// its preload list names.
//
// Thread-safety: none; the engine thread owns it (the host thread may build
// and drop views while loading a project, when the engine thread is paused).

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vistel/imaging/image_source_manager.h"
#include "vistel/scene/instance.h"
#include "vistel/scene/shape_instance.h"

namespace vistel {

class ViewInstance final : public Instance {
 public:
  // Makes the view's edges and shapes (document order, this view as their
  // parent) and lists the preload sources: the `src` of each view `document`
  // finds for an id of the preload list, in order; ids naming no view and views
  // without `src` are skipped. `view`, `root`, `document` and `sources` must
  // outlive the instance. Subscribes to nothing yet (see subscribe).
  ViewInstance(const ViewElement& view, Instance& root, const ProjectDocument& document,
               ImageSourceManager& sources);
  // Gives the request back, if it still holds one.
  ~ViewInstance() override;

  // Entering the scene: acquires the source named by `src` (remembered; a view
  // without `src`, or with an empty one, has no source), sets the request's
  // frame rate from `fps`, then hints every preload source in order.
  void subscribe();
  // Leaving the scene: gives the request back (no effect without one).
  void releaseSource();
  // One pass of the scene's updateViews: follows a changed `src` (release, then
  // acquire the new name), a changed `fps`, takes a look at the current
  // picture's timestamp and says what the view's camera needs said
  // (caption()). True when the source changed, a newer picture came or the
  // caption changed.
  bool update();

  // The subscription, owned by the image source manager; null without a
  // source. Valid until releaseSource(), update() or destruction.
  SourceRequest* request() const { return request_; }
  const std::string& rememberedSrc() const { return rememberedSrc_; }
  std::uint32_t lastTimestamp() const { return lastTimestamp_; }
  // What the view says about its camera as of the last update
  // (source_caption.h): empty, why it has no picture, or how old its stale
  // picture is. captionOverPicture() tells the last from the others.
  const std::string& caption() const { return caption_; }
  bool captionOverPicture() const { return captionOverPicture_; }
  std::span<const std::string> preloadSources() const { return preloadSources_; }
  std::span<const std::unique_ptr<ShapeInstance>> shapes() const { return shapes_; }
  std::span<const std::unique_ptr<Instance>> edges() const { return edges_; }

 private:
  std::string currentSrc();  // `src` now, "" when absent
  void acquire();            // a request for rememberedSrc_, with no frame rate yet

  ImageSourceManager& sources_;
  SourceRequest* request_ = nullptr;  // owned by sources_
  std::string rememberedSrc_;
  std::uint32_t lastTimestamp_ = 0;
  std::string caption_;
  bool captionOverPicture_ = false;
  std::vector<std::string> preloadSources_;
  std::vector<std::unique_ptr<ShapeInstance>> shapes_;
  std::vector<std::unique_ptr<Instance>> edges_;
};

}  // namespace vistel
