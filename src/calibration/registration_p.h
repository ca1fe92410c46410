#pragma once

// The steps of image registration, exposed for the tests of each one.
// Thread-safety as registration.h: pure functions on the caller's data.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vistel/calibration/registration.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"

namespace vistel::registration {

// Distance below which a point counts as lying on an outline's line.
inline constexpr float kOnLineTolerance = 0.0001f;

// The bounding box, in normalised coordinates of the source key's frame, of
// the area both outlines enclose.
struct RegionBox {
  float x0 = 0;
  float y0 = 0;
  float width = 0;
  float height = 0;
};

// Appends to `kept` the parts of `segments` that lie inside the convex polygon
// that `outline` joins (a point within kOnLineTolerance of one of its lines
// counts as inside). Segments lying on one of those lines are dropped whole.
// Appends nothing when `outline` encloses no area.
void keepInside(std::span<const Segment> segments, std::span<const Segment> outline,
                std::vector<Segment>& kept);

// The box of the parts of each picture's outline that lie inside the other's
// (h1 maps the view to the source picture, h2 to the destination picture).
// Nothing when no part is kept or the box is not finite.
[[nodiscard]] std::optional<RegionBox> commonRegion(const Homography& h1, const Homography& h2);

// The region in working pixels: columns left .. left + width - 1 and rows
// top .. top + height - 1, every one inside the box (left and top round the
// box's corner up, within a rounding error; width and height are truncated).
// widthP and heightP are the untruncated sizes.
struct PixelRegion {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  float widthP = 0;
  float heightP = 0;
};

[[nodiscard]] PixelRegion pixelRegion(const RegionBox& box);

// The bilinear sample of a working-size picture at pixel position (x, y), in
// 16.16 fixed point: each channel blends the upper and the lower pair across,
// then the two results down, each step a + 2 * (((b - a) * f) >> 16) with f
// the upper 15 bits of the fraction, and is clamped to 0..255. Pixels outside
// the picture read as black. Returns the pixel as a word: red * 65536 +
// green * 256 + blue.
[[nodiscard]] std::uint32_t sampleBilinear(const RegistrationPicture& picture, double x, double y);

// The region's pixels of `picture` (working size) seen through `viewToImage`
// and `lens`: width * height words, row-major; 0 where the view point falls
// outside the picture's normalised square.
void resampleRegion(const RegistrationPicture& picture, const Homography& viewToImage,
                    const PointDistorter& lens, const PixelRegion& region,
                    std::vector<std::uint32_t>& out);

// (765 - R - G - B) / 768 per pixel: near 1 for black, near 0 for white.
void greyLevels(std::span<const std::uint32_t> pixels, std::vector<float>& grey);

// Edge weights of a width x height grey picture: the Sobel gradient magnitude
// over the interior (border 0), averaged over the 9 x 9 window centred on each
// pixel (clipped to the picture), mapped to min(1, max(0, (mean - 0.1) * 2)).
void edgeWeights(std::span<const float> grey, std::int32_t width, std::int32_t height,
                 std::vector<float>& weights);

// The phase-correlation surface of the state's two grey pictures (windowed,
// normalised, cross-power spectrum with small magnitudes dropped): width *
// height values, row-major. False when a transform refuses the size.
[[nodiscard]] bool correlationSurface(const RegistrationState& state, std::vector<double>& surface);

// The candidate shifts of a surface, in scan order: four per cell above 0.7 of
// the maximum, for at most 50 cells. Empty when the maximum does not exceed
// the mean of the positive values.
[[nodiscard]] std::vector<PixelShift> candidateShifts(std::span<const double> surface,
                                                      std::int32_t width, std::int32_t height);

// Per-region sums that let scoreShift find each candidate's means in constant
// time: summed-area tables of greyA and greyB, (width + 1) * (height + 1)
// values each.
struct ScoreTables {
  std::vector<double> sumA;
  std::vector<double> sumB;
  explicit ScoreTables(const RegistrationState& state);
};

// The weighted difference score of `shift`: kNoMatchScore when the overlap
// has at most 9 % of the region, the normalised distance is 0.75 or more, or
// the weights overlap too little; lower is better.
[[nodiscard]] double scoreShift(const RegistrationState& state, const ScoreTables& tables,
                                PixelShift shift);

// `picture` at the working size, in a buffer with the decoder's spare row and
// four bytes. Working pixel k stands at picture position k * width /
// kWorkingWidth (likewise down), so the two sizes share their normalised
// coordinates. A larger picture is averaged: each working pixel is the mean of
// the picture pixels under its cell, weighted by their share of it; a smaller
// one is interpolated linearly. Pixels beyond an edge repeat the edge.
[[nodiscard]] std::vector<std::uint8_t> toWorkingSize(const RegistrationPicture& picture);

}  // namespace vistel::registration
