#include "vistel/host/vistel_control.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <span>
#include <system_error>

#include "vistel/calibration/calibrator.h"
#include "vistel/host/camera_credentials.h"
#include "vistel/host/generated_project.h"
#include "vistel/host/placeholder_picture.h"
#include "vistel/platform/thread.h"

namespace vistel {

namespace {

// The overall view (preset 0) and the Home target.
constexpr ViewPosition kOverallView{0.5f, 0.0f, 0.0f, 0.24f};
constexpr ViewPosition kHomeView{0.5f, 0.0f, 0.0f, 0.64f};
constexpr std::int32_t kDefaultMotionMs = 1000;
// Lets a frame in progress reach the window before the engine stops.
constexpr std::uint32_t kSnapshotSettleMs = 50;

constexpr HostUi::MenuItem kContextMenu[] = {
    {static_cast<std::int32_t>(ControlCommand::ZoomIn), "Zoom in"},
    {static_cast<std::int32_t>(ControlCommand::ZoomOut), "Zoom out"},
    {static_cast<std::int32_t>(ControlCommand::MaximizeView), "Maximize view"},
    {0, ""},
    {static_cast<std::int32_t>(ControlCommand::SaveSnapshot), "Save snapshot..."},
    {0, ""},
    {static_cast<std::int32_t>(ControlCommand::About), kAboutMenuLabel},
};

// The same with the file entries together.
constexpr HostUi::MenuItem kContextMenuWithOpen[] = {
    {static_cast<std::int32_t>(ControlCommand::ZoomIn), "Zoom in"},
    {static_cast<std::int32_t>(ControlCommand::ZoomOut), "Zoom out"},
    {static_cast<std::int32_t>(ControlCommand::MaximizeView), "Maximize view"},
    {0, ""},
    {static_cast<std::int32_t>(ControlCommand::OpenProject), kOpenProjectLabel},
    {static_cast<std::int32_t>(ControlCommand::SaveSnapshot), "Save snapshot..."},
    {0, ""},
    {static_cast<std::int32_t>(ControlCommand::About), kAboutMenuLabel},
};

float clampZoom(float zoom) {
  if (zoom > kMaxZoom) zoom = kMaxZoom;
  if (zoom < kMinZoom) zoom = kMinZoom;
  return zoom;
}

bool within(float value, float low, float high) { return value >= low && value <= high; }

// The whole of a project file; false with a sentence for the user saying why not.
bool readProjectFile(const std::string& path, std::string& text, std::string& problem) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    problem = "There is no project file \"" + path + "\".";
    return false;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (!ec && size > PropertyBag::kMaxValueBytes) {
    problem = "The project file \"" + path + "\" is larger than 8 MiB.";
    return false;
  }
  std::string bytes(ec ? 0 : static_cast<std::size_t>(size), '\0');
  std::ifstream in(path, std::ios::binary);
  if (ec || !in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    problem = "The project file \"" + path + "\" cannot be read.";
    return false;
  }
  text = std::move(bytes);
  return true;
}

}  // namespace

bool generatesTwoCameraProject(const PropertyBag& properties) {
  std::string first;
  std::string second;
  (void)properties.read("startImage", first);
  (void)properties.read("endImage", second);
  (void)properties.read("topCameraAddress", first);
  (void)properties.read("bottomCameraAddress", second);
  return !first.empty() && !second.empty();
}

VistelControl::VistelControl(HostUi& ui, const EngineFactory& makeEngine)
    : ui_(ui),
      credentials_(std::make_unique<CameraCredentials>(ui)),
      calibrator_(std::make_unique<Calibrator>()) {
  presets_[0] = kOverallView;
  for (std::size_t i = 1; i < presets_.size(); ++i) presets_[i] = ViewPosition{};
  if (makeEngine) engine_ = makeEngine(*this);
}

VistelControl::~VistelControl() { engine_.reset(); }

void VistelControl::post(WindowEvent code, std::int32_t a, std::int32_t b) {
  if (engine_) engine_->postEvent(code, a, b);
}

// ---- Load-time properties ---------------------------------------------------

void VistelControl::load(const PropertyBag& properties) {
  (void)properties.read("startKey", startKey_);
  (void)properties.read("endKey", endKey_);
  (void)properties.read("topKey", startKey_);
  (void)properties.read("bottomKey", endKey_);
  if (startKey_.empty()) startKey_ = kDefaultSourceKeyText;
  if (endKey_.empty()) endKey_ = kDefaultDestinationKeyText;

  (void)properties.read("startImage", startImage_);
  (void)properties.read("endImage", endImage_);
  (void)properties.read("topCameraAddress", startImage_);
  (void)properties.read("bottomCameraAddress", endImage_);

  std::string text;
  // A value that is not a number is refused like a failed type conversion.
  if (properties.read("FPS", text)) (void)parseDecimal(text, fps_);

  if (!startImage_.empty() && !endImage_.empty()) {
    std::array<std::string, 2> addresses{startImage_, endImage_};
    credentials_->checkCameraAddresses(addresses);
    startImage_ = escapeAddress(addresses[0]);
    endImage_ = escapeAddress(addresses[1]);
    project_ = generatedProject(startImage_, fps_, endImage_, startKey_, endKey_);
  } else {
    project_.clear();
  }
  projectBase_.clear();

  for (std::size_t i = 1; i < presets_.size(); ++i) {
    text.clear();
    (void)properties.read("Preset" + std::to_string(i), text);
    presets_[i] = parsePreset(text);
  }

  if (project_.empty()) {
    text.clear();
    (void)properties.read("Project", text);
    project_ = text.empty() ? std::string(kDefaultProjectText) : text;
    if (engine_ && windowExists()) {
      (void)engine_->loadProject(project_, projectBase_);
      modified_ = true;
    }
  }

  text.clear();
  (void)properties.read("manualTime", text);
  manualTime_ = text.empty() ? kDefaultMotionMs : leadingInteger(text);
  if (engine_) {
    // Only the low 16 bits count here (SetManualTime takes an int16 too), so
    // 40000 reads as a negative time and is not passed on.
    const auto narrow = static_cast<std::int16_t>(*manualTime_);
    if (narrow >= 0) {
      manualTime_ = narrow;
      engine_->setManualTime(narrow);
    }
  }

  text.clear();
  (void)properties.read("presetTime", text);
  presetTime_ = text.empty() ? kDefaultMotionMs : leadingInteger(text);
  if (engine_ && *presetTime_ >= 0 && *presetTime_ <= kMaxMotionMs) {
    engine_->setPresetTime(*presetTime_);
  }
}

// ---- Automation members -------------------------------------------------------

void VistelControl::Project(std::string_view text) {
  if (!engine_) return;
  (void)engine_->loadProject(text, projectBase_);
  modified_ = true;
}

std::int16_t VistelControl::GotoPosition(float navProgress, float xOffset, float yOffset,
                                         float zoomFactor) {
  if (!engine_ || !windowExists()) return 0;
  if (!within(navProgress, 0.0f, 1.0f)) return 0;
  if (!within(zoomFactor, kMinZoom, kMaxZoom)) return 0;
  if (!within(xOffset, -0.5f, 0.5f)) return 0;
  if (!within(yOffset, -0.5f, 0.5f)) return 0;
  // Without a project nothing is queued, and the caller is told so.
  const bool queued =
      engine_->postPosition({navProgress, xOffset, yOffset, zoomFactor}, MotionTime::Preset);
  return queued ? 1 : 0;
}

void VistelControl::GotoPreset(std::int16_t preset) {
  if (!engine_ || preset < 0 || preset >= static_cast<std::int16_t>(presets_.size())) return;
  const ViewPosition& entry = presets_[static_cast<std::size_t>(preset)];
  if (!entry.defined()) return;
  (void)GotoPosition(entry.navProgress, entry.xOffset, entry.yOffset, entry.zoomFactor);
}

void VistelControl::Zoom(float offset) {
  // A NaN offset would carry through both clamps into the engine.
  if (!engine_ || !windowExists() || std::isnan(offset)) return;
  ViewPosition target = engine_->currentPosition();
  target.zoomFactor = clampZoom(target.zoomFactor + offset);
  (void)engine_->postPosition(target, MotionTime::Preset);
}

void VistelControl::Blend(float offset) {
  if (!engine_ || !windowExists() || !within(offset, 0.0f, 1.0f)) return;
  ViewPosition target = engine_->currentPosition();
  target.navProgress = offset;
  (void)engine_->postPosition(target, MotionTime::Preset);
}

void VistelControl::SetZoom(float zoomFactor) {
  // Clamped before it reaches the engine, whose thread may render between two
  // calls: it never sees a zoom of 0, below 0, infinite or NaN.
  if (!engine_ || !windowExists() || std::isnan(zoomFactor)) return;
  engine_->setZoom(clampZoom(zoomFactor));
}

float VistelControl::GetBlendFactor() const {
  return engine_ && windowExists() ? engine_->currentPosition().navProgress : 0.0f;
}

float VistelControl::GetZoomFactor() const {
  return engine_ && windowExists() ? engine_->currentPosition().zoomFactor : 0.0f;
}

float VistelControl::GetXOffset() const {
  return engine_ && windowExists() ? engine_->currentPosition().xOffset : 0.0f;
}

float VistelControl::GetYOffset() const {
  return engine_ && windowExists() ? engine_->currentPosition().yOffset : 0.0f;
}

void VistelControl::SetPresetTime(std::int32_t milliseconds) {
  if (!engine_ || milliseconds < 0 || milliseconds > kMaxMotionMs) return;
  presetTime_ = milliseconds;
  engine_->setPresetTime(milliseconds);
}

void VistelControl::SetManualTime(std::int16_t milliseconds) {
  if (!engine_ || milliseconds < 0) return;
  manualTime_ = milliseconds;
  engine_->setManualTime(milliseconds);
}

void VistelControl::PromptSnapshot() {
  if (engine_) saveSnapshot();
}

void VistelControl::Home() {
  if (!engine_ || !windowExists()) return;
  (void)engine_->postPosition(kHomeView, MotionTime::Preset);
}

void VistelControl::Suspend() {
  if (engine_) engine_->suspend();
}

void VistelControl::Resume() {
  if (engine_) engine_->resume();
}

void VistelControl::SetStartKey(std::string_view key) { (void)key; }

void VistelControl::SetEndKey(std::string_view key) { (void)key; }

void VistelControl::SetProjectXMLBuffer(std::string_view xml) {
  if (engine_) (void)engine_->loadProject(xml, projectBase_);
}

void VistelControl::ExecSilentURL(std::string_view url) { (void)credentials_->execSilentUrl(url); }

std::int16_t VistelControl::Recalibrate(std::string_view strSourceImagePath,
                                        std::string_view strSourceKey,
                                        std::string_view strDestinationImagePath,
                                        std::string_view strDestinationKey) {
  return calibrator_->recalibrate(strSourceImagePath, strSourceKey, strDestinationImagePath,
                                  strDestinationKey);
}

std::string VistelControl::GetSourceKey() const { return calibrator_->sourceKeyText(); }

std::string VistelControl::GetDestinationKey() const { return calibrator_->destinationKeyText(); }

// ---- Window events --------------------------------------------------------------

void VistelControl::onCreate() {
  if (!engine_) return;
  engine_->setPlaceholder(placeholderPicture(), kPlaceholderWidth, kPlaceholderHeight);
  post(WindowEvent::Created);
  (void)engine_->loadProject(project_, projectBase_);
  modified_ = true;
}

void VistelControl::onDestroy() {
  post(WindowEvent::Stop);
  mailbox_.clear();
}

void VistelControl::onShowWindow(bool shown, std::int32_t status) {
  post(WindowEvent::Show, shown ? 1 : 0, status);
}

void VistelControl::onSize(std::int32_t width, std::int32_t height) {
  post(WindowEvent::Size, width, height);
}

void VistelControl::onEnterIdle() { post(WindowEvent::Idle); }

void VistelControl::onKeyDown(std::int32_t keyCode, std::int32_t keyFlags) {
  post(WindowEvent::KeyDown, keyCode, keyFlags);
}

void VistelControl::onKeyUp(std::int32_t keyCode, std::int32_t keyFlags) {
  post(WindowEvent::KeyUp, keyCode, keyFlags);
}

void VistelControl::onLeftButtonDown(std::int32_t x, std::int32_t y) {
  ui_.setMouseCapture(true);
  post(WindowEvent::PointerDown, x, y);
}

void VistelControl::onLeftButtonUp(std::int32_t x, std::int32_t y) {
  ui_.setMouseCapture(false);
  post(WindowEvent::PointerUp, x, y);
}

void VistelControl::onMouseMove(std::int32_t x, std::int32_t y) {
  ui_.takeFocus();
  post(WindowEvent::PointerMove, x, y);
}

void VistelControl::onRightButtonDown(std::int32_t x, std::int32_t y) {
  ui_.setMouseCapture(true);
  post(WindowEvent::SecondaryDown, x, y);
}

void VistelControl::onRightButtonUp(std::int32_t x, std::int32_t y) {
  ui_.setMouseCapture(false);
  std::int32_t screenX = x;
  std::int32_t screenY = y;
  ui_.clientToScreen(screenX, screenY);
  const std::int32_t chosen = ui_.trackPopupMenu(menu(), screenX, screenY);
  if (chosen != 0) (void)runCommand(chosen);
  post(WindowEvent::SecondaryUp, screenX, screenY);
}

bool VistelControl::onMouseWheel(std::int16_t delta) {
  if (!engine_) return false;
  // High-resolution wheels and touchpads send parts of a notch: they add up
  // until a whole notch is there, and the rest waits for the next event.
  // Turning the other way starts again from nothing, so the part left over
  // from the old direction does not swallow the first steps of the new one.
  if ((delta > 0 && wheelRemainder_ < 0) || (delta < 0 && wheelRemainder_ > 0)) {
    wheelRemainder_ = 0;
  }
  wheelRemainder_ += delta;
  const std::int32_t notches = wheelRemainder_ / kWheelNotch;
  wheelRemainder_ -= notches * kWheelNotch;
  if (notches != 0) {
    const float zoom = engine_->zoom();
    engine_->setZoom(clampZoom(zoom + zoom * kZoomStep * static_cast<float>(notches)));
  }
  return true;
}

void VistelControl::paint(std::int32_t width, std::int32_t height, PaintPlan& plan) {
  plan.fill = {0, 0, width, height};
  plan.fillColour = 0xFFFFFF;
  plan.border = {0, 0, width, height};
  plan.borderColour = 0x9E9E9E;
  plan.hasFrame = mailbox_.copyLatest(plan.frame);
  // The engine renders only when what it shows changes, and the latest frame
  // is kept here for every paint; only a window with no frame to show asks
  // for one (asking on every paint would make every frame cause another).
  if (!plan.hasFrame && !project_.empty()) post(WindowEvent::Repaint);
}

std::span<const HostUi::MenuItem> VistelControl::contextMenu() { return kContextMenu; }

std::span<const HostUi::MenuItem> VistelControl::menu() const {
  if (opening_ == ProjectOpening::Offered) return kContextMenuWithOpen;
  return kContextMenu;
}

bool VistelControl::runCommand(std::int32_t command) {
  switch (static_cast<ControlCommand>(command)) {
    case ControlCommand::ZoomIn:
      zoomByHalf(ZoomDirection::In);
      return true;
    case ControlCommand::ZoomOut:
      zoomByHalf(ZoomDirection::Out);
      return true;
    case ControlCommand::MaximizeView:
      if (presets_[0].defined()) {
        (void)GotoPosition(presets_[0].navProgress, presets_[0].xOffset, presets_[0].yOffset,
                           presets_[0].zoomFactor);
      }
      return true;
    case ControlCommand::SaveSnapshot:
      PromptSnapshot();
      return true;
    case ControlCommand::About:
      ui_.showAbout();
      return true;
    case ControlCommand::CopyPosition:
      copyPosition();
      return true;
    case ControlCommand::OpenProject:
      if (opening_ != ProjectOpening::Offered) return false;
      chooseProjectFile();
      return true;
  }
  return false;
}

void VistelControl::zoomByHalf(ZoomDirection direction) {
  if (!engine_) return;
  const float step = engine_->zoom() * kZoomStep * 3.0f;
  ViewPosition target = engine_->currentPosition();
  if (direction == ZoomDirection::In) {
    target.zoomFactor += step;
    if (target.zoomFactor > kMaxZoom) target.zoomFactor = kMaxZoom;
  } else {
    target.zoomFactor -= step;
    if (target.zoomFactor < kMinZoom) target.zoomFactor = kMinZoom;
  }
  (void)engine_->postPosition(target, MotionTime::Manual);
}

void VistelControl::saveSnapshot() {
  sleepMs(kSnapshotSettleMs);
  engine_->suspend();
  const HostUi::SaveFileRequest request{
      .defaultExtension = "jpg",
      .filter = "JPEG Image|*.jpg;*.jpeg;|",
      .initialName = "",
      .confirmOverwrite = true,
  };
  std::string path;
  if (ui_.chooseSaveFile(request, path)) {
    WaitCursor wait(ui_);
    (void)engine_->saveSnapshot(path);
  }
  // Also after a cancel, and even when a script had suspended the engine.
  engine_->resume();
}

void VistelControl::chooseProjectFile() {
  std::string path;
  if (ui_.chooseOpenFile({.filter = kOpenProjectFilter}, path)) (void)openProjectFile(path);
}

void VistelControl::onDropFile(const std::string& path) {
  if (opening_ == ProjectOpening::Offered) (void)openProjectFile(path);
}

OpenProjectResult VistelControl::openProjectFile(const std::string& path) {
  if (!engine_ || opening_ != ProjectOpening::Offered) return OpenProjectResult::Refused;
  std::string text;
  std::string problem;
  if (!readProjectFile(path, text, problem)) {
    ui_.messageBox(kOpenProjectCaption, problem + " The project shown stays.");
    return OpenProjectResult::Unreadable;
  }
  std::error_code ec;
  std::filesystem::path file = std::filesystem::absolute(path, ec);
  if (ec) file = path;
  std::string folder = file.parent_path().string();
  if (!engine_->loadProject(text, folder)) {
    ui_.messageBox(kOpenProjectCaption,
                   "\"" + path +
                       "\" is not a Vistel project: it needs a <quilo> root element whose "
                       "startview names one of its views. The project shown stays.");
    return OpenProjectResult::NotAProject;
  }
  project_ = std::move(text);
  projectBase_ = std::move(folder);
  modified_ = true;
  ui_.projectOpened(path);
  return OpenProjectResult::Opened;
}

void VistelControl::copyPosition() {
  if (!engine_) return;
  const ViewPosition now = engine_->currentPosition();
  (void)ui_.setClipboardText(
      formatPositionText(now.navProgress, now.xOffset, now.yOffset, now.zoomFactor));
}

// ---- Frame hand-off ---------------------------------------------------------------

std::int32_t VistelControl::deliverFrame(const std::uint32_t* pixels, std::int32_t width,
                                         std::int32_t height) {
  if (!windowExists()) return -1;
  if (!mailbox_.put(pixels, width, height)) return -1;
  ui_.repaint();
  return 0;
}

}  // namespace vistel
