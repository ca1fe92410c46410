#pragma once

// What a FrameView reports about its window, in the control's terms: the
// receiver turns each call into the engine event of the same name (or, for
// secondaryUp, the context menu). Every member has an empty default.
//
// Thread-safety: called on the Qt user-interface thread only.

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
  // Client pixel positions. The view holds the mouse capture from a button's
  // press to its release.
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
  // Signed wheel delta, 120 a notch, limited to 16 bits. True when handled.
  virtual bool wheel(int delta) {
    (void)delta;
    return false;
  }
  // The view painted its white area and border; a frame is drawn over it next.
  virtual void painted() {}
};

}  // namespace vistel
