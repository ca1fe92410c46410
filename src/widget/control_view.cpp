#include "vistel/widget/control_view.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <bit>
#include <limits>

namespace vistel {

// The engine's pixels are bytes blue, green, red, unused: one little-endian
// 0x??RRGGBB word, which is QImage::Format_RGB32 only on little-endian hosts.
static_assert(std::endian::native == std::endian::little,
              "frame pixels are read as little-endian words");

namespace {

QPoint clientPoint(const QMouseEvent* event) { return event->position().toPoint(); }

// The first local file a drag carries, or an empty text.
QString droppedFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return {};
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) return url.toLocalFile();
  }
  return {};
}

}  // namespace

ControlView::ControlView(QWidget* parent) : QWidget(parent) {
  // Every pixel is painted each time: Qt need not clear the area first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  // Right-button presses and releases come to the mouse handlers: the menu is
  // the control's, opened on release.
  setContextMenuPolicy(Qt::PreventContextMenu);
  setAcceptDrops(true);
}

ControlView::~ControlView() {
  windowExists_.store(false, std::memory_order_release);
  if (created_ && events_ != nullptr) events_->windowDestroyed();
}

void ControlView::setWindowEvents(WindowEvents* events) { events_ = events; }

void ControlView::requestRepaint() {
  if (repaintPending_.exchange(true, std::memory_order_acq_rel)) return;
  // By name, so that Qt makes the queued call's parts itself: a functor built
  // here would be handed to the other thread under Qt's lock, which thread
  // checkers cannot see.
  QMetaObject::invokeMethod(this, "repaintNow", Qt::QueuedConnection);
}

void ControlView::repaintNow() {
  repaintPending_.store(false, std::memory_order_release);
  update();
}

void ControlView::ensureCreated() {
  if (created_) return;
  created_ = true;
  windowExists_.store(true, std::memory_order_release);
  if (events_ != nullptr) events_->windowCreated();
}

bool ControlView::event(QEvent* event) {
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

const QImage& ControlView::frameImage() {
  const FrameCopy& frame = plan_.frame;
  if (frame.sequence == imageSequence_ && image_.width() == frame.width &&
      image_.height() == frame.height) {
    return image_;
  }
  const std::size_t count =
      static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(frame.height);
  if (frame.width <= 0 || frame.height <= 0 || frame.pixels.size() < count) {
    image_ = QImage();
  } else {
    if (image_.width() != frame.width || image_.height() != frame.height) {
      image_ = QImage(frame.width, frame.height, QImage::Format_RGB32);
    }
    if (!image_.isNull()) {
      // Format_RGB32 wants the unused byte at 0xFF; the engine leaves it 0.
      auto* out = reinterpret_cast<std::uint32_t*>(image_.bits());
      for (std::size_t i = 0; i < count; ++i) out[i] = frame.pixels[i] | 0xFF000000u;
    }
  }
  imageSequence_ = frame.sequence;
  return image_;
}

void ControlView::paintEvent(QPaintEvent* event) {
  if (events_ != nullptr) {
    events_->paint(width(), height(), plan_);
  } else {
    WindowEvents().paint(width(), height(), plan_);
  }
  QPainter painter(this);
  painter.setClipRegion(event->region());
  const PaintRect& fill = plan_.fill;
  painter.fillRect(QRect(fill.x, fill.y, fill.width, fill.height),
                   QColor::fromRgb(plan_.fillColour));
  const PaintRect& border = plan_.border;
  if (border.width > 0 && border.height > 0) {
    painter.setPen(QPen(QColor::fromRgb(plan_.borderColour), 0));  // cosmetic: one pixel
    painter.drawRect(QRect(border.x, border.y, border.width - 1, border.height - 1));
  }
  if (plan_.hasFrame) {
    const QImage& image = frameImage();
    if (!image.isNull()) painter.drawImage(QPoint(0, 0), image);
  }
}

void ControlView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  ensureCreated();
  if (events_ != nullptr) events_->windowResized(width(), height());
}

void ControlView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  ensureCreated();
  if (events_ != nullptr) events_->windowShown(true);
}

void ControlView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (events_ != nullptr) events_->windowShown(false);
}

void ControlView::keyPressEvent(QKeyEvent* event) {
  if (events_ != nullptr) {
    events_->keyDown(event->key(), static_cast<int>(event->modifiers()));
    if (event->matches(QKeySequence::Copy)) events_->copyRequested();
    if (event->matches(QKeySequence::Open)) events_->openRequested();
  }
  QWidget::keyPressEvent(event);
}

void ControlView::keyReleaseEvent(QKeyEvent* event) {
  if (events_ != nullptr) events_->keyUp(event->key(), static_cast<int>(event->modifiers()));
  QWidget::keyReleaseEvent(event);
}

void ControlView::mousePressEvent(QMouseEvent* event) {
  const QPoint at = clientPoint(event);
  if (events_ == nullptr) return;
  if (event->button() == Qt::LeftButton) {
    events_->pointerDown(at.x(), at.y());
  } else if (event->button() == Qt::RightButton) {
    events_->secondaryDown(at.x(), at.y());
  }
  event->accept();
}

void ControlView::mouseReleaseEvent(QMouseEvent* event) {
  const QPoint at = clientPoint(event);
  if (events_ == nullptr) return;
  if (event->button() == Qt::LeftButton) {
    events_->pointerUp(at.x(), at.y());
  } else if (event->button() == Qt::RightButton) {
    events_->secondaryUp(at.x(), at.y());
  }
  event->accept();
}

void ControlView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint at = clientPoint(event);
  if (events_ != nullptr) events_->pointerMove(at.x(), at.y());
  event->accept();
}

void ControlView::dragEnterEvent(QDragEnterEvent* event) {
  if (events_ != nullptr && events_->takesDroppedFiles() &&
      !droppedFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  }
}

void ControlView::dropEvent(QDropEvent* event) {
  const QString file = droppedFile(event->mimeData());
  if (events_ == nullptr || !events_->takesDroppedFiles() || file.isEmpty()) return;
  event->acceptProposedAction();
  events_->fileDropped(QFile::encodeName(file).toStdString());
}

void ControlView::wheelEvent(QWheelEvent* event) {
  const int delta = std::clamp(event->angleDelta().y(),
                               static_cast<int>(std::numeric_limits<std::int16_t>::min()),
                               static_cast<int>(std::numeric_limits<std::int16_t>::max()));
  const bool handled = events_ != nullptr && events_->wheel(delta);
  event->setAccepted(handled);
}

}  // namespace vistel
