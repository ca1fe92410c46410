#pragma once

// Holds the viewer's zoom and pan, queues the target positions the host and
// clicks ask for, and turns each into a motion of fixed duration in which the
// progress along the current link, the pan and the zoom move together on one
// smoothstep curve (the zoom so that the visible area, not the magnification,
// changes evenly). Click-to-go travels to the progress at which the clicked
// scene point lies nearest the frame centre, panned to sit there.
//
// View coordinates: window pixel (px, py) of a width x height output shows
// view point ((px / width - 0.5) / zoom + xOffset, (py / height - 0.5) / zoom +
// yOffset); the frame centre shows (xOffset, yOffset).
//
// Thread-safety: post() may be called from any thread; the queue is guarded
// by a lock held only for the append and for taking the first record. zoom,
// xOffset and yOffset are atomic, read and written whole by the engine thread
// (step) and the host thread (the engine's setZoom). step() and render() run
// on the engine thread only, with the engine's pass lock held.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "vistel/engine/navigator_host.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/scene/geometry.h"

namespace vistel {

class LinkTraversal;

class Navigator final {
 public:
  // Halvings of the click-to-go search.
  static constexpr int kSearchSteps = 24;
  // Horizontal weight of the search's distance: the 16:9 frame aspect.
  static constexpr float kAspectWeight = 1.7777778f;

  // Zoom 1, no pan, empty queue, idle; then enters the first edge of the
  // scene's first current view (nothing when it has none). `host` (the
  // engine) must outlive the navigator. Host thread, with the engine's pass
  // lock held.
  explicit Navigator(NavigatorHost& host);
  // Deletes the queued positions.
  ~Navigator();
  Navigator(const Navigator&) = delete;
  Navigator& operator=(const Navigator&) = delete;

  // Appends `position` to the queue; the navigator owns it now. Null is
  // ignored. Any thread.
  void post(std::unique_ptr<NavPosition> position);
  // One pass: pushes pan and zoom to the renderer, then runs click-to-go if a
  // PointerDown arrived this pass, else starts the first queued motion when
  // idle, else moves the running one. Engine thread.
  void step();
  // Renders one frame through the host's renderer and sink; the sink's result.
  std::int32_t render();

  float zoom() const { return zoom_.load(std::memory_order_relaxed); }
  // Takes effect at once and reaches the renderer at the next step. Any thread.
  void setZoom(float value) { zoom_.store(value, std::memory_order_relaxed); }
  float xOffset() const { return xOffset_.load(std::memory_order_relaxed); }
  float yOffset() const { return yOffset_.load(std::memory_order_relaxed); }
  // A motion is running or queued. Engine thread, or with the pass lock held.
  bool isMoving() const;

 private:
  void clickToGo();
  void applyView(float x, float y, float zoom);

  NavigatorHost& host_;
  std::atomic<float> zoom_{1.0f};
  std::atomic<float> xOffset_{0.0f};
  std::atomic<float> yOffset_{0.0f};

  mutable std::mutex queueLock_;
  std::deque<std::unique_ptr<NavPosition>> queue_;  // guarded by queueLock_; oldest first

  // The running motion; engine thread.
  bool idle_ = true;
  float startProgress_ = 0, startX_ = 0, startY_ = 0, startZoom_ = 1;
  float targetProgress_ = 0, targetX_ = 0, targetY_ = 0, targetZoom_ = 1;
  std::uint32_t startTime_ = 0;
  std::int32_t duration_ = 0;
};

// The smoothstep ease g = f * f * (3 - 2 * f) of the motions, in float32.
constexpr float easeInOut(float f) { return f * f * (3 - 2 * f); }

// Whether view point `p` lies inside the outline of the image that `viewToImage`
// maps view coordinates into: the image corners taken back by the inverse
// (kept where w >= 0.25, divided by w), tested by the even-odd rule.
[[nodiscard]] bool insideImage(Vec2 p, const Homography& viewToImage);

// Where the scene point seen at `pSrc` in the source image and `pDst` in the
// destination image lies in view coordinates at progress `t` of `link`: the
// mean of the two pictures' points taken back to view space. The link's
// progress is unchanged afterwards.
[[nodiscard]] Vec2 viewPointAt(LinkTraversal& link, Vec2 pSrc, Vec2 pDst, float t);

// The progress, strictly between 0 and 1, at which that scene point comes
// nearest the frame centre, by kSearchSteps halvings from 0.5 (ties move up).
// The link's progress is unchanged afterwards.
[[nodiscard]] float bestProgress(LinkTraversal& link, Vec2 pSrc, Vec2 pDst);

}  // namespace vistel
