// A whole registration as Recalibrate runs it once its two pictures are
// loaded: key texts decoded, region found, both pictures resampled through
// their lenses, weights, phase correlation, candidates scored, key texts
// encoded. The pictures are a shifted pair seen through the two lens
// profiles, written as JPEG files and decoded before the timing starts.
//
// The key offset decides the region's size: 576 x 456, 571 x 457 (both
// prime, so both transform directions take the chirp-z path) and 639 x 479
// (the largest; 479 is prime).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/registration_scene.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/imaging/image.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/project/encoding.h"

namespace vistel {
namespace {

// Writes a picture of the decoder's layout as a JPEG file and loads it back.
Image decodedPicture(const std::vector<std::uint8_t>& pixels, const std::string& name) {
  const auto path =
      std::filesystem::temp_directory_path() /
      ("vistel-bench-registration-" + std::to_string(::getpid()) + "-" + name + ".jpg");
  if (!encodeJpegFile(path.c_str(), pixels.data(), kWorkingWidth, kWorkingHeight, 95))
    return Image();
  Image image(path.string());
  std::filesystem::remove(path);
  return image;
}

void BM_RegisterPictures(benchmark::State& state, Vec2 keyOffset) {
  const test::PicturePair pair = test::shiftedPair(17, keyOffset, 5, -3);
  const Image source = decodedPicture(pair.source, "source");
  const Image destination = decodedPicture(pair.destination, "destination");
  if (!source.loaded() || !destination.loaded()) {
    state.SkipWithError("cannot write or read the test pictures");
    return;
  }
  const std::string sourceKey =
      encodeKeyText(keyQuadToBytes(test::offsetKey(kImageCornerKey, keyOffset)));
  const std::string destinationKey = encodeKeyText(keyQuadToBytes(kImageCornerKey));
  Calibrator calibrator;
  RegistrationOutcome outcome;
  for (auto _ : state) {
    outcome = calibrator.registerPictures(source, destination, sourceKey, destinationKey);
    benchmark::DoNotOptimize(calibrator.sourceKeyText().data());
  }
  if (outcome.correlation.shift != PixelShift{5, -3})
    state.SkipWithError("the shift was not recovered");
  state.counters["regionW"] = outcome.regionWidth;
  state.counters["regionH"] = outcome.regionHeight;
}

BENCHMARK_CAPTURE(BM_RegisterPictures, 640x480, Vec2{0.1f, 0.05f})->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RegisterPictures, 640x480_prime_region, Vec2{0.10703f, 0.046875f})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_RegisterPictures, 640x480_largest_region, Vec2{0.0011f, 0.0011f})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vistel
