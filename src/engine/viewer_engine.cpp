#include "vistel/engine/viewer_engine.h"

#include <chrono>
#include <utility>

#include "vistel/engine/navigator.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/stream_source_reader.h"
#include "vistel/project/project_holder.h"
#include "vistel/scene/frame_renderer.h"
#include "vistel/scene/scene.h"
#include "vistel/scene/view_instance.h"

namespace vistel {

namespace {

constexpr std::int32_t kRingMask = ViewerEngine::kEventSlots - 1;
static_assert((ViewerEngine::kEventSlots & kRingMask) == 0, "the ring wraps by masking");

bool validSide(std::int32_t side) { return side > 0 && side <= ViewerEngine::kMaxOutputSide; }

}  // namespace

std::unique_ptr<ViewerEngine> ViewerEngine::create(void* host, const ThreadStarter& threadStarter,
                                                   FrameSink frameSink,
                                                   EngineEnvironment environment) {
  return std::make_unique<ViewerEngine>(Key{}, host, threadStarter, frameSink,
                                        std::move(environment));
}

ViewerEngine::ViewerEngine(Key, void* host, const ThreadStarter& threadStarter, FrameSink frameSink,
                           EngineEnvironment environment)
    : sourceManager_(std::make_unique<ImageSourceManager>(
          threadStarter, ImageSourceManager::kDefaultEncodedLimitKiB,
          ImageSourceManager::kDefaultDecodedLimitKiB, ImageSourceManager::kDefaultReaderCount,
          environment.readerFactory ? std::move(environment.readerFactory) : streamReaderFactory(),
          ImageSourceManager::Observers{[this](const ImageSourceManager::DecodeEvent& event) {
                                          if (event.kept) passWake_.notify();
                                        },
                                        {}},
          environment.rtspReaderFactory ? std::move(environment.rtspReaderFactory)
                                        : vistel::rtspReaderFactory())),
      scene_(std::make_unique<Scene>(*sourceManager_)),
      renderer_(std::make_unique<FrameRenderer>(host, frameSink, *sourceManager_, *scene_,
                                                threadStarter)),
      clock_(environment.clock ? *environment.clock : systemClock()),
      passSleep_(environment.passSleep ? std::move(environment.passSleep)
                                       : std::function<void(std::uint32_t)>(
                                             [this](std::uint32_t ms) { passWake_.sleep(ms); })) {
  if (threadStarter) thread_ = threadStarter([this] { threadRoutine(); }, 0);
  // Without a thread nothing would ever answer a wait for the engine thread.
  if (!thread_.joinable()) stopped_.store(true, std::memory_order_release);
}

ViewerEngine::~ViewerEngine() {
  stopRequested_.store(true, std::memory_order_release);
  thread_.join();
  navigator_.reset();
  renderer_.reset();
  document_.reset();
  scene_.reset();
  sourceManager_.reset();
}

// ---- Engine thread -----------------------------------------------------------

void ViewerEngine::PassWake::notify() {
  {
    std::lock_guard<std::mutex> guard(lock);
    pending = true;
  }
  changed.notify_one();
}

void ViewerEngine::PassWake::sleep(std::uint32_t ms) {
  std::unique_lock<std::mutex> guard(lock);
  changed.wait_for(guard, std::chrono::milliseconds(ms), [this] { return pending; });
  pending = false;
}

void ViewerEngine::threadRoutine() {
  while (!stopRequested_.load(std::memory_order_acquire)) {
    runPass();
    passSleep_(kPassSleepMs);
  }
  stopped_.store(true, std::memory_order_release);
}

ViewerEngine::ViewState ViewerEngine::viewState() const {
  const LinkTraversal* link = scene_->currentLink();
  return {link, link ? link->navProgress() : 0.0f, renderer_->xOffset(), renderer_->yOffset(),
          renderer_->zoom()};
}

void ViewerEngine::runPass() {
  std::lock_guard<std::mutex> guard(passLock_);
  suspendedThisPass_ = suspended_.load(std::memory_order_acquire);
  drainEvents();
  const bool active = visible_ && !suspendedThisPass_ && navigator_;
  // What changed while passes stood still was not followed: catch up once.
  if (active && !activeLastPass_) requestRender(kRenderActivated);
  activeLastPass_ = active;
  if (!active) return;
  const ViewState before = viewState();
  navigator_->step();  // pushes the navigator's pan and zoom, also a host's setZoom
  // Scripts change nothing that shows: `set` has no effect and `play` only
  // names a link.
  scene_->dispatchEvents(*this);
  // After the scripts, so that views leaving the scene ran their "onexit".
  scene_->clearDisposal();
  const std::uint32_t viewChanges = scene_->updateViews();
  if (viewChanges & kViewPicture) requestRender(kRenderPictures);
  if (viewChanges & kViewCaption) requestRender(kRenderCaption);
  if (viewState() != before) requestRender(kRenderView);
  if (sized_ && renderCauses_ != 0) {
    renderCauses_ = 0;
    (void)navigator_->render();
  }
}

void ViewerEngine::drainEvents() {
  pressedThisPass_ = false;
  std::int32_t read = readIndex_.load(std::memory_order_relaxed);
  while (read != writeIndex_.load(std::memory_order_acquire)) {
    const EngineEvent event = events_[static_cast<std::size_t>(read)];
    read = (read + 1) & kRingMask;
    readIndex_.store(read, std::memory_order_release);
    applyEvent(event);
    // Whatever was posted after Stop is meant for a window that is gone.
    if (event.code == kEventStop) return;
  }
}

void ViewerEngine::applyEvent(const EngineEvent& event) {
  switch (event.code) {
    case kEventShow:
      visible_ = event.a == 1;
      break;
    case kEventRepaint:
      requestRender(kRenderRepaint);
      break;
    case kEventSize:
      if (validSide(event.a) && validSide(event.b)) {
        if (!sized_ || event.a != width_ || event.b != height_) requestRender(kRenderSize);
        width_ = event.a;
        height_ = event.b;
        sized_ = true;
        renderer_->resize(event.a, event.b);
      }
      break;
    case kEventStop:
      stopRequested_.store(true, std::memory_order_release);
      break;
    case kEventPointerDown:
      pressX_ = event.a;
      pressY_ = event.b;
      pressedThisPass_ = true;
      break;
    default:  // the other events only wake the next pass
      break;
  }
}

bool ViewerEngine::enterEdge(Instance& edge) {
  const std::string* linkId = edge.scope().getText("link");
  if (!linkId) return false;
  const std::string* direction = edge.scope().getText("dir");
  const bool backward = direction && *direction == "backward";
  if (!scene_->startTraversal(std::string(*linkId),
                              backward ? Direction::Backward : Direction::Forward)) {
    return false;
  }

  const ViewInstance* first = scene_->currentView(0);
  const std::string fallback = first ? first->id() : std::string();
  std::vector<std::string> views{fallback, fallback};
  if (LinkTraversal* link = scene_->currentLink()) {
    if (const std::string* from = link->scope().getText("from")) views[0] = *from;
    if (const std::string* to = link->scope().getText("to")) views[1] = *to;
  }
  (void)scene_->setCurrentViews(views);
  return true;
}

// ---- Host thread -------------------------------------------------------------

bool ViewerEngine::postEvent(std::int32_t code, std::int32_t a, std::int32_t b) {
  // A host posts on every mouse move: waiting for a thread that will never
  // drain again would freeze it for good.
  if (stopPosted_ || !drains()) return false;
  const std::int32_t write = writeIndex_.load(std::memory_order_relaxed);
  const std::int32_t next = (write + 1) & kRingMask;
  while (next == readIndex_.load(std::memory_order_acquire)) {
    if (!drains()) return false;
    sleepMs(kPollMs);
  }
  events_[static_cast<std::size_t>(write)] = {code, a, b};
  writeIndex_.store(next, std::memory_order_release);
  if (code == kEventStop) stopPosted_ = true;
  return true;
}

bool ViewerEngine::postPosition(std::unique_ptr<NavPosition> position, MotionTime time) {
  if (!position || !navigator_) return false;
  position->usePresetTime = time == MotionTime::Preset;
  navigator_->post(std::move(position));
  return true;
}

NavPosition ViewerEngine::currentPosition() const {
  std::lock_guard<std::mutex> guard(passLock_);
  if (!navigator_) return {};
  // A project without a link still has the navigator's pan and zoom: reading
  // zeros there made zoom commands and copied positions start from zoom 0.
  const LinkTraversal* link = scene_->currentLink();
  return {link ? link->navProgress() : 0.0f, navigator_->xOffset(), navigator_->yOffset(),
          navigator_->zoom(), false};
}

float ViewerEngine::zoom() const { return navigator_ ? navigator_->zoom() : 0.0f; }

void ViewerEngine::setZoom(float value) {
  if (navigator_) navigator_->setZoom(value);
}

void ViewerEngine::setPlaceholder(const std::uint8_t* rgb, std::int32_t width,
                                  std::int32_t height) {
  std::lock_guard<std::mutex> guard(passLock_);
  renderer_->setPlaceholder(rgb, width, height);
  requestRender(kRenderPlaceholder);
}

bool ViewerEngine::copyFrame(std::vector<std::uint32_t>& pixels, std::int32_t& width,
                             std::int32_t& height) const {
  std::lock_guard<std::mutex> guard(passLock_);
  const std::uint32_t* frame = renderer_->pixels();
  if (!frame) return false;
  width = renderer_->width();
  height = renderer_->height();
  pixels.assign(frame, frame + std::size_t(width) * std::size_t(height));
  return true;
}

bool ViewerEngine::saveSnapshot(const char* path) const {
  // Copied under the pass lock, encoded outside it: the engine thread goes on
  // rendering while the file is written, and the file shows one whole frame.
  std::vector<std::uint32_t> pixels;
  std::int32_t width = 0, height = 0;
  if (!path || !copyFrame(pixels, width, height)) return false;
  return encodeJpegFile(path, reinterpret_cast<const std::uint8_t*>(pixels.data()), width, height);
}

std::optional<std::string> ViewerEngine::startViewOf(const ProjectDocument& document) {
  Instance root(document, nullptr, &document.scripts);
  const std::string* name = root.scope().getText("startview");
  if (!name || !document.findView(*name)) return std::nullopt;
  return *name;
}

bool ViewerEngine::loadProject(const char* text, std::size_t length, std::string_view fileBase) {
  ProjectHolder holder;
  (void)holder.load(text ? text : "", text ? length : 0);
  std::unique_ptr<ProjectDocument> document = holder.release();
  if (!document) return false;
  // Checked before anything is replaced, so that a project that cannot show
  // leaves the previous one running.
  std::optional<std::string> startView = startViewOf(*document);
  if (!startView) return false;

  suspended_.store(true, std::memory_order_release);
  std::lock_guard<std::mutex> guard(passLock_);  // waits for the pass in progress
  navigator_.reset();
  sourceManager_->setFileBase(fileBase);
  (void)scene_->rebuild(document.get());
  // The old document goes only now: the scene's instances referred to it.
  document_ = std::move(document);
  (void)scene_->setCurrentViews({*startView});
  navigator_ = std::make_unique<Navigator>(static_cast<NavigatorHost&>(*this));
  requestRender(kRenderProject);
  suspended_.store(false, std::memory_order_release);
  return true;
}

bool ViewerEngine::isMoving() const {
  std::lock_guard<std::mutex> guard(passLock_);
  return navigator_ && navigator_->isMoving();
}

std::vector<ViewPicture> ViewerEngine::currentPictures() const {
  std::lock_guard<std::mutex> guard(passLock_);
  std::vector<ViewPicture> out;
  for (const auto& view : scene_->currentViews()) {
    if (!view) continue;
    ViewPicture picture{view->id(), view->rememberedSrc(), ViewPicture::State::NoSource, {}};
    if (const SourceRequest* request = view->request()) {
      const ImageSource& source = *request->source();
      const SourceHealthState health = source.health().state();
      picture.reason = failureText(health.failure, health.httpStatus);
      const FrameRef decoded = source.decoded();
      if (decoded && decoded->kind() == Frame::Kind::Decoded && decoded->width() > 0) {
        picture.state = ViewPicture::State::Delivered;
      } else {
        picture.state = source.failed() ? ViewPicture::State::Failed : ViewPicture::State::Waiting;
      }
    }
    out.push_back(std::move(picture));
  }
  return out;
}

}  // namespace vistel
