#include "vistel/calibration/calibrator.h"

#include <optional>

#include "vistel/imaging/image.h"
#include "vistel/project/encoding.h"

namespace vistel {

namespace {

std::optional<KeyQuad> decodeKey(std::string_view text) {
  return keyQuadFromBytes(decodeKeyText(text));
}

// The picture an Image holds, or an empty view when it holds none or its
// buffer is smaller than its header says.
RegistrationPicture viewOf(const Image& image) {
  const BitmapInfoHeader& h = image.header();
  if (!image.loaded() || image.pixels() == nullptr || h.biWidth < 1 || h.biHeight < 1) return {};
  const auto needed = static_cast<std::int64_t>(h.biWidth) * h.biHeight * 4;
  if (static_cast<std::int64_t>(image.byteSize()) - 4 < needed) return {};
  return {image.pixels(), h.biWidth, h.biHeight};
}

}  // namespace

std::int16_t Calibrator::recalibrate(std::string_view sourceImagePath,
                                     std::string_view sourceKeyText,
                                     std::string_view destinationImagePath,
                                     std::string_view destinationKeyText) {
  const Image source(sourceImagePath);
  const Image destination(destinationImagePath);
  if (!source.loaded() || source.pixels() == nullptr) return RecalibrateCode::SourceNotLoaded;
  if (!destination.loaded() || destination.pixels() == nullptr)
    return RecalibrateCode::DestinationNotLoaded;
  if (sourceKeyText.empty()) sourceKeyText = kDefaultSourceKeyText;
  if (sourceKeyText.size() != kKeyTextLength) return RecalibrateCode::BadSourceKey;
  if (destinationKeyText.empty()) destinationKeyText = kDefaultDestinationKeyText;
  if (destinationKeyText.size() != kKeyTextLength) return RecalibrateCode::BadDestinationKey;
  (void)registerPictures(source, destination, sourceKeyText, destinationKeyText);
  return RecalibrateCode::Ok;
}

RegistrationOutcome Calibrator::registerPictures(const Image& source, const Image& destination,
                                                 std::string_view sourceKeyText,
                                                 std::string_view destinationKeyText) {
  return registerPictures(viewOf(source), viewOf(destination), sourceKeyText, destinationKeyText);
}

RegistrationOutcome Calibrator::registerPictures(const RegistrationPicture& source,
                                                 const RegistrationPicture& destination,
                                                 std::string_view sourceKeyText,
                                                 std::string_view destinationKeyText) {
  const std::optional<KeyQuad> sourceKey = decodeKey(sourceKeyText);
  const std::optional<KeyQuad> destinationKey = decodeKey(destinationKeyText);
  if (!sourceKey || !destinationKey) {
    sourceKeyText_ = sourceKeyText;
    destinationKeyText_ = destinationKeyText;
    RegistrationOutcome outcome;
    outcome.status = RegistrationStatus::BadKey;
    return outcome;
  }
  RegistrationOutcome outcome = registerKeys(source, destination, *sourceKey, *destinationKey);
  sourceKeyText_ = encodeKeyText(keyQuadToBytes(outcome.sourceKey));
  destinationKeyText_ = encodeKeyText(keyQuadToBytes(*destinationKey));
  return outcome;
}

}  // namespace vistel
