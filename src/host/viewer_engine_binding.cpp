#include "vistel/host/viewer_engine_binding.h"

#include <memory>

namespace vistel {

namespace {

// The control's events carry the engine's codes.
static_assert(static_cast<std::int32_t>(WindowEvent::Created) == kEventCreated);
static_assert(static_cast<std::int32_t>(WindowEvent::Show) == kEventShow);
static_assert(static_cast<std::int32_t>(WindowEvent::Repaint) == kEventRepaint);
static_assert(static_cast<std::int32_t>(WindowEvent::Size) == kEventSize);
static_assert(static_cast<std::int32_t>(WindowEvent::Stop) == kEventStop);
static_assert(static_cast<std::int32_t>(WindowEvent::Idle) == kEventIdle);
static_assert(static_cast<std::int32_t>(WindowEvent::PointerDown) == kEventPointerDown);
static_assert(static_cast<std::int32_t>(WindowEvent::PointerUp) == kEventPointerUp);
static_assert(static_cast<std::int32_t>(WindowEvent::SecondaryDown) == kEventSecondaryDown);
static_assert(static_cast<std::int32_t>(WindowEvent::SecondaryUp) == kEventSecondaryUp);
static_assert(static_cast<std::int32_t>(WindowEvent::PointerMove) == kEventPointerMove);
static_assert(static_cast<std::int32_t>(WindowEvent::KeyDown) == kEventKeyDown);
static_assert(static_cast<std::int32_t>(WindowEvent::KeyUp) == kEventKeyUp);

std::int32_t controlFrameSink(void* context, const std::uint32_t* pixels, std::int32_t flags,
                              const FrameRect& rect) {
  (void)flags;
  return static_cast<VistelControl*>(context)->deliverFrame(pixels, rect.width, rect.height);
}

class ViewerEngineBinding final : public ControlEngine {
 public:
  ViewerEngineBinding(std::unique_ptr<ViewerEngine> engine, std::string fileBase)
      : engine_(std::move(engine)), fileBase_(std::move(fileBase)) {}

  void postEvent(WindowEvent code, std::int32_t a, std::int32_t b) override {
    (void)engine_->postEvent(static_cast<std::int32_t>(code), a, b);
  }
  bool postPosition(const ViewPosition& target, MotionTime time) override {
    auto position = std::make_unique<NavPosition>();
    position->navProgress = target.navProgress;
    position->xOffset = target.xOffset;
    position->yOffset = target.yOffset;
    position->zoomFactor = target.zoomFactor;
    return engine_->postPosition(std::move(position), time);
  }
  ViewPosition currentPosition() const override {
    const NavPosition now = engine_->currentPosition();
    return {now.navProgress, now.xOffset, now.yOffset, now.zoomFactor};
  }
  float zoom() const override { return engine_->zoom(); }
  void setZoom(float value) override { engine_->setZoom(value); }
  void setPresetTime(std::int32_t ms) override { engine_->setPresetTime(ms); }
  void setManualTime(std::int32_t ms) override { engine_->setManualTime(ms); }
  void suspend() override { engine_->suspend(); }
  void resume() override { engine_->resume(); }
  void setPlaceholder(std::span<const std::uint8_t> rgb, std::int32_t width,
                      std::int32_t height) override {
    if (rgb.size() < static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3) return;
    engine_->setPlaceholder(rgb.data(), width, height);
  }
  bool saveSnapshot(const std::string& path) override {
    return engine_->saveSnapshot(path.c_str());
  }
  bool loadProject(std::string_view text, std::string_view fileBase) override {
    return engine_->loadProject(text.data(), text.size(), fileBase.empty() ? fileBase_ : fileBase);
  }

 private:
  std::unique_ptr<ViewerEngine> engine_;
  const std::string fileBase_;
};

}  // namespace

VistelControl::EngineFactory viewerEngineFactory(ViewerEngineOptions options) {
  return [options = std::move(options)](VistelControl& control) -> std::unique_ptr<ControlEngine> {
    auto engine = ViewerEngine::create(&control, options.threadStarter, controlFrameSink,
                                       options.environment);
    if (!engine) return nullptr;
    return std::make_unique<ViewerEngineBinding>(std::move(engine), options.fileBase);
  };
}

}  // namespace vistel
