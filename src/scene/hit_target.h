#pragma once

// An instance a pointer can hit: the shapes of a view. Nothing raises pointer
// events on them yet; the queries serve callers that want to know what lies
// under a point.
//
// Thread-safety: as Instance (engine thread).

#include <cstdint>

#include "vistel/scene/geometry.h"
#include "vistel/scene/instance.h"

namespace vistel {

class HitTarget : public Instance {
 public:
  using Instance::Instance;

  // Whether `q` lies inside the target's outline (its own coordinates).
  virtual bool contains(Vec2 q) = 0;
  // Whether the outline moves with the camera picture rather than the frame.
  virtual bool isProjected() = 0;
  // What kind of target this is: 0 for shapes.
  virtual std::int32_t kind() const = 0;
};

}  // namespace vistel
