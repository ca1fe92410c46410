#pragma once

// The one object a host owns to show a project. The engine owns the parsed
// document, the run-time Scene, the FrameRenderer, the ImageSourceManager and,
// once a project is loaded, the Navigator, and runs a worker thread (the
// engine thread) that, every pass followed by a 15 ms sleep, drains the
// window events the host posted and, while a project is loaded, the window is
// visible and the engine is not suspended, steps the navigator, runs queued
// scripts, follows the views' pictures and, when something that shows has
// changed since the last frame, renders one frame into the host's frame sink.
// A still project therefore costs one frame, not one every pass; the host
// keeps the last frame it was given and paints it as often as it needs.
//
// A host typically: create()s the engine with its thread starter and sink,
// posts Show (1) and Size (width, height) as its window appears, calls
// loadProject, and then drives it with postPosition / setZoom, PointerDown
// events for click-to-go, suspend/resume around modal work, and saveSnapshot.
// Destroying the engine stops the thread first.
//
// Thread-safety: every operation is called on one host thread (the thread
// that created the engine). The frame sink runs on the engine thread, inside
// a pass; it must copy or paint and return, and must not wait for the host
// thread: loadProject, saveSnapshot, copyFrame, setPlaceholder,
// currentPosition, isMoving and currentPictures wait for the pass in progress.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/engine/navigator_host.h"
#include "vistel/imaging/source_reader_factory.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/thread.h"
#include "vistel/project/script_host.h"
#include "vistel/scene/frame_sink.h"

namespace vistel {

class FrameRenderer;
class ImageSourceManager;
class Instance;
class LinkTraversal;
class Navigator;
class ProjectDocument;
class Scene;

// A navigation target: created by the host or by click-to-go, handed over by
// pointer and owned from then on by the navigator that travels to it.
struct NavPosition {
  float navProgress = 0;  // along the current link: 0 its source view, 1 its destination
  float xOffset = 0;      // view coordinate shown at the frame centre (an image spans -0.5..0.5)
  float yOffset = 0;
  float zoomFactor = 0;        // magnification; 1 shows one image width across the frame
  bool usePresetTime = false;  // the move lasts presetTime (true) or manualTime (false)
  friend bool operator==(const NavPosition&, const NavPosition&) = default;
};

// How long a move to a posted position lasts.
enum class MotionTime {
  Manual,  // the manual time, as a pointer drag or a zoom step
  Preset,  // the preset time, as a preset or a script's goto
};

// Window events the host posts (EngineEvent::code).
enum EngineEventCode : std::int32_t {
  kEventCreated = 1,         // 0, 0
  kEventShow = 3,            // show flag (1: visible), status
  kEventRepaint = 4,         // the host lost its picture: the next active pass renders
  kEventSize = 5,            // width, height (each 1..2047, else ignored)
  kEventStop = 7,            // ends the engine thread after the pass in progress
  kEventIdle = 8,            // 0, 0
  kEventPointerDown = 32,    // client x, y: click-to-go at the next active pass
  kEventPointerUp = 33,      // x, y
  kEventSecondaryDown = 34,  // x, y
  kEventSecondaryUp = 35,    // screen x, y
  kEventPointerMove = 36,    // x, y
  kEventKeyDown = 64,        // key code, key flags
  kEventKeyUp = 65,          // key code, key flags
};

// One slot of the event ring.
struct EngineEvent {
  std::int32_t code = 0;
  std::int32_t a = 0;
  std::int32_t b = 0;
};

// What tools, tests and benchmarks may replace around the engine. Every
// member has a sound default.
struct EngineEnvironment {
  // Time base of the motions; null for the system clock. Must outlive the engine.
  const Clock* clock = nullptr;
  // The pause after each pass, given kPassSleepMs; empty for a sleep of that
  // long that a newly decoded picture ends early. Runs on the engine thread; a
  // replacement must return for the thread to stop.
  std::function<void(std::uint32_t ms)> passSleep;
  // Makes the source manager's readers; empty for camera stream readers.
  SourceReaderFactory readerFactory;
  // Makes the source manager's readers of rtsp:// cameras; empty for
  // RtspSourceReaders.
  SourceReaderFactory rtspReaderFactory = {};
};

// How far one current view's picture has come, for hosts that wait for pictures.
struct ViewPicture {
  enum class State { NoSource, Waiting, Delivered, Failed };
  std::string viewId;
  std::string source;  // the view's `src` as written; empty without one
  State state = State::NoSource;
  std::string reason;  // why the camera has failed lately (failureText), empty when it has not
};

class ViewerEngine final : private ScriptHost, private NavigatorHost {
 public:
  static constexpr std::int32_t kEventSlots = 32;  // the ring holds kEventSlots - 1 unread events
  static constexpr std::uint32_t kPassSleepMs = 15;
  static constexpr std::uint32_t kPollMs = 100;  // full-ring wait
  static constexpr std::int32_t kMaxOutputSide = 2047;
  static constexpr std::int32_t kInitialPresetTimeMs = 10;
  static constexpr std::int32_t kInitialManualTimeMs = 1000;

  // Builds, in this order, the ImageSourceManager (threads started through
  // `threadStarter`; budgets 2048 and 4096 KiB, two readers), the Scene and the
  // FrameRenderer (calling `frameSink` with `host`, which may be null; its
  // helper threads for the pixel work started through `threadStarter`), then
  // starts the engine thread through `threadStarter` (stack size 0). The
  // engine starts suspended, invisible, unsized and without a project. If the
  // thread cannot be started the engine works but never renders. Host thread.
  [[nodiscard]] static std::unique_ptr<ViewerEngine> create(void* host,
                                                            const ThreadStarter& threadStarter,
                                                            FrameSink frameSink,
                                                            EngineEnvironment environment = {});

  // Only create() can make this key.
  class Key {
    friend class ViewerEngine;
    Key() = default;
  };
  ViewerEngine(Key, void* host, const ThreadStarter& threadStarter, FrameSink frameSink,
               EngineEnvironment environment);
  // Stops the engine thread (waiting for the pass in progress), then deletes
  // the navigator, the renderer, the document, the scene and the source
  // manager, in that order.
  ~ViewerEngine() override;
  ViewerEngine(const ViewerEngine&) = delete;
  ViewerEngine& operator=(const ViewerEngine&) = delete;

  // Appends one event to the ring; true when it was queued. While the ring is
  // full (31 unread) it waits, in kPollMs sleeps, until the engine thread has
  // drained one, but only while that thread will drain: after a posted Stop,
  // once the thread has ended, or when it never started, the event is dropped
  // at once (false). The host may ignore the result: nobody would read a
  // dropped event.
  bool postEvent(std::int32_t code, std::int32_t a, std::int32_t b);

  // Sets the record's usePresetTime from `time` and queues it with the
  // navigator, which travels to it after the positions queued before; true
  // when queued. Discarded (false) without a navigator (no project loaded);
  // null is ignored (false).
  bool postPosition(std::unique_ptr<NavPosition> position, MotionTime time);

  // Progress along the current link (0 when the project has none) and the
  // navigator's pan and zoom; usePresetTime false. All zero without a
  // navigator (no project loaded).
  [[nodiscard]] NavPosition currentPosition() const;
  // The navigator's zoom; 0 without one.
  [[nodiscard]] float zoom() const;
  // Sets the navigator's zoom at once, without a motion (nothing without one).
  void setZoom(float value);
  // Durations of the next motions, in ms (the host checks the range).
  void setPresetTime(std::int32_t ms) { presetTime_.store(ms, std::memory_order_relaxed); }
  void setManualTime(std::int32_t ms) { manualTime_.store(ms, std::memory_order_relaxed); }

  // While suspended, events are still drained but nothing is stepped, no
  // script runs and nothing is rendered.
  void suspend() { suspended_.store(true, std::memory_order_release); }
  void resume() { suspended_.store(false, std::memory_order_release); }

  // Copies a width x height RGB picture (3 bytes a pixel) for blank frames to
  // show; null removes it.
  void setPlaceholder(const std::uint8_t* rgb, std::int32_t width, std::int32_t height);

  // Writes the current frame as a JPEG file. False, writing nothing, before the
  // first Size or when the file cannot be created.
  [[nodiscard]] bool saveSnapshot(const char* path) const;
  // Copies the current frame (width * height pixels, layout of pixel_views.h).
  // False, leaving the outputs untouched, before the first Size.
  [[nodiscard]] bool copyFrame(std::vector<std::uint32_t>& pixels, std::int32_t& width,
                               std::int32_t& height) const;

  // Parses `length` bytes of project text and, when it has a root element
  // whose "startview" names a view, waits for the pass in progress, replaces
  // the document, rebuilds the scene with that view, makes a new navigator
  // (which enters the view's first edge) and resumes the engine. Relative
  // file:// pictures of the new project are read from `fileBase` (a folder;
  // empty: the current directory). Otherwise false, and the previous project
  // (if any) stays loaded and shown, and nothing else changes.
  [[nodiscard]] bool loadProject(const char* text, std::size_t length,
                                 std::string_view fileBase = {});
  // The view `document` starts in: its "startview" when that names one of its
  // views, otherwise nothing (loadProject refuses such a document). Any thread.
  [[nodiscard]] static std::optional<std::string> startViewOf(const ProjectDocument& document);

  // True while the navigator has a motion running or queued. False without one.
  [[nodiscard]] bool isMoving() const;
  // The current views' picture states, source view first; empty before the
  // first successful load.
  [[nodiscard]] std::vector<ViewPicture> currentPictures() const;
  // False once the engine thread has ended (after Stop), or when it never started.
  [[nodiscard]] bool running() const { return !stopped_.load(std::memory_order_acquire); }

 private:
  // What makes the next active pass render. Each cause sets its bit where it
  // happens; the render clears them all. A new cause of change (an overlay
  // that ages, a placeholder reason) adds a bit and sets it where it arises.
  enum RenderCause : std::uint32_t {
    kRenderProject = 1u << 0,      // a project was loaded
    kRenderSize = 1u << 1,         // the output size changed
    kRenderActivated = 1u << 2,    // passes run again: shown, resumed, first project
    kRenderPlaceholder = 1u << 3,  // the blank frames' picture changed
    kRenderPictures = 1u << 4,     // a current view's source or picture changed
    kRenderView = 1u << 5,         // progress, pan or zoom moved (motions, setZoom)
    kRenderRepaint = 1u << 6,      // the host has no picture left and asked for one
    kRenderCaption = 1u << 7,      // a view's caption changed: a failure's reason came or went,
                               // a stale picture's age moved on (once a second on a still scene)
  };
  // What the frame is seen through; a change of any part shows.
  struct ViewState {
    const LinkTraversal* link = nullptr;
    float progress = 0;
    float xOffset = 0;
    float yOffset = 0;
    float zoom = 0;
    friend bool operator==(const ViewState&, const ViewState&) = default;
  };

  void requestRender(RenderCause cause) { renderCauses_ |= cause; }
  ViewState viewState() const;
  void threadRoutine();
  // Whether the engine thread will still drain the ring. Any thread.
  bool drains() const {
    return !stopRequested_.load(std::memory_order_acquire) &&
           !stopped_.load(std::memory_order_acquire);
  }
  void runPass();
  void drainEvents();
  void applyEvent(const EngineEvent& event);
  // Makes the edge's link current and its views the current views; false when
  // the edge names no link that can start. Engine thread, or host thread with
  // the pass lock held.
  bool enterEdge(Instance& edge) override;
  void setPendingLink(std::string_view link) override { pendingLink_.assign(link); }

  // The navigator's view of the engine (navigator_host.h).
  Scene& navigatorScene() override { return *scene_; }
  FrameRenderer& navigatorRenderer() override { return *renderer_; }
  std::uint32_t navigatorNowMs() const override { return clock_.nowMs(); }
  std::int32_t motionTimeMs(bool usePresetTime) const override {
    return usePresetTime ? presetTime_.load(std::memory_order_relaxed)
                         : manualTime_.load(std::memory_order_relaxed);
  }
  NavigatorPassInput passInput() const override {
    return {pressedThisPass_, pressX_, pressY_, width_, height_};
  }

  // Ends the pass sleep early when the source manager has decoded a new
  // picture, so that it is shown at once rather than after up to a sleep.
  // Declared before the source manager, whose loader thread wakes it.
  struct PassWake {
    std::mutex lock;
    std::condition_variable changed;
    bool pending = false;  // guarded by lock
    void notify();
    void sleep(std::uint32_t ms);  // at most `ms`, less when notified
  } passWake_;

  // Owned parts, declared so that they are built in the order source manager,
  // scene, renderer and destroyed navigator, renderer, document, scene, source
  // manager.
  std::unique_ptr<ImageSourceManager> sourceManager_;
  std::unique_ptr<Scene> scene_;
  std::unique_ptr<ProjectDocument> document_;  // written with passLock_ held
  std::unique_ptr<FrameRenderer> renderer_;
  std::unique_ptr<Navigator> navigator_;  // written on the host thread with passLock_ held

  const Clock& clock_;
  const std::function<void(std::uint32_t)> passSleep_;

  // The event ring: the host thread writes slots and writeIndex_, the engine
  // thread readIndex_; an entry is published by advancing writeIndex_.
  std::array<EngineEvent, kEventSlots> events_{};
  std::atomic<std::int32_t> readIndex_{0};
  std::atomic<std::int32_t> writeIndex_{0};
  bool stopPosted_ = false;  // host thread: a Stop is in the ring, so nothing after it is read

  std::atomic<bool> stopRequested_{false};  // engine thread (Stop) or destructor
  std::atomic<bool> stopped_{false};        // engine thread, as its last act
  std::atomic<bool> suspended_{true};       // host thread
  std::atomic<std::int32_t> presetTime_{kInitialPresetTimeMs};  // host thread
  std::atomic<std::int32_t> manualTime_{kInitialManualTimeMs};  // host thread

  // Held by the engine thread for each whole pass (not its sleep), and by the
  // host thread while it loads a project or reads what a pass writes.
  mutable std::mutex passLock_;
  // Engine-thread state of a pass; guarded by passLock_.
  bool suspendedThisPass_ = true;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  bool sized_ = false;
  bool visible_ = false;
  bool pressedThisPass_ = false;
  std::int32_t pressX_ = 0;
  std::int32_t pressY_ = 0;
  std::string pendingLink_;         // the link the last `play` action named; nothing reads it yet
  std::uint32_t renderCauses_ = 0;  // RenderCause bits gathered since the last frame
  bool activeLastPass_ = false;     // the last pass stepped and could render

  Thread thread_;  // last: started when everything else exists
};

}  // namespace vistel
