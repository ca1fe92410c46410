#include "street_texture.h"

#include <cmath>
#include <cstdint>
#include <string_view>

namespace vistel::demo {

namespace {

// ---------------------------------------------------------------------------
// Seeded value noise: a hash of the lattice cell gives each lattice point a
// value in [0, 1); points between are blended with a smooth fade, so the
// texture has no lattice seams.

constexpr std::uint64_t kSeed = 0x5EED0F57EE7D3A11ull;

std::uint64_t latticeHash(std::int64_t i, std::int64_t j, std::uint64_t salt) {
  std::uint64_t z = kSeed ^ (salt * 0xD6E8FEB86659FD93ull);
  z += static_cast<std::uint64_t>(i) * 0x9E3779B97F4A7C15ull;
  z ^= static_cast<std::uint64_t>(j) * 0xC2B2AE3D27D4EB4Full;
  // The splitmix64 finaliser: every input bit reaches every output bit.
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double unitOf(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

double fade(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// Smooth noise in [0, 1) whose features are about `cell` metres across.
double valueNoise(PlanePoint p, double cell, std::uint64_t salt) {
  const double u = p.x / cell, v = p.y / cell;
  const double fu = std::floor(u), fv = std::floor(v);
  const auto i = static_cast<std::int64_t>(fu), j = static_cast<std::int64_t>(fv);
  const double s = fade(u - fu), t = fade(v - fv);
  const double a = unitOf(latticeHash(i, j, salt)), b = unitOf(latticeHash(i + 1, j, salt));
  const double c = unitOf(latticeHash(i, j + 1, salt)), d = unitOf(latticeHash(i + 1, j + 1, salt));
  const double near = a + (b - a) * s, far = c + (d - c) * s;
  return near + (far - near) * t;
}

// A value in [0, 1) constant over each cell of a square grid (tiles, bays).
double cellValue(PlanePoint p, double cell, std::uint64_t salt) {
  return unitOf(latticeHash(static_cast<std::int64_t>(std::floor(p.x / cell)),
                            static_cast<std::int64_t>(std::floor(p.y / cell)), salt));
}

Rgb scaled(Rgb c, double f) { return {c.r * f, c.g * f, c.b * f}; }
Rgb mixed(Rgb a, Rgb b, double f) {
  return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

// Fractional part in [0, 1).
double fract(double v) { return v - std::floor(v); }

// True within `halfWidth` of a multiple of `spacing`.
bool nearMultiple(double v, double spacing, double halfWidth) {
  const double f = fract(v / spacing) * spacing;
  return f < halfWidth || f > spacing - halfWidth;
}

// ---------------------------------------------------------------------------
// A 5 x 7 bitmap font for the few letters painted on the ground. Row 0 is the
// top of the letter, which lies to the north, so the words read upright in
// cameras looking north.

struct Glyph {
  char ch;
  const char* rows[7];
};

constexpr Glyph kFont[] = {
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
};

const Glyph* glyphOf(char ch) {
  for (const Glyph& g : kFont) {
    if (g.ch == ch) return &g;
  }
  return nullptr;  // a blank
}

// A line of text painted into the rectangle [west, east] x [south, north]: the
// rectangle is divided into the letters' 5 x 7 cells with one blank column
// between letters, so tall narrow rectangles give the stretched letters of
// road paint.
struct TextBlock {
  std::string_view text;
  double west, south, east, north;

  bool covers(PlanePoint p) const {
    if (p.x < west || p.x >= east || p.y < south || p.y >= north) return false;
    const int columns = 6 * static_cast<int>(text.size()) - 1;
    const int column = static_cast<int>((p.x - west) / (east - west) * columns);
    const int row = 6 - static_cast<int>((p.y - south) / (north - south) * 7);
    if (column < 0 || column >= columns || row < 0 || row > 6 || column % 6 == 5) return false;
    const Glyph* g = glyphOf(text[static_cast<std::size_t>(column / 6)]);
    return g != nullptr && g->rows[row][column % 6] == '#';
  }
};

// ---------------------------------------------------------------------------
// Materials, then paint on top.

constexpr Rgb kWhitePaint{236, 236, 228};
constexpr Rgb kYellowPaint{236, 190, 36};
constexpr Rgb kRedPaint{205, 36, 36};
constexpr Rgb kBlackPaint{28, 28, 30};
constexpr Rgb kBluePaint{30, 84, 176};
constexpr Rgb kDarkPaint{58, 58, 72};
constexpr Rgb kGridCyan{40, 200, 230};

constexpr double kRoadHalfWidth = 4.0;
constexpr double kKerbOuter = 4.3;
constexpr double kSidewalkOuter = 7.5;
constexpr double kParkingEast = 13.0;

Rgb asphalt(PlanePoint p, double brightness) {
  const double n =
      0.5 * valueNoise(p, 0.15, 1) + 0.3 * valueNoise(p, 0.6, 2) + 0.2 * valueNoise(p, 3.0, 3);
  return scaled({brightness, brightness, brightness + 3}, 0.75 + 0.5 * n);
}

Rgb grass(PlanePoint p) {
  const double n = 0.5 * valueNoise(p, 0.2, 4) + 0.5 * valueNoise(p, 1.5, 5);
  return mixed(Rgb{52, 92, 38}, Rgb{112, 146, 62}, n);
}

// Square tiles of `size` metres with dark joints, each tile its own shade.
Rgb paving(PlanePoint p, double size) {
  if (nearMultiple(p.x, size, 0.025) || nearMultiple(p.y, size, 0.025)) return {96, 94, 90};
  const double shade = 150 + 28 * cellValue(p, size, 6) + 12 * (valueNoise(p, 0.25, 7) - 0.5);
  return {shade, shade - 4, shade - 12};
}

Rgb ground(PlanePoint p) {
  const double across = std::fabs(p.x);
  if (across <= kRoadHalfWidth) return asphalt(p, 84);
  if (across <= kKerbOuter) {
    if (nearMultiple(p.y, 1.0, 0.02)) return {110, 108, 104};
    const double n = valueNoise(p, 0.3, 8);
    return {186 + 16 * n, 184 + 16 * n, 178 + 16 * n};
  }
  if (across <= kSidewalkOuter) return paving(p, 1.0);
  if (p.x > 0 && p.x <= kParkingEast) return asphalt(p, 100);
  return grass(p);
}

// Paint wear: markings are a little uneven, like real ones.
Rgb worn(Rgb paint, PlanePoint p) { return scaled(paint, 0.9 + 0.1 * valueNoise(p, 0.35, 9)); }

bool inReferenceBox(PlanePoint p) {
  return p.x >= kReferenceSquare[0].x && p.x <= kReferenceSquare[1].x &&
         p.y >= kReferenceSquare[2].y && p.y <= kReferenceSquare[0].y;
}

// The yellow box: a 0.2 m border and criss-cross hatching inside, so that any
// misalignment of the keys shows as doubled diagonals.
bool onReferenceBox(PlanePoint p) {
  if (!inReferenceBox(p)) return false;
  const double inset =
      std::fmin(std::fmin(p.x - kReferenceSquare[0].x, kReferenceSquare[1].x - p.x),
                std::fmin(p.y - kReferenceSquare[2].y, kReferenceSquare[0].y - p.y));
  if (inset < 0.2) return true;
  return nearMultiple(p.x + p.y, 1.25, 0.06) || nearMultiple(p.x - p.y, 1.25, 0.06);
}

// The corner letters of the box, in key order: A far left, B far right, C
// near right, D near left, each just outside its corner.
constexpr TextBlock kCornerLetters[] = {
    {"A", -3.3, 11.2, -2.7, 12.4},
    {"B", 2.7, 11.2, 3.3, 12.4},
    {"C", 2.7, 4.6, 3.3, 5.8},
    {"D", -3.3, 4.6, -2.7, 5.8},
};

constexpr TextBlock kSpeedDigits{"30", -2.55, kRoundelCentre.y - 0.7, -1.45,
                                 kRoundelCentre.y + 0.7};

constexpr TextBlock kLaneWords[] = {
    {"SLOW", 0.6, 12.0, 3.4, 15.0},
    {"BUS", -3.2, 21.0, -0.8, 24.0},
    {"VISTEL", -7.2, 8.0, -4.6, 9.4},
    {"DEMO", 4.8, 8.0, 7.0, 9.4},
};

// The "P" sign painted over the parking bays.
constexpr double kSignWest = 8.8, kSignEast = 11.2, kSignSouth = 9.5, kSignNorth = 11.9;
constexpr TextBlock kParkingLetter{"P", 9.4, 9.9, 10.6, 11.5};

// Labels of the survey grid's y lines on the left grass: "0", "5" ... "40".
constexpr std::string_view kGridLabels[] = {"0", "5", "10", "15", "20", "25", "30", "35", "40"};

bool onGridLabel(PlanePoint p) {
  if (p.x < -11.0 || p.x > -8.6 || p.y < 0.15 || p.y > 42.0) return false;
  const int line = static_cast<int>(std::floor(p.y / 5.0));
  if (line < 0 || line > 8) return false;
  const std::string_view label = kGridLabels[line];
  const double width = 0.35 * (6 * static_cast<double>(label.size()) - 1) / 5;
  const double south = 5.0 * line + 0.15;
  return TextBlock{label, -9.0 - width, south, -9.0, south + 1.4}.covers(p);
}

// Road and parking paint, topmost first; false where the ground shows.
bool paint(PlanePoint p, Rgb& out) {
  const double across = std::fabs(p.x);
  if (across <= kRoadHalfWidth) {
    const double dx = (p.x - kRoundelCentre.x) / kRoundelHalfWidth;
    const double dy = (p.y - kRoundelCentre.y) / kRoundelHalfLength;
    const double e = dx * dx + dy * dy;
    if (e <= 1) {
      if (e >= 0.7 * 0.7) {
        out = worn(kRedPaint, p);
      } else {
        out = kSpeedDigits.covers(p) ? kBlackPaint : worn(kWhitePaint, p);
      }
      return true;
    }
    if (onReferenceBox(p)) {
      out = worn(kYellowPaint, p);
      return true;
    }
    for (const TextBlock& letter : kCornerLetters) {
      if (letter.covers(p)) {
        out = worn(kYellowPaint, p);
        return true;
      }
    }
    const bool crossing = p.y >= kCrossingNear && p.y <= kCrossingFar;
    if (crossing && across < kCrossingHalfWidth &&
        static_cast<int>(std::floor((p.x + kCrossingHalfWidth) / 0.5)) % 2 == 0) {
      out = worn(kWhitePaint, p);
      return true;
    }
    const bool edgeLine = across >= 3.6 && across <= 3.75;
    const bool centreDash =
        across <= 0.075 && fract(p.y / 6.0) < 0.5 && !crossing && !inReferenceBox(p);
    if (edgeLine || centreDash || kLaneWords[0].covers(p) || kLaneWords[1].covers(p)) {
      out = worn(kWhitePaint, p);
      return true;
    }
    return false;
  }
  if (kLaneWords[2].covers(p) || kLaneWords[3].covers(p)) {
    out = kDarkPaint;
    return true;
  }
  if (p.x >= kSignWest && p.x <= kSignEast && p.y >= kSignSouth && p.y <= kSignNorth) {
    out = kParkingLetter.covers(p) ? worn(kWhitePaint, p) : worn(kBluePaint, p);
    return true;
  }
  // Parking bays: a line every 2.5 m along the street and one at the back.
  if (p.x > kSidewalkOuter + 0.3 && p.x <= kParkingEast - 0.2 &&
      (nearMultiple(p.y, 2.5, 0.06) || p.x >= kParkingEast - 0.32)) {
    out = worn(kWhitePaint, p);
    return true;
  }
  if (onGridLabel(p)) {
    out = kGridCyan;
    return true;
  }
  return false;
}

}  // namespace

Rgb streetColour(PlanePoint p) {
  Rgb c;
  if (paint(p, c)) return c;
  c = ground(p);
  // The survey grid every 5 m, thin and half transparent, under the paint.
  if (nearMultiple(p.x, 5.0, 0.03) || nearMultiple(p.y, 5.0, 0.03)) c = mixed(c, kGridCyan, 0.7);
  return c;
}

}  // namespace vistel::demo
