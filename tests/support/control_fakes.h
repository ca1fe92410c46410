#pragma once

// Stand-ins for the two things a VistelControl talks to: an engine that
// records every call and holds a settable position, and a HostUi whose
// answers the test scripts. Both write into one shared call log, so a test can
// check the order of engine calls and dialogs.
//
// Thread-safety: the log and the recorded calls belong to the host thread;
// only windowExists() and repaint() (the members the engine thread calls) are
// safe from other threads.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vistel/host/control_engine.h"
#include "vistel/host/host_ui.h"
#include "vistel/host/vistel_control.h"

namespace vistel::test {

struct PostedEvent {
  WindowEvent code;
  std::int32_t a;
  std::int32_t b;
  friend bool operator==(const PostedEvent&, const PostedEvent&) = default;
};

struct PostedPosition {
  ViewPosition target;
  bool usePresetTime;
  friend bool operator==(const PostedPosition&, const PostedPosition&) = default;
};

class FakeEngine : public ControlEngine {
 public:
  explicit FakeEngine(std::vector<std::string>& log) : log_(log) {}

  void postEvent(WindowEvent code, std::int32_t a, std::int32_t b) override {
    events.push_back({code, a, b});
  }
  bool postPosition(const ViewPosition& target, MotionTime time) override {
    if (!hasProject) return false;
    positions.push_back({target, time == MotionTime::Preset});
    return true;
  }
  ViewPosition currentPosition() const override { return position; }
  float zoom() const override { return position.zoomFactor; }
  void setZoom(float value) override {
    zooms.push_back(value);
    position.zoomFactor = value;
  }
  void setPresetTime(std::int32_t ms) override { presetTimes.push_back(ms); }
  void setManualTime(std::int32_t ms) override { manualTimes.push_back(ms); }
  void suspend() override { log_.push_back("suspend"); }
  void resume() override { log_.push_back("resume"); }
  void setPlaceholder(std::span<const std::uint8_t> rgb, std::int32_t width,
                      std::int32_t height) override {
    placeholder.assign(rgb.begin(), rgb.end());
    placeholderWidth = width;
    placeholderHeight = height;
  }
  bool saveSnapshot(const std::string& path) override {
    log_.push_back("saveSnapshot " + path);
    return true;
  }
  bool loadProject(std::string_view text, std::string_view fileBase) override {
    loaded.emplace_back(text);
    loadedBases.emplace_back(fileBase);
    return loads;
  }

  ViewPosition position{0.5f, 0.0f, 0.0f, 1.0f};
  bool hasProject = true;  // positions are queued (else discarded)
  bool loads = true;       // what loadProject answers
  std::vector<PostedEvent> events;
  std::vector<PostedPosition> positions;
  std::vector<float> zooms;
  std::vector<std::int32_t> presetTimes;
  std::vector<std::int32_t> manualTimes;
  std::vector<std::string> loaded;
  std::vector<std::string> loadedBases;
  std::vector<std::uint8_t> placeholder;
  std::int32_t placeholderWidth = 0;
  std::int32_t placeholderHeight = 0;

 private:
  std::vector<std::string>& log_;
};

class ScriptedUi : public HostUi {
 public:
  explicit ScriptedUi(std::vector<std::string>& log) : log_(log) {}

  bool promptCredentials(std::string_view host, Credentials& out) override {
    prompts.emplace_back(host);
    if (credentialAnswers.empty()) return false;
    const std::optional<Credentials> answer = credentialAnswers.front();
    credentialAnswers.erase(credentialAnswers.begin());
    if (!answer) return false;
    out = *answer;
    return true;
  }
  bool chooseSaveFile(const SaveFileRequest& request, std::string& path) override {
    log_.push_back("chooseSaveFile");
    saveRequests.push_back({std::string(request.defaultExtension), std::string(request.filter),
                            std::string(request.initialName), request.confirmOverwrite});
    if (!savePath) return false;
    path = *savePath;
    return true;
  }
  bool chooseOpenFile(const OpenFileRequest& request, std::string& path) override {
    log_.push_back("chooseOpenFile " + std::string(request.filter));
    if (!openPath) return false;
    path = *openPath;
    return true;
  }
  void messageBox(std::string_view caption, std::string_view text) override {
    log_.push_back("message " + std::string(caption) + ": " + std::string(text));
  }
  void projectOpened(std::string_view path) override {
    log_.push_back("opened " + std::string(path));
  }
  bool setClipboardText(std::string_view text) override {
    clipboard.assign(text);
    return true;
  }
  void showAbout() override { log_.push_back("about"); }
  void setWaitCursor(bool on) override { log_.push_back(on ? "wait on" : "wait off"); }
  bool windowExists() const override { return window.load(); }
  void repaint() override { repaints.fetch_add(1); }
  std::int32_t trackPopupMenu(std::span<const MenuItem> items, std::int32_t screenX,
                              std::int32_t screenY) override {
    log_.push_back("menu at " + std::to_string(screenX) + "," + std::to_string(screenY));
    menuItems.assign(items.begin(), items.end());
    return menuChoice;
  }
  void clientToScreen(std::int32_t& x, std::int32_t& y) const override {
    x += 1000;
    y += 2000;
  }
  void setMouseCapture(bool on) override { log_.push_back(on ? "capture" : "release"); }
  void takeFocus() override { log_.push_back("focus"); }

  struct SaveRequest {
    std::string extension, filter, initialName;
    bool confirmOverwrite;
  };

  std::atomic<bool> window{true};
  std::atomic<int> repaints{0};
  std::optional<std::string> savePath;                        // the chooser's answer; none: cancel
  std::optional<std::string> openPath;                        // the open chooser's; none: cancel
  std::vector<std::optional<Credentials>> credentialAnswers;  // none: cancel
  std::int32_t menuChoice = 0;
  std::vector<std::string> prompts;
  std::vector<SaveRequest> saveRequests;
  std::vector<MenuItem> menuItems;
  std::string clipboard;

 private:
  std::vector<std::string>& log_;
};

// A control driving a FakeEngine (or none) through a ScriptedUi.
struct ControlRig {
  explicit ControlRig(bool withEngine = true)
      : ui(log),
        control(ui, withEngine ? VistelControl::EngineFactory([this](VistelControl&) {
                  auto made = std::make_unique<FakeEngine>(log);
                  engine = made.get();
                  return made;
                })
                               : VistelControl::EngineFactory()) {}

  std::vector<std::string> log;
  ScriptedUi ui;
  FakeEngine* engine = nullptr;  // owned by control
  VistelControl control;
};

}  // namespace vistel::test
