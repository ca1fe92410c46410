#include "vistel/calibration/fft.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace vistel {
namespace {

using Complex = std::complex<double>;

// Tolerance for every comparison with the direct DFT, relative to the
// signal's magnitude ||x||_2 (the root-mean-square size of an output element).
// The twiddle tables take 2 pi as 6.2831852, which moves each twiddle's angle
// by up to 1.1e-7 rad; that alone puts errors of up to about 4e-7 ||x||_2 on
// the outputs. A wrong twiddle, index or scale gives errors of order ||x||_2.
constexpr double kRelativeTolerance = 1e-6;
// For the same reason a forward transform followed by the inverse is the
// identity only to within a few 1e-7 of the largest input element (measured
// up to 3.5e-7 over all lengths and registration-sized grids), not to rounding.
constexpr double kRoundTripTolerance = 1e-6;

struct Signal {
  std::vector<double> re;
  std::vector<double> im;
};

Signal randomSignal(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  Signal s{std::vector<double>(count), std::vector<double>(count)};
  for (std::size_t i = 0; i < count; ++i) {
    s.re[i] = uniform(rng);
    s.im[i] = uniform(rng);
  }
  return s;
}

double norm2(const std::vector<Complex>& x) {
  double sum = 0;
  for (const Complex& v : x) sum += std::norm(v);
  return std::sqrt(sum);
}

std::vector<Complex> toComplex(const Signal& s) {
  std::vector<Complex> x(s.re.size());
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = {s.re[i], s.im[i]};
  return x;
}

// The DFT by its definition, in double with exact angles (the index product
// reduced modulo n first, so large products lose nothing):
// X[k] = sum_j x[j] exp(-+ 2 pi i jk/n), times 1/n for the inverse.
std::vector<Complex> directDft(const std::vector<Complex>& x, bool inverse) {
  const auto n = static_cast<std::int64_t>(x.size());
  std::vector<Complex> out(x.size());
  const double sign = inverse ? 1.0 : -1.0;
  for (std::int64_t k = 0; k < n; ++k) {
    Complex sum = 0;
    for (std::int64_t j = 0; j < n; ++j) {
      const double angle =
          2 * std::numbers::pi * static_cast<double>(j * k % n) / static_cast<double>(n);
      sum += x[std::size_t(j)] * Complex(std::cos(angle), sign * std::sin(angle));
    }
    out[std::size_t(k)] = inverse ? sum / static_cast<double>(n) : sum;
  }
  return out;
}

// The 2-D DFT of a row-major width x height grid, separably: every row, then
// every column, each by the definition.
std::vector<Complex> directDft2d(const std::vector<Complex>& grid, int width, int height,
                                 bool inverse) {
  std::vector<Complex> out = grid;
  for (int y = 0; y < height; ++y) {
    const std::vector<Complex> row(out.begin() + y * width, out.begin() + (y + 1) * width);
    const std::vector<Complex> t = directDft(row, inverse);
    std::copy(t.begin(), t.end(), out.begin() + y * width);
  }
  for (int x = 0; x < width; ++x) {
    std::vector<Complex> col(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) col[std::size_t(y)] = out[std::size_t(y * width + x)];
    const std::vector<Complex> t = directDft(col, inverse);
    for (int y = 0; y < height; ++y) out[std::size_t(y * width + x)] = t[std::size_t(y)];
  }
  return out;
}

// Largest |got - want| over all elements, relative to `magnitude`.
double relativeError(const Signal& got, const std::vector<Complex>& want, double magnitude) {
  double worst = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    worst = std::max(worst, std::abs(Complex(got.re[i], got.im[i]) - want[i]));
  }
  return worst / magnitude;
}

// Lengths covering every pass kind: all lengths to 64 (radices 2, 3, 4, 5
// and direct passes of larger primes), the largest direct radix (127) and the
// smallest prime past it (131, chirp-z), powers of two, the registration's
// usual sizes, large primes alone and with small factors, and the limits.
std::vector<int> testLengths() {
  std::vector<int> lengths;
  for (int n = 1; n <= 64; ++n) lengths.push_back(n);
  const int more[] = {67,
                      121,
                      127,
                      128,
                      131,
                      243,
                      256,
                      343,
                      353,
                      479,
                      480,
                      509,
                      512,
                      600,
                      625,
                      640,
                      719,
                      720,
                      958 /* 2 * 479 */,
                      976 /* 16 * 61 */,
                      1000,
                      1016 /* 8 * 127 */,
                      1018 /* 2 * 509 */,
                      1021,
                      1022 /* 2 * 7 * 73 */,
                      1023};
  lengths.insert(lengths.end(), std::begin(more), std::end(more));
  return lengths;
}

TEST(FftTables, FactorsAndTwiddlesFollowTheirDefinition) {
  const std::vector<std::pair<int, std::vector<std::int32_t>>> cases = {
      {1, {}},         {2, {2}},
      {12, {2, 2, 3}}, {640, {2, 2, 2, 2, 2, 2, 2, 5}},
      {1021, {1021}},  {1023, {3, 11, 31}},
      {958, {2, 479}}, {1000, {2, 2, 2, 5, 5, 5}}};
  for (const auto& [n, factors] : cases) {
    const auto t = fftTables(n);
    ASSERT_NE(t, nullptr) << n;
    EXPECT_EQ(t->n, n);
    EXPECT_EQ(t->factors, factors) << n;
    EXPECT_EQ(t->factorCount(), static_cast<std::int32_t>(factors.size()));
    ASSERT_EQ(t->cosTable.size(), std::size_t(n));
    ASSERT_EQ(t->sinTable.size(), std::size_t(n));
    for (int i = 0; i < n; ++i) {
      // Registration was tuned with 2 pi = 6.2831852; the tables keep it.
      EXPECT_EQ(t->cosTable[std::size_t(i)], std::cos(6.2831852 * i / n)) << n << " " << i;
      EXPECT_EQ(t->sinTable[std::size_t(i)], -std::sin(6.2831852 * i / n)) << n << " " << i;
    }
  }
  EXPECT_EQ(fftTables(0), nullptr);
  EXPECT_EQ(fftTables(1024), nullptr);
  EXPECT_EQ(fftTables(-5), nullptr);
}

TEST(FftTables, BuiltOnceAndKeptUntilCleared) {
  const auto first = fftTables(360);
  EXPECT_EQ(fftTables(360), first);
  clearFftTables();
  const auto rebuilt = fftTables(360);
  EXPECT_NE(rebuilt, first);
  // A record still held survives the clearing unchanged.
  EXPECT_EQ(first->n, 360);
  EXPECT_EQ(first->cosTable, rebuilt->cosTable);
  // Transforms after clearing build what they need again and still agree.
  Signal s = randomSignal(360, 3);
  const std::vector<Complex> want = directDft(toComplex(s), false);
  ASSERT_TRUE(fft1d(360, 1, s.re.data(), s.im.data()));
  EXPECT_LT(relativeError(s, want, norm2(want) / std::sqrt(360.0)), kRelativeTolerance);
}

TEST(Fft1d, MatchesTheDirectDft) {
  for (int n : testLengths()) {
    Signal s = randomSignal(std::size_t(n), 100 + std::uint32_t(n));
    const std::vector<Complex> x = toComplex(s);
    const double magnitude = norm2(x);
    const std::vector<Complex> want = directDft(x, false);
    ASSERT_TRUE(fft1d(n, 1, s.re.data(), s.im.data())) << n;
    EXPECT_LT(relativeError(s, want, magnitude), kRelativeTolerance) << "n=" << n;
  }
}

TEST(Fft1d, InverseMatchesTheDirectInverseAndRoundTrips) {
  for (int n : testLengths()) {
    const Signal original = randomSignal(std::size_t(n), 200 + std::uint32_t(n));
    const std::vector<Complex> x = toComplex(original);
    const double magnitude = norm2(x);
    Signal s = original;
    const std::vector<Complex> want = directDft(x, true);
    ASSERT_TRUE(ifft1d(n, 1, s.re.data(), s.im.data())) << n;
    // The inverse's outputs are 1/n of a sum as large as the forward one's.
    EXPECT_LT(relativeError(s, want, magnitude / n), kRelativeTolerance) << "n=" << n;

    s = original;
    ASSERT_TRUE(fft1d(n, 1, s.re.data(), s.im.data()));
    ASSERT_TRUE(ifft1d(n, 1, s.re.data(), s.im.data()));
    EXPECT_LT(relativeError(s, x, 1.0), kRoundTripTolerance) << "round trip n=" << n;
  }
}

TEST(Fft1d, LargePrimeFactorsAreExactToRounding) {
  // Lengths with a prime factor above the largest direct radix (127) run as
  // a chirp-z convolution with exact angles, so they meet the DFT to rounding,
  // not just to the tables' precision; a chirp angle computed from an
  // unreduced k^2 would already miss this.
  for (int n : {131, 353, 479, 958, 1018, 1019, 1021}) {
    Signal s = randomSignal(std::size_t(n), 600 + std::uint32_t(n));
    const std::vector<Complex> x = toComplex(s);
    const std::vector<Complex> want = directDft(x, false);
    ASSERT_TRUE(fft1d(n, 1, s.re.data(), s.im.data())) << n;
    EXPECT_LT(relativeError(s, want, norm2(x)), 1e-13) << "n=" << n;
    ASSERT_TRUE(ifft1d(n, 1, s.re.data(), s.im.data())) << n;
    EXPECT_LT(relativeError(s, x, 1.0), 1e-13) << "round trip n=" << n;
  }
}

TEST(Fft1d, UnitImpulseGivesAllOnesAndComesBack) {
  for (int n : {1, 7, 16, 479, 640, 1021, 1023}) {
    std::vector<double> re(std::size_t(n), 0.0), im(std::size_t(n), 0.0);
    re[0] = 1;
    ASSERT_TRUE(fft1d(n, 1, re.data(), im.data()));
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[std::size_t(k)], 1.0, 1e-12) << n << " " << k;
      ASSERT_NEAR(im[std::size_t(k)], 0.0, 1e-12) << n << " " << k;
    }
    ASSERT_TRUE(ifft1d(n, 1, re.data(), im.data()));
    for (int k = 0; k < n; ++k) {
      ASSERT_NEAR(re[std::size_t(k)], k == 0 ? 1.0 : 0.0, kRoundTripTolerance) << n << " " << k;
      ASSERT_NEAR(im[std::size_t(k)], 0.0, kRoundTripTolerance) << n << " " << k;
    }
  }
}

TEST(Fft1d, StridedTouchesOnlyItsElements) {
  // A column of a row-major grid: elements j * stride; the rest must stay.
  for (int n : {6, 61, 479, 640}) {
    const int stride = 5;
    const std::size_t size = std::size_t(n) * stride;
    Signal grid = randomSignal(size, 300 + std::uint32_t(n));
    const Signal before = grid;
    std::vector<Complex> column(static_cast<std::size_t>(n));
    for (int j = 0; j < n; ++j) {
      column[std::size_t(j)] = {grid.re[std::size_t(j * stride + 2)],
                                grid.im[std::size_t(j * stride + 2)]};
    }
    const std::vector<Complex> want = directDft(column, false);
    ASSERT_TRUE(fft1d(n, stride, grid.re.data() + 2, grid.im.data() + 2));
    Signal got{std::vector<double>(std::size_t(n)), std::vector<double>(std::size_t(n))};
    for (std::size_t i = 0; i < size; ++i) {
      if (i % stride == 2) {
        got.re[i / stride] = grid.re[i];
        got.im[i / stride] = grid.im[i];
      } else {
        ASSERT_EQ(grid.re[i], before.re[i]) << n << " " << i;
        ASSERT_EQ(grid.im[i], before.im[i]) << n << " " << i;
      }
    }
    EXPECT_LT(relativeError(got, want, norm2(column)), kRelativeTolerance) << n;

    ASSERT_TRUE(ifft1d(n, stride, grid.re.data() + 2, grid.im.data() + 2));
    for (std::size_t i = 0; i < size; ++i) {
      ASSERT_NEAR(grid.re[i], before.re[i], kRoundTripTolerance) << n << " " << i;
      ASSERT_NEAR(grid.im[i], before.im[i], kRoundTripTolerance) << n << " " << i;
    }
  }
}

TEST(Fft1d, RefusesLengthsStridesAndArraysOutsideItsContract) {
  std::vector<double> re(1100, 0.5), im(1100, 0.25);
  EXPECT_FALSE(fft1d(0, 1, re.data(), im.data()));
  EXPECT_FALSE(fft1d(-3, 1, re.data(), im.data()));
  EXPECT_FALSE(fft1d(1024, 1, re.data(), im.data()));
  EXPECT_FALSE(ifft1d(1024, 1, re.data(), im.data()));
  EXPECT_FALSE(fft1d(8, 0, re.data(), im.data()));
  EXPECT_FALSE(ifft1d(8, -1, re.data(), im.data()));
  EXPECT_FALSE(fft1d(8, 1, nullptr, im.data()));
  EXPECT_FALSE(ifft1d(8, 1, re.data(), nullptr));
  for (std::size_t i = 0; i < re.size(); ++i) {
    ASSERT_EQ(re[i], 0.5);
    ASSERT_EQ(im[i], 0.25);
  }
  EXPECT_FALSE(fft2d(0, 4, re.data(), im.data()));
  EXPECT_FALSE(fft2d(4, 1024, re.data(), im.data()));
  EXPECT_FALSE(ifft2d(1024, 1, re.data(), im.data()));
  EXPECT_FALSE(ifft2d(4, 4, re.data(), nullptr));
  for (std::size_t i = 0; i < re.size(); ++i) {
    ASSERT_EQ(re[i], 0.5);
    ASSERT_EQ(im[i], 0.25);
  }
}

TEST(Fft2d, MatchesTheSeparableDirectDft) {
  // Widths and heights below, at and above the eight sequences the 2-D
  // transform runs side by side, and ones that take the chirp-z path (131, 137).
  const std::vector<std::pair<int, int>> sizes = {{1, 1},  {1, 9},   {9, 1},   {5, 7},   {8, 8},
                                                  {16, 6}, {13, 17}, {131, 3}, {4, 137}, {24, 30}};
  for (const auto& [w, h] : sizes) {
    const std::size_t count = std::size_t(w) * std::size_t(h);
    const Signal original = randomSignal(count, 400 + std::uint32_t(w * 1000 + h));
    const std::vector<Complex> x = toComplex(original);
    const double magnitude = norm2(x);

    Signal s = original;
    const std::vector<Complex> forward = directDft2d(x, w, h, false);
    ASSERT_TRUE(fft2d(w, h, s.re.data(), s.im.data()));
    EXPECT_LT(relativeError(s, forward, magnitude), kRelativeTolerance) << w << "x" << h;

    s = original;
    const std::vector<Complex> inverse = directDft2d(x, w, h, true);
    ASSERT_TRUE(ifft2d(w, h, s.re.data(), s.im.data()));
    EXPECT_LT(relativeError(s, inverse, magnitude / double(count)), kRelativeTolerance)
        << w << "x" << h;
  }
}

// The 2-D transforms spelled out with fft1d: rows (stride 1), then columns
// (stride width); the inverse takes columns first. Within rounding of each
// other, since both compute the same sums.
void expectSameAsOneDimensional(int w, int h, std::uint32_t seed) {
  const Signal original = randomSignal(std::size_t(w) * std::size_t(h), seed);
  Signal byLines = original;
  for (int y = 0; y < h; ++y)
    ASSERT_TRUE(fft1d(w, 1, &byLines.re[std::size_t(y * w)], &byLines.im[std::size_t(y * w)]));
  for (int x = 0; x < w; ++x)
    ASSERT_TRUE(fft1d(h, w, &byLines.re[std::size_t(x)], &byLines.im[std::size_t(x)]));
  Signal grid = original;
  ASSERT_TRUE(fft2d(w, h, grid.re.data(), grid.im.data()));
  const double magnitude = norm2(toComplex(original));
  EXPECT_LT(relativeError(grid, toComplex(byLines), magnitude), 1e-13) << w << "x" << h;

  for (int x = 0; x < w; ++x)
    ASSERT_TRUE(ifft1d(h, w, &byLines.re[std::size_t(x)], &byLines.im[std::size_t(x)]));
  for (int y = 0; y < h; ++y)
    ASSERT_TRUE(ifft1d(w, 1, &byLines.re[std::size_t(y * w)], &byLines.im[std::size_t(y * w)]));
  ASSERT_TRUE(ifft2d(w, h, grid.re.data(), grid.im.data()));
  EXPECT_LT(relativeError(grid, toComplex(byLines), magnitude), 1e-13) << w << "x" << h;
}

TEST(Fft2d, RowsFirstThenColumnsAsTheOneDimensionalTransforms) {
  // The 2-D transforms run several rows or columns side by side; every length
  // of the range goes through that path here (as rows of three, and as columns
  // of three, so blocks are partly filled), checked against fft1d, which the
  // tests above check against the direct DFT.
  for (int n = 1; n <= kMaxFftLength; ++n) {
    expectSameAsOneDimensional(n, 3, std::uint32_t(n));
    expectSameAsOneDimensional(3, n, std::uint32_t(n + 5000));
  }
  expectSameAsOneDimensional(37, 20, 7);
}

TEST(Fft2d, RoundTripsRegistrationSizedGrids) {
  // The working size and prime sizes at the top of the range, both ways round.
  const std::vector<std::pair<int, int>> sizes = {
      {640, 480}, {479, 353}, {353, 479}, {1021, 7}, {3, 1023}};
  for (const auto& [w, h] : sizes) {
    const Signal original =
        randomSignal(std::size_t(w) * std::size_t(h), 500 + std::uint32_t(w + h));
    Signal s = original;
    ASSERT_TRUE(fft2d(w, h, s.re.data(), s.im.data()));
    ASSERT_TRUE(ifft2d(w, h, s.re.data(), s.im.data()));
    // Per element; every input element has modulus below sqrt(2).
    double worst = 0;
    for (std::size_t i = 0; i < s.re.size(); ++i) {
      worst = std::max(
          worst, std::abs(Complex(s.re[i], s.im[i]) - Complex(original.re[i], original.im[i])));
    }
    EXPECT_LT(worst, kRoundTripTolerance) << w << "x" << h;
  }
}

TEST(Fft2d, ImpulseAtAnOffsetGivesAPurePhaseRamp) {
  // A registration shift in miniature: an impulse at (dx, dy) transforms to
  // exp(-2 pi i (u dx / W + v dy / H)), of modulus 1 everywhere, and back.
  const int w = 479, h = 30, dx = 8, dy = 3;
  std::vector<double> re(std::size_t(w * h), 0.0), im(std::size_t(w * h), 0.0);
  re[std::size_t(dy * w + dx)] = 1;
  ASSERT_TRUE(fft2d(w, h, re.data(), im.data()));
  for (int v = 0; v < h; ++v) {
    for (int u = 0; u < w; ++u) {
      const double angle =
          -2 * std::numbers::pi * (double((u * dx) % w) / w + double((v * dy) % h) / h);
      const std::size_t i = std::size_t(v * w + u);
      ASSERT_NEAR(re[i], std::cos(angle), 1e-6) << u << "," << v;
      ASSERT_NEAR(im[i], std::sin(angle), 1e-6) << u << "," << v;
    }
  }
  ASSERT_TRUE(ifft2d(w, h, re.data(), im.data()));
  for (int i = 0; i < w * h; ++i) {
    ASSERT_NEAR(re[std::size_t(i)], i == dy * w + dx ? 1.0 : 0.0, kRoundTripTolerance) << i;
    ASSERT_NEAR(im[std::size_t(i)], 0.0, kRoundTripTolerance) << i;
  }
}

}  // namespace
}  // namespace vistel
