#include "vistel/engine/navigator.h"

#include <array>
#include <utility>
#include <vector>

#include "vistel/scene/frame_renderer.h"
#include "vistel/scene/link_traversal.h"
#include "vistel/scene/scene.h"
#include "vistel/scene/view_instance.h"

namespace vistel {

namespace {

float centreCost(Vec2 v) { return v.x * v.x * Navigator::kAspectWeight + v.y * v.y; }

}  // namespace

Navigator::Navigator(NavigatorHost& host) : host_(host) {
  ViewInstance* view = host_.navigatorScene().currentView(0);
  if (view && !view->edges().empty()) (void)host_.enterEdge(*view->edges().front());
}

Navigator::~Navigator() = default;

void Navigator::post(std::unique_ptr<NavPosition> position) {
  if (!position) return;
  std::lock_guard<std::mutex> guard(queueLock_);
  queue_.push_back(std::move(position));
}

bool Navigator::isMoving() const {
  if (!idle_) return true;
  std::lock_guard<std::mutex> guard(queueLock_);
  return !queue_.empty();
}

void Navigator::applyView(float x, float y, float zoom) {
  xOffset_.store(x, std::memory_order_relaxed);
  yOffset_.store(y, std::memory_order_relaxed);
  zoom_.store(zoom, std::memory_order_relaxed);
  FrameRenderer& renderer = host_.navigatorRenderer();
  renderer.setOffset(x, y);
  renderer.setZoom(zoom);
}

void Navigator::step() {
  FrameRenderer& renderer = host_.navigatorRenderer();
  renderer.setOffset(xOffset(), yOffset());
  renderer.setZoom(zoom());
  // A click takes the whole pass, even in the middle of a motion: the
  // position it makes waits behind the queued ones.
  if (host_.passInput().pressed) {
    clickToGo();
    return;
  }
  LinkTraversal* link = host_.navigatorScene().currentLink();
  const std::uint32_t now = host_.navigatorNowMs();

  if (idle_) {
    std::unique_ptr<NavPosition> next;
    {
      std::lock_guard<std::mutex> guard(queueLock_);
      if (queue_.empty()) return;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    startProgress_ = link ? link->navProgress() : 0.0f;
    startX_ = xOffset();
    startY_ = yOffset();
    startZoom_ = zoom();
    targetProgress_ = next->navProgress;
    targetX_ = next->xOffset;
    targetY_ = next->yOffset;
    targetZoom_ = next->zoomFactor;
    startTime_ = now;
    duration_ = host_.motionTimeMs(next->usePresetTime);
    idle_ = false;
    return;  // the first eased value shows at the next pass
  }

  const std::int32_t elapsed = elapsedMs(now, startTime_);
  if (elapsed > duration_) {
    applyView(targetX_, targetY_, targetZoom_);
    idle_ = true;
    if (link) link->setNavProgress(targetProgress_);
    return;
  }
  // Without a link the motion only lands on its target; with a zero duration
  // nothing has elapsed yet and there is nothing to divide by.
  if (!link || duration_ <= 0) return;
  const float g = easeInOut(static_cast<float>(elapsed) / static_cast<float>(duration_));
  const float progress = startProgress_ + (targetProgress_ - startProgress_) * g;
  const float x = startX_ + (targetX_ - startX_) * g;
  const float y = startY_ + (targetY_ - startY_) * g;
  // The visible area (the inverse of the zoom) moves evenly, not the zoom.
  const float inverse = 1.0f / startZoom_ + (1.0f / targetZoom_ - 1.0f / startZoom_) * g;
  applyView(x, y, 1.0f / inverse);
  link->setNavProgress(progress);
}

std::int32_t Navigator::render() { return host_.navigatorRenderer().renderFrame(); }

void Navigator::clickToGo() {
  const NavigatorPassInput input = host_.passInput();
  const std::int32_t width = input.width;
  const std::int32_t height = input.height;
  if (width <= 0 || height <= 0) return;
  const float zoom = this->zoom();
  Vec2 p{static_cast<float>(input.pressX) / static_cast<float>(width),
         static_cast<float>(input.pressY) / static_cast<float>(height)};
  p = (p - Vec2{0.5f, 0.5f}) * (1.0f / zoom) + Vec2{xOffset(), yOffset()};

  LinkTraversal* link = host_.navigatorScene().currentLink();
  if (!link) return;
  Vec2 pSrc, pDst;
  {
    const std::unique_ptr<TransitionFrame> frame = link->transitionAt();
    pSrc = applyToPoint(frame->srcH, p);
    pDst = applyToPoint(frame->dstH, p);
    if (!insideImage(p, frame->srcH) && !insideImage(p, frame->dstH)) return;
  }
  const float t = bestProgress(*link, pSrc, pDst);
  const Vec2 centre = viewPointAt(*link, pSrc, pDst, t);
  post(std::make_unique<NavPosition>(NavPosition{t, centre.x, centre.y, zoom, false}));
}

bool insideImage(Vec2 p, const Homography& viewToImage) {
  const Homography imageToView = inverse(viewToImage);
  const std::array<Vec3, 4> corners{
      applyToVec3(imageToView, {-0.5f, -0.5f, 1.0f}), applyToVec3(imageToView, {0.5f, -0.5f, 1.0f}),
      applyToVec3(imageToView, {0.5f, 0.5f, 1.0f}), applyToVec3(imageToView, {-0.5f, 0.5f, 1.0f})};
  // Corners at or behind the viewer would flip over when divided by w.
  const std::vector<Vec3> outline = clipPolygon({0.0f, 0.0f, 1.0f, -0.25f}, corners);
  std::vector<Vec2> points;
  points.reserve(outline.size());
  for (const Vec3& v : outline) points.push_back({v.x / v.z, v.y / v.z});

  bool inside = false;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Vec2 a = points[i];
    const Vec2 b = points[(i + 1) % points.size()];
    if (!((a.y < p.y && p.y < b.y) || (b.y < p.y && p.y < a.y))) continue;
    const float x = a.x + (p.y - a.y) * (b.x - a.x) / (b.y - a.y);
    if (x < p.x) inside = !inside;
  }
  return inside;
}

Vec2 viewPointAt(LinkTraversal& link, Vec2 pSrc, Vec2 pDst, float t) {
  const float saved = link.navProgress();
  link.setNavProgress(t);
  const std::unique_ptr<TransitionFrame> frame = link.transitionAt();
  const Vec2 a = applyToPoint(inverse(frame->srcH), pSrc);
  const Vec2 b = applyToPoint(inverse(frame->dstH), pDst);
  link.setNavProgress(saved);
  return (a + b) * 0.5f;
}

float bestProgress(LinkTraversal& link, Vec2 pSrc, Vec2 pDst) {
  float t = 0.5f;
  float step = 0.25f;
  for (int i = 0; i < Navigator::kSearchSteps; ++i) {
    const float below = centreCost(viewPointAt(link, pSrc, pDst, t - step));
    const float above = centreCost(viewPointAt(link, pSrc, pDst, t + step));
    t = below < above ? t - step : t + step;
    step *= 0.5f;
  }
  return t;
}

}  // namespace vistel
