#pragma once

// The painted ground of the demo scene: a street seen from above, as a colour
// for every point of the plane. Everything the demo cameras see lies on this
// one plane, so a single homography relates their corrected pictures exactly.
//
// Plane coordinates are metres: x east (across the street, increasing to the
// right of a camera looking north), y north (along the street, away from the
// cameras). The street runs along y:
//
//   grass | sidewalk | kerb | road, two lanes | kerb | sidewalk | parking
//  x: -7.5      -4.3   -4.0        0          4.0    4.3       7.5
//
// On the road: edge lines, a dashed centre line, the yellow hatched reference
// box (the square the keys describe, see kReferenceSquare), a zebra crossing,
// a "30" roundel and the lane words SLOW and BUS. A cyan survey grid every 5 m
// with its y labels on the left grass, and a parking area with a "P" sign on
// the right, give the viewer something to check alignment against.
//
// The colour is built from + - * / and floor only (no library transcendentals),
// so the same inputs give the same bits on every conforming compiler as long as
// floating-point contraction is off (the build sees to that).
//
// Thread-safety: pure functions over constants; any thread may call them.

#include <array>

namespace vistel::demo {

struct PlanePoint {
  double x = 0;  // metres east
  double y = 0;  // metres north
};

// Colour in 0..255 per channel, kept fractional so that supersampling averages
// before it rounds.
struct Rgb {
  double r = 0;
  double g = 0;
  double b = 0;
};

// The reference square of the demo's keys, the outer edge of the hatched box:
// its corners (0,0), (1,0), (1,1), (0,1) in key order are far left, far right,
// near right and near left as the cameras see them (both look north).
inline constexpr std::array<PlanePoint, 4> kReferenceSquare{
    {{-2.5, 11.0}, {2.5, 11.0}, {2.5, 6.0}, {-2.5, 6.0}}};

// Centre and half-axes of the elliptic "30" roundel painted in the left lane
// (stretched along the street like real road paint).
inline constexpr PlanePoint kRoundelCentre{-2.0, 3.0};
inline constexpr double kRoundelHalfWidth = 1.2;
inline constexpr double kRoundelHalfLength = 1.8;

// The zebra crossing: stripes over the road between these y values.
inline constexpr double kCrossingNear = 16.0;
inline constexpr double kCrossingFar = 19.0;
inline constexpr double kCrossingHalfWidth = 3.5;

// Colour of the ground at `p`.
Rgb streetColour(PlanePoint p);

}  // namespace vistel::demo
