#pragma once

// The run-time side of one <shape>: a closed polygon over either the output
// frame (flat) or the view's camera picture (projected), drawn as an outline
// by shape_drawing.h. Lookups of its attributes (projected, linecolor) that
// miss here continue at the owning view and the root.
//
// Thread-safety: none (engine thread).

#include <span>

#include "vistel/scene/hit_target.h"

namespace vistel {

class ShapeInstance final : public HitTarget {
 public:
  // `shape` (its points and scripts) and `view` must outlive the instance.
  ShapeInstance(const ShapeElement& shape, Instance& view);

  // Even-odd rule over the closed polygon: an edge counts when q.y lies
  // strictly between its ends' y and its crossing abscissa lies left of q.x.
  bool contains(Vec2 q) override;
  // The `projected` attribute as a truth value; false when absent.
  bool isProjected() override;
  std::int32_t kind() const override { return 0; }

  // Fractions of the frame or picture, 0..1 from the top left, in order; the
  // last point joins the first. Valid while the document lives.
  std::span<const PointF> points() const { return points_; }

 private:
  const std::vector<PointF>& points_;
};

}  // namespace vistel
