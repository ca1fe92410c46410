#include "vistel/scene/shape_instance.h"

namespace vistel {

ShapeInstance::ShapeInstance(const ShapeElement& shape, Instance& view)
    : HitTarget(shape, &view, &shape.scripts), points_(shape.points) {}

bool ShapeInstance::contains(Vec2 q) {
  bool inside = false;
  if (points_.empty()) return false;
  PointF a = points_.back();
  for (const PointF& b : points_) {
    if ((a.y < q.y && q.y < b.y) || (b.y < q.y && q.y < a.y)) {
      const float crossing = a.x + (b.x - a.x) * (q.y - a.y) / (b.y - a.y);
      if (crossing < q.x) inside = !inside;
    }
    a = b;
  }
  return inside;
}

bool ShapeInstance::isProjected() { return scope().getTruth("projected"); }

}  // namespace vistel
