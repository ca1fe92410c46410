#pragma once

// The control's window in Qt. Each paint asks the WindowEvents receiver for a
// PaintPlan (the control fills it: white area, one-pixel grey 0x9E9E9E border,
// and a copy of the engine's latest frame, which the engine thread handed to
// the control's mailbox) and draws it, the frame 1:1 at the top-left corner.
// Window events go to the receiver in the control's terms, and so do the
// copy and open keys and a local file dropped on the window.
//
// Thread-safety: requestRepaint and windowExists may be called from any
// thread while the view exists; everything else is for the Qt
// user-interface thread.

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>

#include "vistel/widget/window_events.h"

namespace vistel {

class ControlView : public QWidget {
  Q_OBJECT

 public:
  // `parent` (may be null) owns the view when given.
  explicit ControlView(QWidget* parent = nullptr);
  ~ControlView() override;

  // Receiver of the window's events and paint plans; not owned, null for
  // none (then the view paints the empty window). It must outlive the view
  // or be replaced first.
  void setWindowEvents(WindowEvents* events);

  // Asks for a repaint on the user-interface thread; returns at once.
  // Requests made before that repaint are merged. Any thread.
  void requestRepaint();

  // Between the window's creation (its first resize or show) and the start
  // of the view's destruction. Any thread.
  bool windowExists() const { return windowExists_.load(std::memory_order_acquire); }

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private slots:
  // The repaint requested by requestRepaint, on the user-interface thread.
  void repaintNow();

 private:
  void ensureCreated();
  // The plan's frame as a QImage, converted once per new frame.
  const QImage& frameImage();

  WindowEvents* events_ = nullptr;   // user-interface thread
  bool created_ = false;             // user-interface thread
  PaintPlan plan_;                   // user-interface thread; its pixels are reused
  QImage image_;                     // user-interface thread: plan_.frame converted
  std::uint64_t imageSequence_ = 0;  // user-interface thread: frame image_ holds
  std::atomic<bool> windowExists_{false};
  std::atomic<bool> repaintPending_{false};
};

}  // namespace vistel
