#include "vistel/widget/frame_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace vistel {

// The engine's pixels are bytes blue, green, red, unused: one little-endian
// 0x??RRGGBB word, which is QImage::Format_RGB32 only on little-endian hosts.
static_assert(std::endian::native == std::endian::little,
              "frame pixels are read as little-endian words");

namespace {

QPoint clientPoint(const QMouseEvent* event) { return event->position().toPoint(); }

}  // namespace

FrameView::FrameView(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted each time: Qt need not clear the area first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  // Right-button presses and releases come to the mouse handlers: the menu is
  // the control's, opened on release.
  setContextMenuPolicy(Qt::PreventContextMenu);
}

FrameView::~FrameView() {
  {
    std::lock_guard lock(frameMutex_);
    windowExists_.store(false, std::memory_order_release);
  }
  if (created_ && events_ != nullptr) events_->windowDestroyed();
}

void FrameView::setWindowEvents(WindowEvents* events) { events_ = events; }

int FrameView::presentFrame(const std::uint32_t* pixels, int width, int height) {
  if (pixels == nullptr || width <= 0 || height <= 0 || width > kMaxFrameSide ||
      height > kMaxFrameSide) {
    return -1;
  }
  {
    std::lock_guard lock(frameMutex_);
    if (!windowExists_.load(std::memory_order_relaxed)) return -1;
    if (frame_.width() != width || frame_.height() != height) {
      frame_ = QImage(width, height, QImage::Format_RGB32);
      if (frame_.isNull()) return -1;  // out of memory: drop the frame
    }
    // bits() copies the old pixels away first when a paint still holds them.
    auto* out = reinterpret_cast<std::uint32_t*>(frame_.bits());
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    // Format_RGB32 wants the unused byte at 0xFF; the engine leaves it 0.
    for (std::size_t i = 0; i < count; ++i) out[i] = pixels[i] | 0xFF000000u;
  }
  requestRepaint();
  return 0;
}

void FrameView::clearFrame() {
  {
    std::lock_guard lock(frameMutex_);
    frame_ = QImage();
  }
  update();
}

void FrameView::requestRepaint() {
  if (repaintPending_.exchange(true, std::memory_order_acq_rel)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        repaintPending_.store(false, std::memory_order_release);
        update();
      },
      Qt::QueuedConnection);
}

void FrameView::ensureCreated() {
  if (created_) return;
  created_ = true;
  windowExists_.store(true, std::memory_order_release);
  if (events_ != nullptr) events_->windowCreated();
}

bool FrameView::event(QEvent* event) {
  // Tab and Backtab would move the focus away; the control sees them like any key.
  if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
      if (events_ != nullptr) {
        const int flags = static_cast<int>(key->modifiers());
        if (event->type() == QEvent::KeyPress) {
          events_->keyDown(key->key(), flags);
        } else {
          events_->keyUp(key->key(), flags);
        }
      }
      // Accepted, or the parent would move the focus on.
      key->accept();
      return true;
    }
  }
  return QWidget::event(event);
}

void FrameView::paintEvent(QPaintEvent* event) {
  QPainter painter(this);
  painter.setClipRegion(event->region());
  const QRect bounds = rect();
  painter.fillRect(bounds, QColor::fromRgb(kBackground));
  painter.setPen(QPen(QColor::fromRgb(kBorder), 0));  // cosmetic: exactly one pixel
  painter.drawRect(bounds.adjusted(0, 0, -1, -1));
  if (events_ != nullptr) events_->painted();

  QImage shown;
  {
    std::lock_guard lock(frameMutex_);
    shown = frame_;  // shallow: the copy is made by presentFrame if it writes meanwhile
  }
  if (!shown.isNull()) painter.drawImage(QPoint(0, 0), shown);
}

void FrameView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ensureCreated();
  if (events_ != nullptr) events_->windowResized(width(), height());
}

void FrameView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ensureCreated();
  if (events_ != nullptr) events_->windowShown(true);
}

void FrameView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (events_ != nullptr) events_->windowShown(false);
}

void FrameView::keyPressEvent(QKeyEvent* event) {
  if (events_ != nullptr) events_->keyDown(event->key(), static_cast<int>(event->modifiers()));
  QWidget::keyPressEvent(event);
}

void FrameView::keyReleaseEvent(QKeyEvent* event) {
  if (events_ != nullptr) events_->keyUp(event->key(), static_cast<int>(event->modifiers()));
  QWidget::keyReleaseEvent(event);
}

void FrameView::mousePressEvent(QMouseEvent* event) {
  const QPoint at = clientPoint(event);
  if (event->button() == Qt::LeftButton) {
    grabMouse();
    if (events_ != nullptr) events_->pointerDown(at.x(), at.y());
  } else if (event->button() == Qt::RightButton) {
    grabMouse();
    if (events_ != nullptr) events_->secondaryDown(at.x(), at.y());
  }
  event->accept();
}

void FrameView::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint at = clientPoint(event);
  if (event->button() == Qt::LeftButton) {
    releaseMouse();
    if (events_ != nullptr) events_->pointerUp(at.x(), at.y());
  } else if (event->button() == Qt::RightButton) {
    releaseMouse();
    if (events_ != nullptr) events_->secondaryUp(at.x(), at.y());
  }
  event->accept();
}

void FrameView::mouseMoveEvent(QMouseEvent* event) {
  if (!hasFocus()) setFocus(Qt::MouseFocusReason);
  const QPoint at = clientPoint(event);
  if (events_ != nullptr) events_->pointerMove(at.x(), at.y());
  event->accept();
}

void FrameView::wheelEvent(QWheelEvent* event) {
  const int delta = std::clamp(event->angleDelta().y(),
                               static_cast<int>(std::numeric_limits<std::int16_t>::min()),
                               static_cast<int>(std::numeric_limits<std::int16_t>::max()));
  const bool handled = events_ != nullptr && events_->wheel(delta);
  event->setAccepted(handled);
}

}  // namespace vistel
