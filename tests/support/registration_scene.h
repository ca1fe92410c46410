#pragma once

// Camera picture pairs with a known displacement, for the registration tests
// and its benchmark (header-only, so the benchmark needs no test library).
//
// Registration looks at each camera picture through its lens profile, so a
// pair is made in the corrected frames: every camera pixel shows the scene at
// the corrected position that the profile's distortion carries onto that
// pixel (the distortion inverted numerically), and the known shift is applied
// to the scene of the destination's corrected frame.

#include <cmath>
#include <cstdint>
#include <vector>

#include "vistel/calibration/registration.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"

namespace vistel::test {

// Smooth seeded value noise in 0..1: two octaves of a hashed lattice (16 and
// 5 pixels apart), blended with smoothstep weights. Smooth at the scale of a
// pixel, so a bilinear sample of a picture of it is close to the noise itself.
class SceneTexture {
 public:
  explicit SceneTexture(std::uint32_t seed) : seed_(seed) {}

  double operator()(double x, double y) const {
    return 0.6 * octave(x / 16, y / 16, 1) + 0.4 * octave(x / 5, y / 5, 2);
  }

 private:
  double lattice(std::int64_t ix, std::int64_t iy, std::uint64_t salt) const {
    std::uint64_t z = static_cast<std::uint64_t>(ix) * 0x9E3779B97F4A7C15u ^
                      static_cast<std::uint64_t>(iy) * 0xC2B2AE3D27D4EB4Fu ^ (salt << 32 | seed_);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 9007199254740992.0;
  }

  double octave(double x, double y, std::uint64_t salt) const {
    const double fx = std::floor(x), fy = std::floor(y);
    const auto ix = static_cast<std::int64_t>(fx), iy = static_cast<std::int64_t>(fy);
    const auto smooth = [](double t) { return t * t * (3 - 2 * t); };
    const double tx = smooth(x - fx), ty = smooth(y - fy);
    const double top =
        lattice(ix, iy, salt) + (lattice(ix + 1, iy, salt) - lattice(ix, iy, salt)) * tx;
    const double bottom = lattice(ix, iy + 1, salt) +
                          (lattice(ix + 1, iy + 1, salt) - lattice(ix, iy + 1, salt)) * tx;
    return top + (bottom - top) * ty;
  }

  std::uint32_t seed_;
};

// The corrected position p with lens.distort(p) = (x, y), by Newton's method
// from `guess` with a difference-quotient Jacobian.
inline LensPoint undistort(const PointDistorter& lens, double x, double y, LensPoint guess) {
  constexpr double h = 1e-3;
  LensPoint p = guess;
  for (int i = 0; i < 20; ++i) {
    const LensPoint f = lens.distort(p.x, p.y);
    const double rx = f.x - x, ry = f.y - y;
    if (rx * rx + ry * ry < 1e-16) break;
    const LensPoint fx = lens.distort(p.x + h, p.y), fy = lens.distort(p.x, p.y + h);
    const double a = (fx.x - f.x) / h, b = (fy.x - f.x) / h, c = (fx.y - f.y) / h,
                 d = (fy.y - f.y) / h;
    const double det = a * d - b * c;
    p.x -= (d * rx - b * ry) / det;
    p.y -= (a * ry - c * rx) / det;
  }
  return p;
}

// A width x height camera picture in the decoder's layout (BGRX rows, a spare
// row and four spare bytes) whose view through `profile` shows grey level
// scene(x, y) at corrected position (x, y); 0..1 spans black to white. Scene
// positions are working pixels whatever the picture's size: lens profiles and
// keys work in fractions of the picture, so a larger picture of the same
// camera shows the same scene with more pixels across it.
template <class Scene>
std::vector<std::uint8_t> cameraPicture(const LensProfile& profile, const Scene& scene,
                                        int width = kWorkingWidth, int height = kWorkingHeight) {
  const PointDistorter lens(profile);
  const double toWorkingX = double{kWorkingWidth} / width;
  const double toWorkingY = double{kWorkingHeight} / height;
  std::vector<std::uint8_t> out(std::size_t(width) * (height + 1) * 4 + 4, 0);
  for (int y = 0; y < height; ++y) {
    LensPoint guess{0, y * toWorkingY};
    for (int x = 0; x < width; ++x) {
      guess = undistort(lens, x * toWorkingX, y * toWorkingY, guess);
      const double v = std::round(255 * scene(guess.x, guess.y));
      const auto level = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      std::uint8_t* px = out.data() + (std::size_t(y) * width + x) * 4;
      px[0] = px[1] = px[2] = level;
    }
  }
  return out;
}

struct PicturePair {
  std::vector<std::uint8_t> source;
  std::vector<std::uint8_t> destination;
  int width = kWorkingWidth;
  int height = kWorkingHeight;
  RegistrationPicture sourceView() const { return {source.data(), width, height}; }
  RegistrationPicture destinationView() const { return {destination.data(), width, height}; }
};

// Keys related by a translation: the source key is `destinationKey` moved by
// `offset` (normalised units).
inline KeyQuad offsetKey(const KeyQuad& destinationKey, Vec2 offset) {
  return {destinationKey.p0 + offset, destinationKey.p1 + offset, destinationKey.p2 + offset,
          destinationKey.p3 + offset};
}

// Pictures for the keys offsetKey(qD, keyOffset) and qD when the source key is
// off by (shiftX, shiftY) working pixels: the true source key lies that far
// right and down of offsetKey(qD, keyOffset), so registration moves the source
// key by about (shiftX / 640, shiftY / 480). Both pictures are width x height
// pixels.
//
// Keys related by a translation relate the pictures by one: the scene at
// source position p is at p - (true source key - qD) in the destination, so
// the destination shows the texture moved back by the key offset plus the
// shift.
inline PicturePair shiftedPair(std::uint32_t seed, Vec2 keyOffset, double shiftX, double shiftY,
                               int width = kWorkingWidth, int height = kWorkingHeight) {
  const SceneTexture texture(seed);
  const double ox = keyOffset.x * double{kWorkingWidth} + shiftX;
  const double oy = keyOffset.y * double{kWorkingHeight} + shiftY;
  return {
      cameraPicture(kKamoLens0, texture, width, height),
      cameraPicture(
          kKamoLens1, [&](double x, double y) { return texture(x + ox, y + oy); }, width, height),
      width, height};
}

// The RGB samples (3 bytes per pixel) of a picture in the decoder's layout.
inline std::vector<std::uint8_t> rgbOf(const std::vector<std::uint8_t>& bgrx, int width,
                                       int height) {
  std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
  for (std::size_t i = 0; i < std::size_t(width) * height; ++i) {
    rgb[3 * i] = bgrx[4 * i + 2];
    rgb[3 * i + 1] = bgrx[4 * i + 1];
    rgb[3 * i + 2] = bgrx[4 * i];
  }
  return rgb;
}

}  // namespace vistel::test
