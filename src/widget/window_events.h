#pragma once

// What a ControlView reports about its window, in the control's terms: the
// receiver (VistelWidget) hands each call to the control's handler of the
// same event. Every member has a harmless default.
//
// Thread-safety: called on the Qt user-interface thread only.

#include <string>

#include "vistel/host/vistel_control.h"

namespace vistel {

class WindowEvents {
 public:
  virtual ~WindowEvents() = default;

  // The window came into existence (before its first resize and show), and
  // went away (from the view's destructor; the receiver must stop every
  // thread that presents frames before it returns).
  virtual void windowCreated() {}
  virtual void windowDestroyed() {}
  virtual void windowShown(bool shown) { (void)shown; }
  virtual void windowResized(int width, int height) {
    (void)width;
    (void)height;
  }
  // Qt key code (Qt::Key) and the held modifiers (Qt::KeyboardModifiers bits).
  virtual void keyDown(int key, int flags) {
    (void)key;
    (void)flags;
  }
  virtual void keyUp(int key, int flags) {
    (void)key;
    (void)flags;
  }
  // Client pixel positions. Capture and focus are the receiver's to take
  // (through HostUi).
  virtual void pointerDown(int x, int y) {
    (void)x;
    (void)y;
  }
  virtual void pointerUp(int x, int y) {
    (void)x;
    (void)y;
  }
  virtual void pointerMove(int x, int y) {
    (void)x;
    (void)y;
  }
  virtual void secondaryDown(int x, int y) {
    (void)x;
    (void)y;
  }
  // Right button released: the place for the context menu.
  virtual void secondaryUp(int x, int y) {
    (void)x;
    (void)y;
  }
  // The platform's copy keys (Ctrl+C) or open keys (Ctrl+O) were pressed in
  // the window; keyDown reports the same press as well.
  virtual void copyRequested() {}
  virtual void openRequested() {}
  // Whether the window takes files dropped on it now; then the local file
  // `path` was dropped on it.
  virtual bool takesDroppedFiles() const { return false; }
  virtual void fileDropped(const std::string& path) { (void)path; }
  // Signed wheel delta, 120 a notch, limited to 16 bits. True when handled.
  virtual bool wheel(int delta) {
    (void)delta;
    return false;
  }
  // Says how to draw the window of `width` x `height` pixels; `plan` is the
  // view's, kept between paints. The default: white with the grey border.
  virtual void paint(int width, int height, PaintPlan& plan) {
    plan.fill = {0, 0, width, height};
    plan.fillColour = 0xFFFFFF;
    plan.border = plan.fill;
    plan.borderColour = 0x9E9E9E;
    plan.hasFrame = false;
  }
};

}  // namespace vistel
