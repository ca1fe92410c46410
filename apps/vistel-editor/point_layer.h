#pragma once

// Points picked on a preview's picture, drawn over it: the four corners of a
// key (numbered, in key order) or the vertices of a shape (an open or closed
// polygon). A click adds the next point, a point is dragged to move it (with
// Ctrl held it moves an eighth of the pointer's way, for sub-pixel work), the
// arrow keys nudge the last touched point by a pixel (a quarter with Shift),
// a right click removes a point, and clicking the first vertex of a polygon
// closes it. While the pointer is over the picture a loupe shows the pixels
// around it, eight times larger, with the exact position marked.
//
// Positions are frame positions of the preview (pixel k at k), so they map to
// the picture exactly as the renderer draws it (key_points.h).
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QPoint>
#include <QWidget>
#include <optional>
#include <vector>

#include "vistel/host/frame_mailbox.h"
#include "vistel/scene/key_points.h"

namespace vistel {

class EnginePreview;

class PointLayer : public QWidget {
  Q_OBJECT

 public:
  enum class Mode { Key, Polygon };

  // An overlay of `preview` (added to it); Key mode takes four points.
  PointLayer(EnginePreview& preview, Mode mode);

  const std::vector<FramePoint>& points() const { return points_; }
  bool closed() const { return closed_; }
  // Whether a polygon's last point joins its first.
  enum class Outline { Open, Closed };
  // Replaces the points (no pointsEdited()).
  void setPoints(std::vector<FramePoint> points, Outline outline);
  // Whether clicks add and move points; a layer that takes none only shows them.
  void setEditable(bool editable);
  // Whether clicks on empty places add points (a polygon being drawn, a key
  // not complete yet).
  bool addsPoints() const;

 signals:
  // The user added, moved, removed points or closed the polygon; sent when
  // a drag ends, not while it goes on.
  void pointsEdited();
  // Sent while a point is dragged, for live feedback.
  void pointsMoving();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  std::optional<std::size_t> pointNear(QPointF at) const;
  void paintLoupe(class QPainter& painter);

  EnginePreview& preview_;
  Mode mode_;
  std::vector<FramePoint> points_;
  bool closed_ = false;
  bool editable_ = true;
  std::optional<std::size_t> dragged_;   // the point under the pointer while a button is down
  std::optional<std::size_t> selected_;  // the last touched point (arrow keys)
  QPointF pressAt_;                      // pointer position when the drag started
  FramePoint pressPoint_;                // the dragged point's position then
  bool moved_ = false;                   // the drag moved its point
  std::optional<QPointF> hover_;         // pointer position over the layer
  FrameCopy frame_;                      // the preview's newest frame, for the loupe
};

// The colours of a key's four corners, in key order.
QColor keyCornerColour(std::size_t corner);

}  // namespace vistel
