#pragma once

// Image registration: corrects the source key of a camera pair by phase
// correlation. Both pictures are resampled, through their lens profiles and
// the homographies the two keys imply, into the region of the source key's
// frame that both pictures cover: the source picture as it is, the destination
// picture through the homography that takes the source key onto the
// destination key (as the renderer relates two views). The displacement
// between the two resamplings is measured by phase correlation and checked by
// a weighted difference score; the source key moves by it to where the
// destination's resampling would match the source's.
//
// Only a translation is estimated; the destination key comes back unchanged.
//
// Thread-safety: every function here may be called from any thread, also at
// the same time; each call keeps its own state. (The Fourier transforms they
// use are safe on several threads, see fft.h.)

#include <cstdint>
#include <vector>

#include "vistel/calibration/matrix.h"
#include "vistel/scene/geometry.h"

namespace vistel {

// The size pictures are addressed at. Other sizes are scaled to it first.
inline constexpr std::int32_t kWorkingWidth = 640;
inline constexpr std::int32_t kWorkingHeight = 480;

// Regions narrower or lower than this (in working pixels) hold too little to
// correlate; the keys then come back unchanged.
inline constexpr std::int32_t kMinRegionSide = 16;

// The score of a candidate that was not scored, and of "nothing matched".
inline constexpr double kNoMatchScore = 1e9;

// Largest picture side registration takes (the JPEG decoder's limit).
inline constexpr std::int32_t kMaxPictureSide = 8192;

// A picture in the 32-bit layout (blue, green, red, 0 per pixel; rows top
// first, stride width * 4), borrowed: the caller keeps `pixels` valid for the
// call. At least width * height * 4 bytes; no spare row is needed.
struct RegistrationPicture {
  const std::uint8_t* pixels = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// What the correlation works on: the two resampled pictures of a W x H region
// as grey levels (0 white .. ~1 black) and their edge weights (0..1), all
// row-major, width * height values each. A is the source, B the destination.
struct RegistrationState {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<float> greyA;
  std::vector<float> greyB;
  std::vector<float> weightA;
  std::vector<float> weightB;

  // Sizes the four arrays for a width x height region (all zero) and drops the
  // cached Fourier tables, so a registration builds the ones it needs afresh.
  RegistrationState(std::int32_t width, std::int32_t height);
};

// A shift of B against A in region pixels: A(p) is compared with B(p + shift).
struct PixelShift {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
  friend bool operator==(const PixelShift&, const PixelShift&) = default;
};

struct CorrelationResult {
  // The identity, except (0, 2) = 2 * dx / W and (1, 2) = -2 * dy / H for the
  // chosen shift.
  Matrix transform{3, 3};
  PixelShift shift;
  // The chosen shift's score, kNoMatchScore when nothing matched.
  double score = kNoMatchScore;
};

// Phase correlation of state.greyA with state.greyB and the choice among the
// correlation peaks by weighted score. The identity with kNoMatchScore when
// the surface has no peak, no candidate qualifies, or the region is outside
// 1..kMaxFftLength in either direction or does not match the arrays.
[[nodiscard]] CorrelationResult phaseCorrelate(const RegistrationState& state);

// What registerKeys did, besides the moved key.
enum class RegistrationStatus {
  Registered,  // the correlation ran (its shift may be zero)
  NoRegion,    // the outlines share no region of at least kMinRegionSide pixels a side
  BadPicture,  // a picture is empty or of a size outside 1..kMaxPictureSide
  BadKey,      // a key text does not hold a whole key (set by Calibrator)
};

struct RegistrationOutcome {
  RegistrationStatus status = RegistrationStatus::NoRegion;
  KeyQuad sourceKey;             // moved by the measured displacement (unchanged unless Registered)
  std::int32_t regionWidth = 0;  // W and H of the correlated region (0 without one)
  std::int32_t regionHeight = 0;
  CorrelationResult correlation;
};

// Registers `source` (corrected with the lens "kamolens0") against
// `destination` (corrected with "kamolens1") under the keys qS and qD, and
// returns qS moved by the measured displacement. Pictures of another size than
// kWorkingWidth x kWorkingHeight are brought to it first (toWorkingSize in
// registration_p.h): keys and lens profiles are fractions of the picture, so
// an HD camera's picture gives the key its 640 x 480 picture would.
[[nodiscard]] RegistrationOutcome registerKeys(const RegistrationPicture& source,
                                               const RegistrationPicture& destination,
                                               const KeyQuad& sourceKey,
                                               const KeyQuad& destinationKey);

}  // namespace vistel
