#pragma once

// The control's window in Qt: a white area with a one-pixel grey (0x9E9E9E)
// border, and over it, 1:1 at the top-left corner, the last frame the engine
// handed over. Frames arrive from any thread and are copied under a mutex;
// the repaint is then asked for on the user-interface thread. Window events
// go to a WindowEvents receiver.
//
// Thread-safety: presentFrame, requestRepaint and windowExists may be called
// from any thread while the view exists; everything else is for the Qt
// user-interface thread.

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "vistel/widget/window_events.h"

namespace vistel {

class FrameView : public QWidget {
  Q_OBJECT

 public:
  // Frames with a longer side are refused.
  static constexpr int kMaxFrameSide = 16384;
  // Colours of the empty window.
  static constexpr QRgb kBackground = 0xFFFFFFu;
  static constexpr QRgb kBorder = 0x9E9E9Eu;

  // `parent` (may be null) owns the view when given.
  explicit FrameView(QWidget* parent = nullptr);
  ~FrameView() override;

  // Receiver of the window's events; not owned, null for none. It must
  // outlive the view or be replaced first.
  void setWindowEvents(WindowEvents* events);

  // Copies a width x height frame of 32-bit pixels (bytes blue, green, red,
  // unused; rows top-down without gaps) and asks for a repaint. 0 when taken;
  // -1 when dropped: no window yet or any more, no pixels, or a size outside
  // 1..kMaxFrameSide. Any thread.
  int presentFrame(const std::uint32_t* pixels, int width, int height);

  // Forgets the last frame; the next paint shows only the empty window.
  void clearFrame();

  // Asks for a repaint on the user-interface thread; returns at once.
  // Requests made before that repaint are merged. Any thread.
  void requestRepaint();

  // Between the window's creation (first resize or show) and the view's
  // destruction. Any thread.
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

 private:
  void ensureCreated();

  WindowEvents* events_ = nullptr;  // user-interface thread
  bool created_ = false;            // user-interface thread

  std::mutex frameMutex_;
  QImage frame_;  // guarded by frameMutex_; shared shallowly with a running paint
  std::atomic<bool> windowExists_{false};
  std::atomic<bool> repaintPending_{false};
};

}  // namespace vistel
