#pragma once

// The viewer control as a Qt widget: it owns a VistelControl (and through it
// the viewer engine), the Qt HostUi the control talks through, and the
// ControlView that is the control's window. Every event of that window goes to
// the control's handler of the same event; each paint draws the control's
// paint plan; the context menu, dialogs, capture and focus are Qt's. The copy
// keys (Ctrl+C) copy the position text; where the control offers opening
// project files (VistelControl::setProjectOpening), the open keys (Ctrl+O)
// and files dropped on the window open one.
//
// Typical use: construct, call control().load(properties) before the widget
// is first shown (the window does not exist yet), then show it; script-like
// calls (GotoPosition, Zoom, ...) go to control().
//
// Thread-safety: a widget; the Qt user-interface thread only. The engine's
// thread reaches it only through the control's frame hand-off.

#include <QWidget>
#include <memory>

#include "vistel/host/vistel_control.h"
#include "vistel/widget/control_view.h"
#include "vistel/widget/qt_host_ui.h"
#include "vistel/widget/window_events.h"

namespace vistel {

class VistelWidget : public QWidget, private WindowEvents {
  Q_OBJECT

 public:
  // `makeEngine` makes the control's engine (see viewerEngineFactory in
  // viewer_engine_binding.h; empty: no engine). `parent` (may be null) owns
  // the widget when given.
  explicit VistelWidget(const VistelControl::EngineFactory& makeEngine, QWidget* parent = nullptr);
  // Tells the control its window is going, then destroys the control (which
  // stops the engine thread) before the window itself.
  ~VistelWidget() override;

  // Owned by the widget; valid for its lifetime.
  VistelControl& control() { return *control_; }
  ControlView* view() const { return view_; }
  QtHostUi& hostUi() { return *ui_; }

 signals:
  // The control now shows the project read from the file `path` (opened from
  // the menu, with the open keys, or dropped on the window).
  void projectOpened(const QString& path);

 private:
  void windowCreated() override;
  void windowDestroyed() override;
  void windowShown(bool shown) override;
  void windowResized(int width, int height) override;
  void keyDown(int key, int flags) override;
  void keyUp(int key, int flags) override;
  void pointerDown(int x, int y) override;
  void pointerUp(int x, int y) override;
  void pointerMove(int x, int y) override;
  void secondaryDown(int x, int y) override;
  void secondaryUp(int x, int y) override;
  bool wheel(int delta) override;
  void copyRequested() override;
  void openRequested() override;
  bool takesDroppedFiles() const override;
  void fileDropped(const std::string& path) override;
  void paint(int width, int height, PaintPlan& plan) override;

  ControlView* view_;                       // child; destroyed after the control
  std::unique_ptr<QtHostUi> ui_;            // outlives control_
  std::unique_ptr<VistelControl> control_;  // destroyed first
  bool destroyed_ = false;                  // the control was told the window went
};

}  // namespace vistel
