#include "point_layer.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "engine_preview.h"

namespace vistel {

namespace {

constexpr double kGrabRadius = 9;  // pixels around a point that pick it
constexpr int kLoupeZoom = 8;
constexpr int kLoupeSpan = 17;  // frame pixels across the loupe
constexpr double kFineDrag = 0.125;

QPointF centreOf(const FramePoint& p) {
  // Frame position k is pixel k, whose centre on screen is k + 0.5.
  return {p.x + 0.5, p.y + 0.5};
}

FramePoint frameAt(QPointF pointer) { return {pointer.x(), pointer.y()}; }

}  // namespace

QColor keyCornerColour(std::size_t corner) {
  static const QColor colours[4] = {QColor(255, 60, 60), QColor(60, 220, 60), QColor(70, 140, 255),
                                    QColor(255, 80, 255)};
  return colours[corner % 4];
}

PointLayer::PointLayer(EnginePreview& preview, Mode mode) : preview_(preview), mode_(mode) {
  setMouseTracking(true);
  setFocusPolicy(Qt::ClickFocus);
  setCursor(Qt::CrossCursor);
  preview.addOverlay(this);
}

void PointLayer::setPoints(std::vector<FramePoint> points, Outline outline) {
  points_ = std::move(points);
  closed_ = outline == Outline::Closed;
  dragged_.reset();
  if (selected_ && *selected_ >= points_.size()) selected_.reset();
  update();
}

void PointLayer::setEditable(bool editable) {
  editable_ = editable;
  setCursor(editable ? Qt::CrossCursor : Qt::ArrowCursor);
  update();
}

bool PointLayer::addsPoints() const {
  if (!editable_) return false;
  return mode_ == Mode::Key ? points_.size() < 4 : !closed_;
}

std::optional<std::size_t> PointLayer::pointNear(QPointF at) const {
  std::optional<std::size_t> best;
  double bestDistance = kGrabRadius;
  for (std::size_t i = 0; i < points_.size(); ++i) {
    const QPointF c = centreOf(points_[i]);
    const double d = std::hypot(c.x() - at.x(), c.y() - at.y());
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
  }
  return best;
}

void PointLayer::mousePressEvent(QMouseEvent* event) {
  if (!editable_) return;
  const QPointF at = event->position();
  const std::optional<std::size_t> near = pointNear(at);
  if (event->button() == Qt::RightButton) {
    if (near) {
      points_.erase(points_.begin() + static_cast<std::ptrdiff_t>(*near));
      if (mode_ == Mode::Polygon && points_.size() < 3) closed_ = false;
      selected_.reset();
      update();
      emit pointsEdited();
    }
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  if (near && mode_ == Mode::Polygon && !closed_ && *near == 0 && points_.size() >= 3) {
    closed_ = true;
    update();
    emit pointsEdited();
    return;
  }
  if (near) {
    dragged_ = near;
    moved_ = false;
  } else if (addsPoints()) {
    // The pointer is over the pixel it points at; that pixel is the position.
    points_.push_back(frameAt(at));
    dragged_ = points_.size() - 1;
    moved_ = true;
  } else {
    return;
  }
  selected_ = dragged_;
  pressAt_ = at;
  pressPoint_ = points_[*dragged_];
  update();
}

void PointLayer::mouseMoveEvent(QMouseEvent* event) {
  hover_ = event->position();
  if (dragged_ && (event->buttons() & Qt::LeftButton)) {
    const double scale = (event->modifiers() & Qt::ControlModifier) ? kFineDrag : 1.0;
    const QPointF delta = (event->position() - pressAt_) * scale;
    FramePoint& p = points_[*dragged_];
    p.x = std::clamp(pressPoint_.x + delta.x(), 0.0, double(width() - 1));
    p.y = std::clamp(pressPoint_.y + delta.y(), 0.0, double(height() - 1));
    moved_ = true;
    emit pointsMoving();
  }
  update();
}

void PointLayer::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragged_) return;
  dragged_.reset();
  update();
  if (moved_) emit pointsEdited();
}

void PointLayer::keyPressEvent(QKeyEvent* event) {
  if (!editable_ || !selected_ || *selected_ >= points_.size()) {
    QWidget::keyPressEvent(event);
    return;
  }
  const double step = (event->modifiers() & Qt::ShiftModifier) ? 0.25 : 1.0;
  FramePoint& p = points_[*selected_];
  switch (event->key()) {
    case Qt::Key_Left:
      p.x -= step;
      break;
    case Qt::Key_Right:
      p.x += step;
      break;
    case Qt::Key_Up:
      p.y -= step;
      break;
    case Qt::Key_Down:
      p.y += step;
      break;
    default:
      QWidget::keyPressEvent(event);
      return;
  }
  update();
  emit pointsEdited();
}

void PointLayer::leaveEvent(QEvent*) {
  hover_.reset();
  update();
}

void PointLayer::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  // A finished shape's outline is the engine's, drawn as the viewer draws it;
  // the layer adds only its corners.
  const bool outlined = mode_ == Mode::Key || !closed_;
  if (outlined && points_.size() >= 2) {
    QPainterPath path(centreOf(points_[0]));
    for (std::size_t i = 1; i < points_.size(); ++i) path.lineTo(centreOf(points_[i]));
    const bool closedOutline = mode_ == Mode::Key ? points_.size() == 4 : closed_;
    if (closedOutline) path.closeSubpath();
    painter.setPen(QPen(QColor(255, 255, 0, 200), 1, Qt::DashLine));
    painter.drawPath(path);
  }
  for (std::size_t i = 0; i < points_.size(); ++i) {
    const QPointF c = centreOf(points_[i]);
    const QColor colour = mode_ == Mode::Key ? keyCornerColour(i) : QColor(255, 220, 0);
    painter.setPen(QPen(Qt::black, 3));
    painter.drawEllipse(c, 6, 6);
    painter.setPen(QPen(colour, selected_ == i ? 2.5 : 1.5));
    painter.drawEllipse(c, 6, 6);
    painter.drawLine(c - QPointF(3, 0), c + QPointF(3, 0));
    painter.drawLine(c - QPointF(0, 3), c + QPointF(0, 3));
    if (mode_ == Mode::Key) {
      painter.setPen(Qt::black);
      painter.drawText(c + QPointF(9, -7), QString::number(i + 1));
      painter.setPen(colour);
      painter.drawText(c + QPointF(8, -8), QString::number(i + 1));
    }
  }
  if (hover_ || dragged_) paintLoupe(painter);
}

void PointLayer::paintLoupe(QPainter& painter) {
  if (!preview_.latestFrame(frame_) || frame_.width <= 0) return;
  // Centred on the dragged point, else on the pointer.
  const FramePoint at = dragged_ ? points_[*dragged_] : frameAt(*hover_);
  const int side = kLoupeSpan * kLoupeZoom;
  // In the corner away from the pointer.
  const bool right = at.x < width() / 2.0;
  const bool bottom = at.y < height() / 2.0;
  const QRect box(right ? width() - side - 6 : 6, bottom ? height() - side - 6 : 6, side, side);
  QImage pixels(kLoupeSpan, kLoupeSpan, QImage::Format_RGB32);
  const int x0 = int(std::floor(at.x)) - kLoupeSpan / 2;
  const int y0 = int(std::floor(at.y)) - kLoupeSpan / 2;
  for (int y = 0; y < kLoupeSpan; ++y) {
    for (int x = 0; x < kLoupeSpan; ++x) {
      const int fx = x0 + x, fy = y0 + y;
      const bool inside = fx >= 0 && fy >= 0 && fx < frame_.width && fy < frame_.height;
      pixels.setPixel(x, y,
                      inside ? (frame_.pixels[std::size_t(fy) * frame_.width + fx] | 0xFF000000u)
                             : 0xFF000000u);
    }
  }
  painter.save();
  painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
  painter.drawImage(box, pixels);
  painter.setPen(QPen(Qt::white, 1));
  painter.drawRect(box.adjusted(0, 0, -1, -1));
  // The exact position: the point's pixel centre, scaled.
  const QPointF mark(box.left() + (at.x - x0 + 0.5) * kLoupeZoom,
                     box.top() + (at.y - y0 + 0.5) * kLoupeZoom);
  painter.setPen(QPen(QColor(255, 255, 0), 1));
  painter.drawLine(QPointF(mark.x(), box.top()), QPointF(mark.x(), box.bottom()));
  painter.drawLine(QPointF(box.left(), mark.y()), QPointF(box.right(), mark.y()));
  painter.restore();
}

}  // namespace vistel
