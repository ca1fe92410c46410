#include "vistel/calibration/registration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "support/registration_scene.h"
#include "support/scene_project.h"
#include "support/test_paths.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/calibration/registration_p.h"
#include "vistel/project/encoding.h"

namespace vistel {

void PrintTo(const PixelShift& s, std::ostream* os) { *os << "(" << s.dx << ", " << s.dy << ")"; }

namespace {

using registration::PixelRegion;

std::string keyText(const KeyQuad& q) { return encodeKeyText(keyQuadToBytes(q)); }

// Key offset for most cases: the outlines overlap in a 576 x 456 region.
constexpr Vec2 kOffset{0.1f, 0.05f};
// An offset whose region comes out 571 x 457, both prime sizes.
constexpr Vec2 kPrimeOffset{0.10703f, 0.046875f};

TEST(Registration, SourceKeyMovesByTheShiftAndThenStays) {
  struct Case {
    Vec2 offset;
    double shiftX, shiftY;
    PixelShift expected;
  };
  for (const Case& c : {Case{kOffset, 7, 5, {7, 5}}, Case{kPrimeOffset, -6, -4, {-6, -4}},
                        Case{kOffset, 5, 0, {5, 0}}, Case{kOffset, 3.4, -2.6, {3, -3}}}) {
    SCOPED_TRACE(testing::Message() << "shift " << c.shiftX << ", " << c.shiftY);
    const test::PicturePair pair = test::shiftedPair(11, c.offset, c.shiftX, c.shiftY);
    const KeyQuad qD = kImageCornerKey;
    const KeyQuad qS = test::offsetKey(qD, c.offset);
    const RegistrationOutcome out = registerKeys(pair.sourceView(), pair.destinationView(), qS, qD);
    ASSERT_EQ(out.status, RegistrationStatus::Registered);
    // The destination's resampling shows the source's scene moved back by
    // the error; the key moves forward by it.
    EXPECT_EQ(out.correlation.shift, (PixelShift{-c.expected.dx, -c.expected.dy}));
    EXPECT_LT(out.correlation.score, 0.01);
    // Every corner moves by the whole-pixel shift in key units (within 0.02
    // pixel: the region's width is truncated to whole pixels).
    const Vec2 corners[4][2] = {{qS.p0, out.sourceKey.p0},
                                {qS.p1, out.sourceKey.p1},
                                {qS.p2, out.sourceKey.p2},
                                {qS.p3, out.sourceKey.p3}};
    for (const auto& [before, after] : corners) {
      EXPECT_NEAR((after.x - before.x) * 640.0, c.expected.dx, 0.02);
      EXPECT_NEAR((after.y - before.y) * 480.0, c.expected.dy, 0.02);
    }
    // With the corrected key the pictures agree (a fractional shift leaves
    // less than half a pixel).
    const RegistrationOutcome again =
        registerKeys(pair.sourceView(), pair.destinationView(), out.sourceKey, qD);
    EXPECT_EQ(again.correlation.shift, (PixelShift{0, 0}));
  }
}

TEST(Registration, WithNothingToMeasureTheKeysComeBackUnchanged) {
  const KeyQuad qD = kImageCornerKey;
  const test::PicturePair aligned = test::shiftedPair(5, kOffset, 0, 0);
  std::vector<std::uint8_t> flat(aligned.source.size(), 128);
  const RegistrationPicture flatView{flat.data(), kWorkingWidth, kWorkingHeight};
  struct Case {
    const char* what;
    RegistrationPicture source, destination;
    KeyQuad qS;
    RegistrationStatus status;
  };
  const Case cases[] = {
      {"aligned pictures", aligned.sourceView(), aligned.destinationView(),
       test::offsetKey(qD, kOffset), RegistrationStatus::Registered},
      {"flat pictures", flatView, flatView, test::offsetKey(qD, kOffset),
       RegistrationStatus::Registered},
      // Every segment lies on a line of the other outline: nothing is kept.
      {"identical keys", aligned.sourceView(), aligned.sourceView(), qD,
       RegistrationStatus::NoRegion},
      {"disjoint outlines", aligned.sourceView(), aligned.destinationView(),
       test::offsetKey(qD, {1.5f, 0}), RegistrationStatus::NoRegion},
      {"a 6-pixel sliver", aligned.sourceView(), aligned.destinationView(),
       test::offsetKey(qD, {0.99f, 0}), RegistrationStatus::NoRegion},
      {"no pixels", RegistrationPicture{}, aligned.destinationView(), test::offsetKey(qD, kOffset),
       RegistrationStatus::BadPicture},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Calibrator calibrator;
    const RegistrationOutcome out =
        calibrator.registerPictures(c.source, c.destination, keyText(c.qS), keyText(qD));
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(calibrator.sourceKeyText(), keyText(c.qS));
    EXPECT_EQ(calibrator.destinationKeyText(), keyText(qD));
  }
  // A flat picture has no peak at all: the identity and no score.
  RegistrationState flatState(64, 48);
  const CorrelationResult none = phaseCorrelate(flatState);
  EXPECT_EQ(none.transform, Matrix(3, 3));
  EXPECT_EQ(none.score, kNoMatchScore);

  // A 44-character text ending in "==" holds 31 bytes: both texts are kept as given.
  Calibrator calibrator;
  const std::string broken = keyText(qD).substr(0, 42) + "==";
  EXPECT_EQ(
      calibrator
          .registerPictures(aligned.sourceView(), aligned.destinationView(), broken, keyText(qD))
          .status,
      RegistrationStatus::BadKey);
  EXPECT_EQ(calibrator.sourceKeyText(), broken);
}

TEST(Registration, HdPicturesOfTheSceneGiveTheKeyOfTheWorkingSize) {
  // The same cameras at 640 x 480, 1280 x 720 and 1920 x 1080 (keys and lens
  // profiles are fractions of the picture, so each sees the same scene).
  const KeyQuad qS = test::offsetKey(kImageCornerKey, kOffset);
  const test::PicturePair small = test::shiftedPair(3, kOffset, -4, 6);
  const RegistrationOutcome want =
      registerKeys(small.sourceView(), small.destinationView(), qS, kImageCornerKey);
  ASSERT_EQ(want.correlation.shift, (PixelShift{4, -6}));
  for (auto [width, height] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    SCOPED_TRACE(testing::Message() << width << "x" << height);
    const test::PicturePair large = test::shiftedPair(3, kOffset, -4, 6, width, height);
    const RegistrationOutcome got =
        registerKeys(large.sourceView(), large.destinationView(), qS, kImageCornerKey);
    EXPECT_EQ(got.regionWidth, want.regionWidth);
    EXPECT_EQ(got.correlation.shift, want.correlation.shift);
    EXPECT_EQ(got.sourceKey, want.sourceKey);
  }
}

TEST(Registration, TheDemoCamerasKeepTheirKeysAndGetThemBackWhenOff) {
  // The demo's keys relate its two cameras exactly (through a perspective
  // homography, not a shift), so registration leaves them as they are and
  // brings a source key a few pixels off back to them, through Recalibrate's
  // own path from the files.
  const std::filesystem::path demo = test::sourceDir() / "examples/demo";
  std::ifstream file(demo / "demo.xml");
  const std::string xml((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::unique_ptr<ProjectDocument> document = test::loadProject(xml);
  ASSERT_TRUE(document);
  const LinkElement* walk = document->findLink("walk");
  ASSERT_TRUE(walk && walk->keys.size() == 2);
  const KeyQuad qS = *keyQuadFromBytes(walk->keys[0]->data);
  const KeyQuad qD = *keyQuadFromBytes(walk->keys[1]->data);
  const std::string left = (demo / "left.jpg").string(), right = (demo / "right.jpg").string();
  for (const Vec2 error : {Vec2{0, 0}, Vec2{6 / 640.0f, 0}, Vec2{-4 / 640.0f, 5 / 480.0f}}) {
    SCOPED_TRACE(testing::Message() << "off by " << error.x * 640 << ", " << error.y * 480);
    Calibrator calibrator;
    ASSERT_EQ(calibrator.recalibrate(left, keyText(test::offsetKey(qS, error)), right, keyText(qD)),
              RecalibrateCode::Ok);
    const std::optional<KeyQuad> got = keyQuadFromBytes(decodeKeyText(calibrator.sourceKeyText()));
    ASSERT_TRUE(got);
    const Vec2 corners[4][2] = {
        {got->p0, qS.p0}, {got->p1, qS.p1}, {got->p2, qS.p2}, {got->p3, qS.p3}};
    for (const auto& [moved, truth] : corners) {
      EXPECT_NEAR(moved.x * 640, truth.x * 640, 0.51);
      EXPECT_NEAR(moved.y * 480, truth.y * 480, 0.51);
    }
  }
}

TEST(RegistrationSteps, LargePicturesComeToTheWorkingSizeAveraged) {
  // A ramp keeps its positions: working pixel k shows what the picture shows
  // at k * 1920 / 640 across and k * 1080 / 480 down.
  constexpr int kWidth = 1920, kHeight = 1080;
  std::vector<std::uint8_t> ramp(std::size_t{kWidth} * kHeight * 4);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = &ramp[(std::size_t(y) * kWidth + x) * 4];
      p[0] = static_cast<std::uint8_t>(std::min(x, 255));
      p[1] = static_cast<std::uint8_t>(std::min(y, 255));
    }
  }
  std::vector<std::uint8_t> out = registration::toWorkingSize({ramp.data(), kWidth, kHeight});
  ASSERT_EQ(out.size(), std::size_t{kWorkingWidth} * (kWorkingHeight + 1) * 4 + 4);
  for (int r = 2; r < 110; r += 3) {
    for (int c = 2; c < 80; c += 3) {
      const std::uint8_t* p = &out[(std::size_t(r) * kWorkingWidth + c) * 4];
      ASSERT_NEAR(p[0], c * 3.0, 0.51) << c << "," << r;
      ASSERT_NEAR(p[1], r * 2.25, 0.51) << c << "," << r;
    }
  }

  // Sensor noise averages out over the pixels each working pixel covers
  // (about seven here) rather than passing through as a point sample would.
  std::vector<std::uint8_t> noisy(ramp.size());
  std::mt19937 random(7);
  std::normal_distribution<double> noise(128, 25);
  for (std::size_t i = 0; i < noisy.size(); ++i) {
    noisy[i] = static_cast<std::uint8_t>(std::clamp(std::lround(noise(random)), 0L, 255L));
  }
  out = registration::toWorkingSize({noisy.data(), kWidth, kHeight});
  double sum = 0, squares = 0;
  const int count = kWorkingWidth * kWorkingHeight;
  for (int i = 0; i < count; ++i) {
    sum += out[std::size_t(i) * 4];
    squares += double(out[std::size_t(i) * 4]) * out[std::size_t(i) * 4];
  }
  const double mean = sum / count;
  EXPECT_NEAR(mean, 128, 1);
  EXPECT_LT(std::sqrt(squares / count - mean * mean), 12);
}

TEST(RegistrationSteps, CommonRegionOfOffsetAndDefaultKeys) {
  const KeyQuad qS = test::offsetKey(kImageCornerKey, kOffset);
  // The destination picture lies 0.1 right and 0.05 down of the source's in
  // the source's frame.
  const auto box = registration::commonRegion(quadToQuad(qS, qS), quadToQuad(kImageCornerKey, qS));
  ASSERT_TRUE(box);
  EXPECT_NEAR(box->x0, -0.4, 1e-6);
  EXPECT_NEAR(box->y0, -0.45, 1e-6);
  EXPECT_NEAR(box->width, 0.9, 1e-6);
  EXPECT_NEAR(box->height, 0.95, 1e-6);

  // The default keys are the lower and the upper half: the lower half of the
  // source picture is what both show.
  const auto source = keyQuadFromBytes(decodeKeyText(kDefaultSourceKeyText));
  const auto destination = keyQuadFromBytes(decodeKeyText(kDefaultDestinationKeyText));
  ASSERT_TRUE(source && destination);
  EXPECT_EQ(*source, (KeyQuad{{-0.5f, 0}, {0.5f, 0}, {0.5f, 0.5f}, {-0.5f, 0.5f}}));
  EXPECT_EQ(*destination, (KeyQuad{{-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0}, {-0.5f, 0}}));
  const auto half =
      registration::commonRegion(quadToQuad(*source, *source), quadToQuad(*destination, *source));
  ASSERT_TRUE(half);
  const PixelRegion region = registration::pixelRegion(*half);
  EXPECT_EQ(region.left, 0);
  EXPECT_EQ(region.top, 240);
  EXPECT_EQ(region.width, 640);
  EXPECT_EQ(region.height, 240);
}

// The bilinear sample written out with divisions: floor((b - a) * f / 65536)
// for the 16-bit multiply-high, pixels outside the picture black.
std::uint32_t referenceSample(const std::vector<std::uint8_t>& pic, int w, int h, double x,
                              double y) {
  const auto fx = static_cast<std::int64_t>(std::trunc(x * 65536)),
             fy = static_cast<std::int64_t>(std::trunc(y * 65536));
  const auto floorDiv = [](std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(std::floor(double(a) / double(b)));
  };
  const std::int64_t col = floorDiv(fx, 65536), row = floorDiv(fy, 65536);
  const std::int64_t f = (fx - col * 65536) / 2, g = (fy - row * 65536) / 2;
  const auto px = [&](std::int64_t r, std::int64_t c, int ch) -> std::int64_t {
    return r < 0 || c < 0 || r >= h || c >= w ? 0 : pic[(r * w + c) * 4 + ch];
  };
  const auto blend = [&](std::int64_t a, std::int64_t b, std::int64_t t) {
    return a + 2 * floorDiv((b - a) * t, 65536);
  };
  std::uint32_t word = 0;
  for (int ch = 2; ch >= 0; --ch) {
    const std::int64_t v = blend(blend(px(row, col, ch), px(row, col + 1, ch), f),
                                 blend(px(row + 1, col, ch), px(row + 1, col + 1, ch), f), g);
    word = word << 8 | static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 255));
  }
  return word;
}

TEST(RegistrationSteps, BilinearSampleMatchesReferenceAndReadsBlackOutside) {
  constexpr int w = 640, h = 480;
  std::mt19937 rng(1);
  std::vector<std::uint8_t> pic(std::size_t{w} * h * 4);
  for (auto& b : pic) b = static_cast<std::uint8_t>(rng());
  const RegistrationPicture view{pic.data(), w, h};
  std::uniform_real_distribution<double> xs(-3, w + 3), ys(-3, h + 3);
  for (int i = 0; i < 20000; ++i) {
    const double x = xs(rng), y = ys(rng);
    ASSERT_EQ(registration::sampleBilinear(view, x, y), referenceSample(pic, w, h, x, y))
        << x << ", " << y;
  }
  // The last column blends with black, not with the next row's first pixel.
  pic.assign(pic.size(), 200);
  EXPECT_EQ(registration::sampleBilinear(view, 639.5, 10) & 0xFF, 100u);
  EXPECT_EQ(registration::sampleBilinear(view, 1e300, 10), 0u);
  EXPECT_EQ(registration::sampleBilinear(view, std::nan(""), 10), 0u);
}

TEST(RegistrationSteps, EdgeWeightsMatchDirectWindowMeans) {
  constexpr int w = 37, h = 23;
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> u(0, 1);
  std::vector<float> grey(w * h);
  for (auto& g : grey) g = u(rng) * u(rng);
  std::vector<float> weights;
  registration::edgeWeights(grey, w, h, weights);
  const auto g = [&](int y, int x) { return grey[y * w + x]; };
  const auto sobel = [&](int y, int x) -> double {
    if (x < 1 || y < 1 || x > w - 2 || y > h - 2) return 0;
    const double gx = g(y - 1, x + 1) + 2 * g(y, x + 1) + g(y + 1, x + 1) - g(y - 1, x - 1) -
                      2 * g(y, x - 1) - g(y + 1, x - 1);
    const double gy = g(y + 1, x - 1) + 2 * g(y + 1, x) + g(y + 1, x + 1) - g(y - 1, x - 1) -
                      2 * g(y - 1, x) - g(y - 1, x + 1);
    return std::sqrt(gx * gx + gy * gy);
  };
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      double sum = 0;
      int n = 0;
      for (int yy = std::max(0, y - 4); yy <= std::min(h - 1, y + 4); ++yy) {
        for (int xx = std::max(0, x - 4); xx <= std::min(w - 1, x + 4); ++xx, ++n)
          sum += sobel(yy, xx);
      }
      ASSERT_NEAR(weights[y * w + x], std::clamp((sum / n - 0.1) * 2, 0.0, 1.0), 1e-5)
          << x << ", " << y;
    }
  }
}

// The surface by its definition: the window as a root of a sine, direct
// DFTs, the normalised cross-power spectrum, the inverse DFT. Odd and even
// sizes, so the mirrored frequencies of the single transform are covered.
TEST(RegistrationSteps, CorrelationSurfaceMatchesDirectTransforms) {
  using Complex = std::complex<double>;
  for (const auto& [w, h] : {std::pair{9, 7}, std::pair{8, 6}}) {
    RegistrationState state(w, h);
    std::mt19937 rng(w);
    std::uniform_real_distribution<float> u(0, 1);
    for (auto& a : state.greyA) a = u(rng);
    for (auto& b : state.greyB) b = u(rng);
    std::vector<double> surface;
    ASSERT_TRUE(registration::correlationSurface(state, surface));

    const auto dft = [&](const std::vector<float>& grey, double sign) {
      const auto [lo, hi] = std::minmax_element(grey.begin(), grey.end());
      const auto window = [](int k, int n) {
        return std::sqrt(std::sin(std::numbers::pi * (k + 1) / (n + 1)));
      };
      std::vector<Complex> out(w * h);
      for (int ky = 0; ky < h; ++ky) {
        for (int kx = 0; kx < w; ++kx) {
          for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
              const double v = (grey[y * w + x] - *lo) / (*hi - *lo) * window(x, w) * window(y, h);
              out[ky * w + kx] +=
                  v * std::polar(1.0, sign * 2 * std::numbers::pi *
                                          (double(kx) * x / w + double(ky) * y / h));
            }
          }
        }
      }
      return out;
    };
    const std::vector<Complex> fa = dft(state.greyA, -1), fb = dft(state.greyB, -1);
    const double eps = w * h / 16384.0;
    std::vector<Complex> q(w * h);
    for (int i = 0; i < w * h; ++i) {
      const Complex a = std::abs(fa[i]) > eps ? fa[i] / std::abs(fa[i]) : 0.0;
      const Complex b = std::abs(fb[i]) > eps ? fb[i] / std::abs(fb[i]) : 0.0;
      q[i] = std::conj(a) * b;
    }
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        Complex sum = 0;
        for (int ky = 0; ky < h; ++ky) {
          for (int kx = 0; kx < w; ++kx) {
            sum += q[ky * w + kx] * std::polar(1.0, 2 * std::numbers::pi *
                                                        (double(kx) * x / w + double(ky) * y / h));
          }
        }
        EXPECT_NEAR(surface[y * w + x], sum.real() / (w * h), 1e-6)
            << w << "x" << h << " at " << x << ", " << y;
      }
    }
  }
}

TEST(RegistrationSteps, ShiftScoresAndTheirOverlapAndDistanceRules) {
  // B is A moved by (5, -3): B(p + (5, -3)) = A(p).
  constexpr int w = 100, h = 100;
  RegistrationState state(w, h);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0, 1);
  for (auto& a : state.greyA) a = u(rng);
  for (auto& b : state.greyB) b = u(rng);
  for (int y = 3; y < h; ++y) {
    for (int x = 0; x + 5 < w; ++x) state.greyB[(y - 3) * w + x + 5] = state.greyA[y * w + x];
  }
  for (auto& wa : state.weightA) wa = u(rng);
  for (auto& wb : state.weightB) wb = u(rng);
  const registration::ScoreTables tables(state);

  // The score written out: means over the overlap first, then the sums.
  const auto reference = [&](int dx, int dy) {
    double sa = 0, sb = 0, n = 0, total = 0, sum = 0;
    for (int pass = 0; pass < 2; ++pass) {
      for (int y = std::max(0, -dy); y <= h - 1 - std::max(0, dy); ++y) {
        for (int x = std::max(0, -dx); x <= w - 1 - std::max(0, dx); ++x) {
          const int i = y * w + x, j = (y + dy) * w + x + dx;
          if (pass == 0) {
            sa += state.greyA[i];
            sb += state.greyB[j];
            ++n;
            continue;
          }
          const double d = std::max(state.weightA[i], state.weightB[j]) *
                           ((state.greyA[i] - sa / n) - (state.greyB[j] - sb / n));
          total += d * d;
          sum += double(state.weightA[i]) * state.weightB[j];
        }
      }
    }
    return total / sum;
  };
  EXPECT_NEAR(registration::scoreShift(state, tables, {5, -3}), 0, 1e-6);
  for (const PixelShift s :
       {PixelShift{0, 0}, PixelShift{-7, 11}, PixelShift{30, -20}, PixelShift{37, 0}}) {
    const double score = registration::scoreShift(state, tables, s);
    EXPECT_NEAR(score, reference(s.dx, s.dy), 1e-4 * score) << s.dx << ", " << s.dy;
  }
  // Normalised distance 0.74 is scored, 0.76 is not. Every shift nearer than
  // 0.75 overlaps at least half the region, so the 9 % rule only ever agrees:
  // (70, 70) fails both. Nor is a shift without weights scored.
  EXPECT_LT(registration::scoreShift(state, tables, {-37, 0}), kNoMatchScore);
  EXPECT_EQ(registration::scoreShift(state, tables, {-38, 0}), kNoMatchScore);
  EXPECT_EQ(registration::scoreShift(state, tables, {0, 38}), kNoMatchScore);
  EXPECT_EQ(registration::scoreShift(state, tables, {70, 70}), kNoMatchScore);
  EXPECT_EQ(registration::scoreShift(state, tables, {100, 0}), kNoMatchScore);
  RegistrationState unweighted = state;
  std::fill(unweighted.weightA.begin(), unweighted.weightA.end(), 0.0f);
  EXPECT_EQ(registration::scoreShift(unweighted, registration::ScoreTables(unweighted), {5, -3}),
            kNoMatchScore);

  // The whole correlation finds the shift.
  const CorrelationResult found = phaseCorrelate(state);
  EXPECT_EQ(found.shift, (PixelShift{5, -3}));
  EXPECT_DOUBLE_EQ(found.transform.at(0, 2), 2.0 * 5 / w);
  EXPECT_DOUBLE_EQ(found.transform.at(1, 2), -2.0 * -3 / h);
}

}  // namespace
}  // namespace vistel
