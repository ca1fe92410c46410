#include "street_traffic.h"

#include <algorithm>
#include <cmath>

namespace vistel::demo {

namespace {

// Car outline, metres: half the width and half the length.
constexpr double kHalfWidth = 0.9;
constexpr double kHalfLength = 2.25;
constexpr double kCornerRadius = 0.35;
// The sun stands high in the north-west: shadows fall a little south-east.
constexpr double kShadowEast = 0.3;
constexpr double kShadowSouth = 0.25;
constexpr double kShadowOpacity = 0.45;
// Room around a car for its mirrors and shadow.
constexpr double kMargin = 0.6;

// Where each car drives: lane centre, first and last y of a pass, speed and
// the time between two passes (the car waits out of sight in between).
struct Route {
  double laneX;
  double heading;
  double speed;   // metres per second
  double period;  // seconds per pass, waiting included
  double offset;  // seconds into the first pass at time 0
  Rgb body;
};
constexpr double kRouteSouth = -10.0;
constexpr double kRouteNorth = 46.0;
constexpr Route kRoutes[] = {
    {2.0, +1, 7.0, 9.0, 2.0, {196, 32, 38}},    // red, northbound in the right lane
    {-2.0, -1, 6.0, 11.0, 0.0, {38, 86, 190}},  // blue, southbound in the left lane
};

Rgb scaled(Rgb c, double f) { return {c.r * f, c.g * f, c.b * f}; }

// Inside the rounded outline of a car, in its own coordinates (u across to the
// right, v forward).
bool insideOutline(double u, double v, double grow) {
  const double w = kHalfWidth + grow, l = kHalfLength + grow, r = kCornerRadius + grow;
  const double au = std::fabs(u), av = std::fabs(v);
  if (au > w || av > l) return false;
  if (au <= w - r || av <= l - r) return true;
  const double du = au - (w - r), dv = av - (l - r);
  return du * du + dv * dv <= r * r;
}

// The car's paint seen from above.
Rgb carColour(double u, double v, Rgb body) {
  constexpr Rgb kGlass{42, 54, 66};
  constexpr Rgb kHeadlight{250, 244, 210};
  constexpr Rgb kTailLight{170, 20, 24};
  const double au = std::fabs(u);
  if (!insideOutline(u, v, -0.06)) return scaled(body, 0.65);  // the rim of the body
  if (v > kHalfLength - 0.14 && au > 0.42 && au < 0.78) return kHeadlight;
  if (v < -kHalfLength + 0.12 && au > 0.42 && au < 0.78) return kTailLight;
  if (v > 0.35 && v < 1.05 && au < kHalfWidth - 0.12 - (v - 0.35) * 0.15) {
    return v > 0.85 && v < 0.92 ? Rgb{120, 132, 144} : kGlass;  // windscreen with a glint
  }
  if (v > -1.5 && v < -1.0 && au < kHalfWidth - 0.16) return kGlass;                // rear window
  if (v >= -1.0 && v <= 0.35 && au < kHalfWidth - 0.14) return scaled(body, 1.12);  // roof
  return body;
}

}  // namespace

StreetTraffic::StreetTraffic(double seconds) {
  for (const Route& route : kRoutes) {
    const double t = std::fmod(std::max(seconds, 0.0) + route.offset, route.period);
    const double travelled = t * route.speed;
    if (travelled > kRouteNorth - kRouteSouth) continue;  // waiting out of sight
    Car car;
    car.x = route.laneX;
    car.y = route.heading > 0 ? kRouteSouth + travelled : kRouteNorth - travelled;
    car.heading = route.heading;
    car.body = route.body;
    cars_.push_back(car);
    boxes_.push_back({car.x - kHalfWidth - kMargin, car.y - kHalfLength - kMargin,
                      car.x + kHalfWidth + kMargin, car.y + kHalfLength + kMargin});
  }
}

std::optional<Cover> StreetTraffic::coverAt(PlanePoint p) const {
  std::optional<Cover> shadow;
  for (const Car& car : cars_) {
    const double u = (p.x - car.x) * car.heading;  // the car's right is east when it heads north
    const double v = (p.y - car.y) * car.heading;
    if (insideOutline(u, v, 0)) return Cover{carColour(u, v, car.body), 1};
    // Mirrors stick out just ahead of the doors.
    if (v > 0.75 && v < 0.95 && std::fabs(u) < kHalfWidth + 0.16) {
      return Cover{scaled(car.body, 0.6), 1};
    }
    if (insideOutline(p.x - car.x - kShadowEast, p.y - car.y + kShadowSouth, 0.05)) {
      shadow = Cover{{0, 0, 0}, kShadowOpacity};
    }
  }
  return shadow;
}

}  // namespace vistel::demo
