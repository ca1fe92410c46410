// The 2-D Fourier transform as registration runs it (a 640 x 480 region, and
// a region whose sides are both prime), beside FFTW's complex 2-D transform of
// the same grid.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "vistel/calibration/fft.h"

#ifdef VISTEL_HAVE_FFTW3
#include <fftw3.h>
#endif

namespace {

struct Size {
  int width, height;
  std::string name() const { return std::to_string(width) + "x" + std::to_string(height); }
  std::size_t count() const { return std::size_t(width) * std::size_t(height); }
};

std::vector<double> randomValues(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> v(count);
  for (double& x : v) x = uniform(rng);
  return v;
}

// In place, so each iteration first restores the input (outside the timing):
// repeated forward transforms would grow the values towards overflow.
void fft2dForward(benchmark::State& state, Size size) {
  const std::vector<double> re0 = randomValues(size.count(), 1),
                            im0 = randomValues(size.count(), 2);
  std::vector<double> re = re0, im = im0;
  for (auto _ : state) {
    state.PauseTiming();
    re = re0;
    im = im0;
    state.ResumeTiming();
    if (!vistel::fft2d(size.width, size.height, re.data(), im.data())) {
      state.SkipWithError("fft2d refused the size");
      break;
    }
    benchmark::DoNotOptimize(re.data());
    benchmark::DoNotOptimize(im.data());
  }
  state.SetItemsProcessed(state.iterations() * std::int64_t(size.count()));
}

#ifdef VISTEL_HAVE_FFTW3
// Out of place with the plan made once: the input stays as it is, so nothing
// needs restoring between iterations.
void fftwFft2dForward(benchmark::State& state, Size size) {
  const std::vector<double> re0 = randomValues(size.count(), 1),
                            im0 = randomValues(size.count(), 2);
  auto* in = fftw_alloc_complex(size.count());
  auto* out = fftw_alloc_complex(size.count());
  // Rows are `width` long: FFTW's last dimension varies fastest.
  fftw_plan plan = fftw_plan_dft_2d(size.height, size.width, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
  for (std::size_t i = 0; i < size.count(); ++i) {
    in[i][0] = re0[i];
    in[i][1] = im0[i];
  }
  for (auto _ : state) {
    fftw_execute(plan);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  fftw_destroy_plan(plan);
  fftw_free(out);
  fftw_free(in);
  state.SetItemsProcessed(state.iterations() * std::int64_t(size.count()));
}
#endif

[[maybe_unused]] const bool registered = [] {
  for (Size size : {Size{640, 480}, Size{479, 353}}) {
    benchmark::RegisterBenchmark(("BM_Fft2d/" + size.name()).c_str(), fft2dForward, size)
        ->Unit(benchmark::kMillisecond);
#ifdef VISTEL_HAVE_FFTW3
    benchmark::RegisterBenchmark(("BM_FftwFft2d/" + size.name()).c_str(), fftwFft2dForward, size)
        ->Unit(benchmark::kMillisecond);
#endif
  }
  return true;
}();

}  // namespace
