#pragma once

// The control's calibrator: loads one picture of each camera of a pair,
// registers them (registration.h) and keeps the two resulting key texts until
// the next call. The control's Recalibrate and `vistel calibrate` both go
// through recalibrate() and share its result codes and default keys.
//
// Thread-safety: none; one thread at a time (the control's host thread).

#include <cstdint>
#include <string>
#include <string_view>

#include "vistel/calibration/registration.h"

namespace vistel {

class Image;

// The key texts that stand in for an empty key. They describe two cameras
// stacked one above the other whose pictures overlap by half: the reference
// square (here a rectangle) fills the lower half of the source picture,
// corners (-0.5, 0), (0.5, 0), (0.5, 0.5), (-0.5, 0.5), and the upper half
// of the destination picture, corners (-0.5, -0.5), (0.5, -0.5), (0.5, 0),
// (-0.5, 0). Together they leave a 640 x 240 region to correlate; identical
// keys would leave none. Meant for every place that needs a default key pair
// (the control's Recalibrate and its generated two-camera project).
inline constexpr std::string_view kDefaultSourceKeyText =
    "PY9BWG7AklrApksPQU2ycvPoJSszxmOBh2qJwrGHDig=";
inline constexpr std::string_view kDefaultDestinationKeyText =
    "Nu5WI2clw1lQkUZDo2NqBMCmSw9BTbJyPY9BWG7Aklo=";

// Result codes of recalibrate (the control's Recalibrate returns them as they are).
struct RecalibrateCode {
  static constexpr std::int16_t Ok = 0;
  static constexpr std::int16_t SourceNotLoaded = 1;
  static constexpr std::int16_t BadSourceKey = 2;  // neither empty nor 44 characters
  static constexpr std::int16_t DestinationNotLoaded = 3;
  static constexpr std::int16_t BadDestinationKey = 4;
};

class Calibrator {
 public:
  // The last results; both empty until the first registration. Valid until
  // the next registration.
  const std::string& sourceKeyText() const { return sourceKeyText_; }
  const std::string& destinationKeyText() const { return destinationKeyText_; }

  // Loads both pictures by name (files or http:// URLs; blocks for the
  // download), substitutes the default key for an empty key text, checks
  // both, registers. Returns the first failing RecalibrateCode in the order
  // source picture, destination picture, source key, destination key (the
  // texts stay as they were then), else Ok.
  [[nodiscard]] std::int16_t recalibrate(std::string_view sourceImagePath,
                                         std::string_view sourceKeyText,
                                         std::string_view destinationImagePath,
                                         std::string_view destinationKeyText);

  // Registers `source` against `destination` under the two key texts and
  // stores the moved source key and the re-encoded destination key. When a
  // text does not hold a whole key (a 44-character text can end in "=="),
  // there is nothing to move: both texts are stored as given and the outcome
  // says BadKey.
  RegistrationOutcome registerPictures(const Image& source, const Image& destination,
                                       std::string_view sourceKeyText,
                                       std::string_view destinationKeyText);
  RegistrationOutcome registerPictures(const RegistrationPicture& source,
                                       const RegistrationPicture& destination,
                                       std::string_view sourceKeyText,
                                       std::string_view destinationKeyText);

 private:
  std::string sourceKeyText_;       // 44 characters, or empty before the first registration
  std::string destinationKeyText_;  // likewise
};

}  // namespace vistel
