#pragma once

// What moves on the demo street: two cars driving along it, one each way.
// They are drawn flat on the ground plane like the paint, seen from above, so
// both demo cameras show them at the same place and the link's single
// homography still relates the corrected pictures exactly (no ghosting while
// travelling, even with traffic).
//
// Positions are a function of the time alone, so two cameras asked for the
// same moment draw the same scene.
//
// Thread-safety: a StreetTraffic is immutable once made; any thread may read it.

#include <optional>
#include <vector>

#include "street_texture.h"

namespace vistel::demo {

// A rectangle of the ground plane, metres.
struct GroundBox {
  double west = 0;
  double south = 0;
  double east = 0;
  double north = 0;

  bool overlaps(const GroundBox& o) const {
    return west <= o.east && o.west <= east && south <= o.north && o.south <= north;
  }
};

// What covers a ground point: `colour` laid over the ground with `opacity`
// (1: paint hides the ground; below 1: a shadow or tint).
struct Cover {
  Rgb colour;
  double opacity = 1;
};

class StreetTraffic {
 public:
  // The street `seconds` after the traffic began (any value from 0 on).
  explicit StreetTraffic(double seconds);

  // Boxes that hold everything this traffic covers (cars with their shadows).
  const std::vector<GroundBox>& boxes() const { return boxes_; }

  // What covers `p`, or nothing where the ground shows.
  std::optional<Cover> coverAt(PlanePoint p) const;

 private:
  struct Car {
    double x = 0;        // centre, metres east
    double y = 0;        // centre, metres north
    double heading = 1;  // +1 driving north, -1 south
    Rgb body;
  };
  std::vector<Car> cars_;
  std::vector<GroundBox> boxes_;
};

}  // namespace vistel::demo
