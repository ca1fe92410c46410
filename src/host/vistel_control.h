#pragma once

// VistelControl: the viewer control without any toolkit. It owns the viewer
// engine and the calibrator, holds the state a host gives it (project text,
// presets, key texts, frame rate, motion durations, camera addresses), and
// talks to its host only through HostUi. A host (the Qt desktop widget, a web
// host, the command line, a test) creates one VistelControl per window and:
//
//   1. calls load() with the load-time properties (page <param>s or
//      `--param` options), before its window exists;
//   2. forwards its window's events to the on...() handlers as they happen
//      (onCreate() once its window exists, so windowExists() is true);
//   3. paints with paint() (see "Frame hand-off" below);
//   4. offers the automation members (GotoPosition, Zoom, ...) to scripts.
//
// Frame hand-off. The engine renders on its own thread and hands each frame
// to deliverFrame() (through the engine's frame sink, viewer_engine_binding.h). The control copies
// it into a one-frame mailbox under a mutex and calls HostUi::repaint(), which must only post a
// request to the host's user-interface thread and return. That thread then calls paint() (or
// copyLatestFrame()), which copies the newest frame out under the same mutex. Neither side holds
// the mutex for longer than one copy of a frame, so a slow painter never stalls rendering; frames
// it could not keep up with are skipped, never queued.
//
//   engine thread:  render -> deliverFrame() -> copy in -> HostUi::repaint()
//   UI thread:      repaint request -> paint(w, h, plan) -> copy out -> draw plan
//
// A host keeps one PaintPlan (or FrameCopy) per window and passes it to every
// paint(): its pixel buffer is reused, and an unchanged frame is not copied
// again.
//
// Thread-safety: every member runs on the host thread (the thread that owns
// the control and its window), except deliverFrame(), which the engine
// thread calls, and copyLatestFrame(), which any thread may call.
// HostUi::windowExists() and HostUi::repaint() are called from the engine
// thread as well.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "vistel/host/control_engine.h"
#include "vistel/host/frame_mailbox.h"
#include "vistel/host/host_ui.h"
#include "vistel/host/preset_text.h"
#include "vistel/host/property_bag.h"

namespace vistel {

class Calibrator;
class CameraCredentials;

// Commands of the context menu and of the window (runCommand()).
enum class ControlCommand : std::int32_t {
  About = 1,
  CopyPosition = 2,  // not in the menu: the host binds it to a key or a menu of its own
  SaveSnapshot = 3,
  MaximizeView = 4,
  OpenProject = 5,  // in the menu only where the host offers opening project files
  ZoomIn = 0x8000,
  ZoomOut = 0x8001,
};

// Whether the host lets its user open project files (a desktop viewer does; a
// page embedding the control does not): the "Open project..." menu entry and
// files dropped on the window.
enum class ProjectOpening { Off, Offered };

// What opening a project file came to.
enum class OpenProjectResult {
  Opened,       // shown now
  Unreadable,   // no such file, not a file, unreadable or above 8 MiB
  NotAProject,  // no <quilo> root whose startview names a view
  Refused,      // no engine, or opening is not offered
};

// Texts of the About box, the same in every host.
inline constexpr std::string_view kAboutProductName = "Vistel";
inline constexpr std::string_view kAboutVersionLine = "Version 0.1.0";
inline constexpr std::string_view kAboutMakersLine = "Made by the Vistel developers.";
inline constexpr std::string_view kAboutJpegNote =
    "This software is based in parts on the work of the Independent JPEG Group.";
inline constexpr std::array<std::string_view, 2> kAboutLinks = {"https://www.ijg.org/",
                                                                "https://libjpeg-turbo.org/"};
// The About item of the context menu.
inline constexpr std::string_view kAboutMenuLabel = "About Vistel Panorama viewer...";
// The menu item, chooser filter and message caption of opening a project.
inline constexpr std::string_view kOpenProjectLabel = "Open project...";
inline constexpr std::string_view kOpenProjectFilter = "Vistel project|*.xml;|All files|*;|";
inline constexpr std::string_view kOpenProjectCaption = "Open project";

// The project text when the properties give neither two cameras nor a
// project. It is handed to the engine as text (and fails to load), never
// opened as a file.
inline constexpr std::string_view kDefaultProjectText = "vistel_project.xml";

// Limits of the members that take them.
inline constexpr float kMinZoom = 0.24f;
inline constexpr float kMaxZoom = 4.0f;
inline constexpr std::int32_t kMaxMotionMs = 60000;
// One wheel notch, and the share of the zoom factor one notch adds.
inline constexpr std::int32_t kWheelNotch = 120;
inline constexpr float kZoomStep = 0.16666667f;

// One rectangle of a paint plan, in window pixels.
struct PaintRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// How the host draws its window, in this order: fill `fill` with
// `fillColour`; outline `border` with a one-pixel line of `borderColour`
// (the outermost pixels of the rectangle); then, when `hasFrame`, draw
// `frame` 1:1 with its top-left pixel at the window's top-left pixel.
// Colours are 0xRRGGBB.
struct PaintPlan {
  PaintRect fill;
  std::uint32_t fillColour = 0xFFFFFF;
  PaintRect border;
  std::uint32_t borderColour = 0x9E9E9E;
  bool hasFrame = false;
  FrameCopy frame;  // valid when hasFrame; kept by the host between paints
};

// Whether load(`properties`) makes the control write its two-camera project:
// both camera addresses given and non-empty (topCameraAddress over
// startImage, bottomCameraAddress over endImage), for a control that has not
// loaded properties before.
[[nodiscard]] bool generatesTwoCameraProject(const PropertyBag& properties);

class VistelControl {
 public:
  // Makes the engine the control drives, given the control (whose
  // deliverFrame() receives the engine's frames). May return null: the
  // control then works without an engine.
  using EngineFactory = std::function<std::unique_ptr<ControlEngine>(VistelControl& control)>;

  // `ui` (not owned) must outlive the control. An empty factory, or one that
  // returns null, leaves the control without an engine: the guarded members
  // do nothing, the getters return 0, load() still builds the project text
  // (this is what `vistel generate` uses).
  VistelControl(HostUi& ui, const EngineFactory& makeEngine);
  // Destroys the engine (stopping its thread) before anything else.
  ~VistelControl();
  VistelControl(const VistelControl&) = delete;
  VistelControl& operator=(const VistelControl&) = delete;

  // ---- Load-time properties ----------------------------------------------

  // Reads the properties in the fixed order: keys (a later name wins:
  // topKey over startKey, bottomKey over endKey; empty keys become the
  // calibration's default key texts), camera images (topCameraAddress over
  // startImage, bottomCameraAddress over endImage), FPS; with both images,
  // the camera access check (may prompt through HostUi and block on the
  // network) and the generated project; Preset1 ... Preset15; Project (or
  // kDefaultProjectText) when nothing was generated, loaded at once if the
  // window exists; manualTime and presetTime (1000 when empty; passed to the
  // engine only within range). Absent names leave their fields unchanged.
  void load(const PropertyBag& properties);

  // The state load() and the members keep.
  const std::string& projectText() const { return project_; }
  const std::array<ViewPosition, 16>& presets() const { return presets_; }
  const std::string& startKey() const { return startKey_; }
  const std::string& endKey() const { return endKey_; }
  const std::string& startImage() const { return startImage_; }
  const std::string& endImage() const { return endImage_; }
  float fps() const { return fps_; }
  std::optional<std::int32_t> presetTime() const { return presetTime_; }
  std::optional<std::int32_t> manualTime() const { return manualTime_; }
  // Set when a project text was handed to the engine by load(), onCreate()
  // or the Project property.
  bool modified() const { return modified_; }
  // The camera access check's probes (camera_credentials.h); set its
  // time-outs before load().
  CameraCredentials& credentials() { return *credentials_; }
  bool hasEngine() const { return engine_ != nullptr; }

  // ---- Automation members (the names scripts call) ----------------------

  // The project property: get returns the stored text; put loads `text` in
  // the engine and marks the control modified without storing it.
  std::string Project() const { return project_; }
  void Project(std::string_view text);
  // The stock caption; the viewer does not use it.
  std::string Text() const { return text_; }
  void Text(std::string_view text) { text_.assign(text); }

  // 1 when a motion to the position was queued; 0 without an engine or
  // window, or when a value is outside progress 0..1, zoom 0.24..4, offsets
  // -0.5..0.5 (checked in that order; NaN fails).
  [[nodiscard]] std::int16_t GotoPosition(float navProgress, float xOffset, float yOffset,
                                          float zoomFactor);
  // Preset 0 (the overall view) or a defined Preset1..15; anything else does
  // nothing.
  void GotoPreset(std::int16_t preset);
  // A motion to the current zoom plus `offset`, kept within 0.24..4.
  void Zoom(float offset);
  // A motion to progress `offset` (absolute, 0..1) with the current pan and
  // zoom; other values do nothing.
  void Blend(float offset);
  // Sets the zoom at once, kept within 0.24..4.
  void SetZoom(float zoomFactor);
  // Where the engine is now; 0 without an engine, window or project.
  float GetBlendFactor() const;
  float GetZoomFactor() const;
  float GetXOffset() const;
  float GetYOffset() const;
  // Motion durations; values outside 0..60000 (preset) or below 0 (manual)
  // are ignored.
  void SetPresetTime(std::int32_t milliseconds);
  void SetManualTime(std::int16_t milliseconds);
  // The save-snapshot dialog (see runCommand(SaveSnapshot)).
  void PromptSnapshot();
  // A motion to (0.5, 0, 0, 0.64).
  void Home();
  void Suspend();
  void Resume();
  // Accepted and ignored.
  void SetStartKey(std::string_view key);
  void SetEndKey(std::string_view key);
  // Loads `xml` in the engine; nothing is stored.
  void SetProjectXMLBuffer(std::string_view xml);
  // Requests the address and forgets the answer; blocks until the response
  // header arrived or the request failed.
  void ExecSilentURL(std::string_view url);
  // The key texts of the last successful Recalibrate; empty before.
  std::string GetSourceKey() const;
  std::string GetDestinationKey() const;
  // RecalibrateCode: 0 done, 1 source picture, 2 source key, 3 destination
  // picture, 4 destination key. Blocks while pictures download.
  [[nodiscard]] std::int16_t Recalibrate(std::string_view strSourceImagePath,
                                         std::string_view strSourceKey,
                                         std::string_view strDestinationImagePath,
                                         std::string_view strDestinationKey);

  // ---- Window events ------------------------------------------------------

  // The window now exists: placeholder picture, Created, then the project
  // held now is loaded.
  void onCreate();
  // The window is gone: the engine thread is told to stop; the frame kept
  // for painting is dropped.
  void onDestroy();
  void onShowWindow(bool shown, std::int32_t status);
  void onSize(std::int32_t width, std::int32_t height);
  void onEnterIdle();
  void onKeyDown(std::int32_t keyCode, std::int32_t keyFlags);
  void onKeyUp(std::int32_t keyCode, std::int32_t keyFlags);
  // Pointer positions are in window (client) pixels.
  void onLeftButtonDown(std::int32_t x, std::int32_t y);
  void onLeftButtonUp(std::int32_t x, std::int32_t y);
  void onMouseMove(std::int32_t x, std::int32_t y);
  void onRightButtonDown(std::int32_t x, std::int32_t y);
  // Shows the context menu through HostUi::trackPopupMenu and runs the
  // chosen command.
  void onRightButtonUp(std::int32_t x, std::int32_t y);
  // Zooms at once by a sixth of the zoom factor a notch of 120. Parts of a
  // notch add up over the events until a whole one is there; a change of
  // direction drops the part left over. True (handled) when there is an
  // engine.
  bool onMouseWheel(std::int16_t delta);
  // A file was dropped on the window: opened as a project when the host
  // offers opening (see openProjectFile), otherwise ignored.
  void onDropFile(const std::string& path);

  // Fills `plan` for a window of `width` x `height` pixels, with a copy of
  // the latest frame when there is one; without one, and with a project text
  // set, asks the engine to render.
  void paint(std::int32_t width, std::int32_t height, PaintPlan& plan);

  // The context menu of every host, in order; separators have command 0.
  static std::span<const HostUi::MenuItem> contextMenu();
  // The menu this control shows: contextMenu(), with "Open project..."
  // before "Save snapshot..." when the host offers opening project files.
  std::span<const HostUi::MenuItem> menu() const;

  // Runs a command of ControlCommand: ZoomIn / ZoomOut (a motion by half the
  // zoom, within 0.24..4, lasting the manual time), MaximizeView (preset
  // 0), SaveSnapshot (suspend, file dialog, JPEG, resume in every case),
  // About, CopyPosition ("%.2f;%.2f,%.2f;%.2f;" of the current position to
  // the clipboard), OpenProject (file chooser, then openProjectFile; only
  // where offered). False for an unknown identifier or a command not offered.
  bool runCommand(std::int32_t command);

  // ---- Project files (a desktop host's) -------------------------------------

  // Offers opening project files, or not (Off, the default).
  void setProjectOpening(ProjectOpening opening) { opening_ = opening; }
  ProjectOpening projectOpening() const { return opening_; }
  // Reads the project file `path` (at most 8 MiB) and shows it: it becomes
  // the project text, its relative file:// pictures are read from its folder,
  // and HostUi::projectOpened is told. A file that cannot be read or holds no
  // project is reported in a message box and changes nothing: the project
  // shown before stays. Refused without an engine or when opening is Off.
  OpenProjectResult openProjectFile(const std::string& path);

  // ---- Frame hand-off (see the top of this file) -------------------------

  // Where the engine's frame sink delivers: keeps a copy of the `width` x
  // `height` frame (read during the call only) and asks the host to repaint.
  // -1 (frame dropped) when the window does not exist or the frame is
  // unusable, else 0. Engine thread.
  std::int32_t deliverFrame(const std::uint32_t* pixels, std::int32_t width, std::int32_t height);
  // The latest delivered frame (see FrameMailbox::copyLatest). Any thread.
  bool copyLatestFrame(FrameCopy& out) const { return mailbox_.copyLatest(out); }

 private:
  bool windowExists() const { return ui_.windowExists(); }
  void post(WindowEvent code, std::int32_t a = 0, std::int32_t b = 0);
  enum class ZoomDirection { In, Out };
  void zoomByHalf(ZoomDirection direction);
  void saveSnapshot();
  void copyPosition();
  void chooseProjectFile();

  HostUi& ui_;
  std::unique_ptr<CameraCredentials> credentials_;  // never null
  std::unique_ptr<Calibrator> calibrator_;          // always set
  FrameMailbox mailbox_;                            // shared with the engine thread; locks itself

  // Host thread only.
  std::string project_;
  std::array<ViewPosition, 16> presets_;
  std::string startKey_;
  std::string endKey_;
  float fps_ = -1.0f;
  std::optional<std::int32_t> presetTime_;
  std::optional<std::int32_t> manualTime_;
  std::string startImage_;
  std::string endImage_;
  std::string text_;
  bool modified_ = false;
  std::string projectBase_;          // folder of project_'s pictures; empty: the engine's own
  std::int32_t wheelRemainder_ = 0;  // part of a wheel notch not yet zoomed, signed
  ProjectOpening opening_ = ProjectOpening::Off;

  // Last, so it is destroyed first: its thread may still deliver frames.
  std::unique_ptr<ControlEngine> engine_;
};

}  // namespace vistel
