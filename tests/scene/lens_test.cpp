#include "vistel/scene/lens.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "vistel/project/document.h"

namespace vistel {
namespace {

// The distortion formula written out directly, one pixel at a time: the
// reference the fast map builder must match word for word.
struct Fetch {
  double x, y;
};

// Pixel (k, j) of a W x H corrected image; k and j may be fractional.
Fetch referenceFetch(const LensProfile& p, int W, int H, double k, double j) {
  const double xr = (double(p.refWidth) / W) * (W * p.centreX * (1 - p.scaleX) + p.scaleX * k);
  const double yr = (double(p.refHeight) / H) * (H * p.centreY * (1 - p.scaleY) + p.scaleY * j);
  const double yn = (yr - p.cy) / p.fy;
  const double xn = (xr - p.cx) / p.fx - p.skew * yn;
  const double r2 = xn * xn + yn * yn;
  const double radial = 1 + p.k1 * r2 + p.k2 * (r2 * r2) + p.k3 * (r2 * r2 * r2);
  const double xd = xn * radial + p.p2 * (r2 + 2 * (xn * xn)) + p.p1 * (2 * xn * yn);
  const double yd = yn * radial + p.p1 * (r2 + 2 * (yn * yn)) + p.p2 * (2 * xn * yn);
  return {(double(W) / p.refWidth) * (p.cx + p.fx * (xd + p.skew * yd)),
          (double(H) / p.refHeight) * (p.cy + p.fy * yd)};
}

// A displacement in units of 1/2^bits pixel, truncated toward zero, after
// clamping it to +-side (beyond which it fetches outside the image anyway).
std::int64_t referenceUnits(double pixels, double side, int bits) {
  if (std::isnan(pixels)) return 0;
  return static_cast<std::int64_t>(
      std::trunc(std::clamp(pixels, -side, side) * std::ldexp(1.0, bits)));
}

// The largest fraction bits (at most 8) at which every displacement of the map
// fits 16 bits: truncation is monotonic, so the extremes decide.
int referenceFractionBits(const LensProfile& p, int W, int H) {
  double low = 0, high = 0;
  for (int j = 0; j < H; ++j) {
    for (int k = 0; k < W; ++k) {
      const Fetch f = referenceFetch(p, W, H, k, j);
      for (const double d : {std::isnan(f.x) ? 0 : std::clamp(f.x - k, -double(W), double(W)),
                             std::isnan(f.y) ? 0 : std::clamp(f.y - j, -double(H), double(H))}) {
        low = std::min(low, d);
        high = std::max(high, d);
      }
    }
  }
  int bits = 8;
  while (bits > 0 && (std::trunc(std::ldexp(high, bits)) > INT16_MAX ||
                      std::trunc(std::ldexp(low, bits)) < INT16_MIN))
    --bits;
  return bits;
}

std::int32_t referenceWord(const LensProfile& p, int W, int H, int k, int j, int bits) {
  const Fetch f = referenceFetch(p, W, H, k, j);
  const auto dx = static_cast<std::uint32_t>(referenceUnits(f.x - k, W, bits));
  const auto dy = static_cast<std::uint32_t>(referenceUnits(f.y - j, H, bits));
  return static_cast<std::int32_t>((dx & 0xFFFF) | (dy << 16));
}

// 0, step, 2*step, ... and always n - 1.
std::vector<int> sampleIndices(int n, int step) {
  std::vector<int> out;
  for (int i = 0; i < n; i += step) out.push_back(i);
  if (out.back() != n - 1) out.push_back(n - 1);
  return out;
}

// Compares the unit and every `step`-th row and column (and the last ones) to
// the reference; returns the map's fraction bits (-1 without a map).
int expectMapMatchesReference(const LensProfile& p, int W, int H, int step = 1) {
  const auto map = buildProfileMap(p, "test", W, H);
  EXPECT_TRUE(map);
  if (!map) return -1;
  EXPECT_EQ(map->width, W);
  EXPECT_EQ(map->height, H);
  if (map->words.size() != std::size_t(W) * H) {
    ADD_FAILURE() << "map of " << map->words.size() << " words";
    return -1;
  }
  const int bits = referenceFractionBits(p, W, H);
  EXPECT_EQ(map->fractionBits, bits) << W << "x" << H;
  int mismatches = 0;
  for (const int j : sampleIndices(H, step)) {
    for (const int k : sampleIndices(W, step)) {
      const std::int32_t want = referenceWord(p, W, H, k, j, bits);
      const std::int32_t got = map->words[std::size_t(j) * W + k];
      if (got != want && ++mismatches <= 5) {
        ADD_FAILURE() << W << "x" << H << " pixel (" << k << "," << j << "): " << std::hex << got
                      << " != " << want;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  return map->fractionBits;
}

LensProfile withoutDistortion(LensProfile p) {
  p.k1 = p.k2 = p.k3 = p.p1 = p.p2 = 0;
  return p;
}

// A profile that exercises the terms the built-ins leave at zero.
LensProfile skewedProfile() {
  LensProfile p = kKamoLens0;
  p.skew = 0.013;
  p.k3 = -0.0042;
  p.p1 = 0.0021;
  p.refWidth = 800;
  p.refHeight = 600;
  p.cx = 410.5;
  p.cy = 288.25;
  p.fx = 530.0;
  p.fy = 527.5;
  return p;
}

void addLens(ProjectDocument& doc, const std::string& id, std::vector<std::uint8_t> bytes) {
  auto lens = std::make_unique<LensElement>();
  lens->id = id;
  lens->dataLength = static_cast<std::int32_t>(bytes.size());
  lens->data = std::move(bytes);
  doc.lenses[id] = std::move(lens);
}

std::vector<std::uint8_t> bytesOf(const LensProfile& p, std::size_t size = kLensProfileBytes) {
  const auto record = lensProfileToBytes(p);
  std::vector<std::uint8_t> bytes(size, 0x5A);
  std::copy_n(record.begin(), std::min(size, record.size()), bytes.begin());
  return bytes;
}

TEST(LensProfileRecord, FieldsAtTheirOffsetsLittleEndian) {
  std::vector<std::uint8_t> bytes(kLensProfileBytes, 0);
  bytes[6] = 0xF0, bytes[7] = 0x3F;                                        // fx = 1.0
  bytes[80] = 0x80, bytes[81] = 0x02;                                      // refWidth = 640
  bytes[84] = 0xFF, bytes[85] = 0xFF, bytes[86] = 0xFF, bytes[87] = 0xFF;  // refHeight = -1
  bytes[119] = 0xC0;                                                       // centreY = -2.0
  const auto p = lensProfileFromBytes(bytes);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->fx, 1.0);
  EXPECT_EQ(p->refWidth, 640);
  EXPECT_EQ(p->refHeight, -1);
  EXPECT_EQ(p->centreY, -2.0);
  EXPECT_EQ(p->scaleY, 0.0);
  EXPECT_EQ(lensProfileToBytes(*p),
            lensProfileToBytes(*lensProfileFromBytes(lensProfileToBytes(*p))));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), lensProfileToBytes(*p).begin()));
}

TEST(LensProfileRecord, ShortRecordIsRefused) {
  const auto bytes = bytesOf(kKamoLens1);
  EXPECT_FALSE(lensProfileFromBytes(std::span(bytes.data(), 119)));
  const auto longer = bytesOf(kKamoLens1, 130);
  const auto p = lensProfileFromBytes(longer);
  ASSERT_TRUE(p);
  EXPECT_EQ(lensProfileToBytes(*p), lensProfileToBytes(kKamoLens1));
}

TEST(BuiltInLenses, PrincipalPointsMirrorThroughTheCentreAndTheRestIsShared) {
  ASSERT_EQ(builtInLensProfile("kamolens0"), &kKamoLens0);
  ASSERT_EQ(builtInLensProfile("kamolens1"), &kKamoLens1);
  EXPECT_EQ(builtInLensProfile("kamolens2"), nullptr);
  EXPECT_EQ(builtInLensProfile("none"), nullptr);
  EXPECT_NEAR(kKamoLens0.cx + kKamoLens1.cx, 640.0, 1e-9);
  EXPECT_NEAR(kKamoLens0.cy + kKamoLens1.cy, 480.0, 1e-9);
  LensProfile a = kKamoLens0, b = kKamoLens1;
  a.cx = b.cx = a.cy = b.cy = a.centreX = b.centreX = a.centreY = b.centreY = 0;
  EXPECT_EQ(lensProfileToBytes(a), lensProfileToBytes(b));
}

TEST(BuildMap, BuiltInsMatchTheDirectFormulaAtEveryPixel) {
  // Camera pictures of the lenses' own size keep 1/256 pixel.
  EXPECT_EQ(expectMapMatchesReference(kKamoLens0, 640, 480), 8);
  EXPECT_EQ(expectMapMatchesReference(kKamoLens1, 640, 480), 8);
  expectMapMatchesReference(kKamoLens0, 333, 217);
  expectMapMatchesReference(kKamoLens1, 1280, 720, 7);
  expectMapMatchesReference(kKamoLens0, 1920, 1080, 11);
  // Over 128 pixels at the corners (a 1/256-pixel word wrapped there): a
  // coarser unit holds them.
  EXPECT_LT(expectMapMatchesReference(kKamoLens1, 3840, 2160, 13), 8);
}

// The largest |displacement| of the profile's map, in 1/256 pixel, before truncation.
double largestDisplacement(const LensProfile& p, int W, int H) {
  double m = 0;
  for (int j = 0; j < H; ++j) {
    for (int k = 0; k < W; ++k) {
      const Fetch f = referenceFetch(p, W, H, k, j);
      m = std::max({m, std::abs((f.x - k) * 256), std::abs((f.y - j) * 256)});
    }
  }
  return m;
}

TEST(BuildMap, HostileProfilesStayDefined) {
  LensProfile far = kKamoLens0;
  far.k1 = 3.0;  // far corners fetch hundreds of pixels away: a coarser unit
  ASSERT_GT(largestDisplacement(far, 160, 120), 32768);
  EXPECT_LT(expectMapMatchesReference(far, 160, 120), 8);
  LensProfile huge = kKamoLens0;
  huge.k2 = 1e12;  // beyond 32 bits: clamped to the image's side, still outside it
  ASSERT_GT(largestDisplacement(huge, 64, 48), 4294967296.0);
  expectMapMatchesReference(huge, 64, 48);
  const auto clamped = buildProfileMap(huge, "huge", 64, 48);
  ASSERT_TRUE(clamped);
  EXPECT_EQ(std::abs(displacementX(clamped->words[0]) * displacementUnit(*clamped)), 64);
  EXPECT_EQ(std::abs(displacementY(clamped->words[0]) * displacementUnit(*clamped)), 48);
  LensProfile zeroRef = kKamoLens0;
  zeroRef.refWidth = 0;  // the way back to pixels divides by zero
  expectMapMatchesReference(zeroRef, 64, 48);
  LensProfile nan = kKamoLens0;
  nan.fy = std::numeric_limits<double>::quiet_NaN();
  const auto map = buildProfileMap(nan, "nan", 32, 24);
  ASSERT_TRUE(map);
  EXPECT_TRUE(
      std::all_of(map->words.begin(), map->words.end(), [](std::int32_t w) { return w == 0; }));
}

TEST(BuildMap, FixedPointOfTheMagnificationDoesNotMove) {
  // Without distortion the fetch position is the magnified position itself:
  // (448, 144) = (0.7 * 640, 0.3 * 480) stays, everything else moves away by
  // 1.21 horizontally and 1.1 vertically.
  const auto map = buildProfileMap(withoutDistortion(kKamoLens0), "flat", 640, 480);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->words[144 * 640 + 448], 0);
  for (const auto& [k, j] :
       {std::pair{0, 0}, std::pair{639, 479}, std::pair{448, 0}, std::pair{100, 300}}) {
    const std::int32_t word = map->words[std::size_t(j) * 640 + k];
    EXPECT_NEAR(displacementX(word), 0.21 * (k - 448) * 256, 1.0) << k << "," << j;
    EXPECT_NEAR(displacementY(word), 0.1 * (j - 144) * 256, 1.0) << k << "," << j;
  }
  // With distortion the fixed point fetches from the distortion of (448, 144).
  const auto lens = buildProfileMap(kKamoLens0, "kamolens0", 640, 480);
  const LensPoint d = distortPoint(kKamoLens0, 448, 144);
  const std::int32_t word = lens->words[144 * 640 + 448];
  EXPECT_EQ(displacementX(word), static_cast<std::int32_t>((d.x - 448) * 256));
  EXPECT_EQ(displacementY(word), static_cast<std::int32_t>((d.y - 144) * 256));
}

TEST(DistortPoint, FoldedFormAgreesWithTheMapFormula) {
  for (const LensProfile& p : {kKamoLens0, kKamoLens1, skewedProfile()}) {
    const PointDistorter prepared(p);
    for (double y = -20; y <= 500; y += 37.25) {
      for (double x = -30; x <= 670; x += 41.5) {
        // The map formula at pixel (x, y) of a 640 x 480 image, before truncation.
        const Fetch want = referenceFetch(p, 640, 480, x, y);
        const LensPoint got = prepared.distort(x, y);
        EXPECT_NEAR(got.x, want.x, 1e-9) << x << "," << y;
        EXPECT_NEAR(got.y, want.y, 1e-9) << x << "," << y;
        const LensPoint once = distortPoint(p, x, y);
        EXPECT_EQ(once.x, got.x);
        EXPECT_EQ(once.y, got.y);
      }
    }
  }
}

TEST(LensMapCache, NoneIsAllZero) {
  LensMapCache cache;
  const DisplacementMap* m = cache.getMap("none", 320, 240);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->name, "none");
  EXPECT_EQ(m->width, 320);
  EXPECT_EQ(m->height, 240);
  ASSERT_EQ(m->words.size(), 76800u);
  EXPECT_TRUE(std::all_of(m->words.begin(), m->words.end(), [](std::int32_t w) { return w == 0; }));
}

TEST(LensMapCache, SameLensAtTwoSizesGivesTwoMaps) {
  LensMapCache cache;
  const DisplacementMap* big = cache.getMap("kamolens0", 640, 480);
  const DisplacementMap* small = cache.getMap("kamolens0", 320, 240);
  ASSERT_NE(big, nullptr);
  ASSERT_NE(small, nullptr);
  EXPECT_NE(big, small);
  EXPECT_EQ(big->words.size(), 640u * 480u);
  EXPECT_EQ(small->words.size(), 320u * 240u);
  EXPECT_EQ(cache.slot(0), small);
  EXPECT_EQ(cache.slot(1), big);
  EXPECT_EQ(cache.getMap("kamolens0", 640, 480), big);  // a hit, not a rebuild
  EXPECT_EQ(cache.slot(0), big);
  EXPECT_NE(cache.getMap("kamolens1", 640, 480), big);
}

TEST(LensMapCache, MostRecentlyUsedOrderAndEviction) {
  LensMapCache cache;
  const DisplacementMap* m[6] = {};
  for (int i = 1; i <= 4; ++i) m[i] = cache.getMap("none", i, 1);
  EXPECT_EQ(cache.slot(0), m[4]);
  EXPECT_EQ(cache.slot(1), m[3]);
  EXPECT_EQ(cache.slot(2), m[2]);
  EXPECT_EQ(cache.slot(3), m[1]);

  EXPECT_EQ(cache.getMap("none", 1, 1), m[1]);  // found in the last slot
  EXPECT_EQ(cache.slot(0), m[1]);
  EXPECT_EQ(cache.slot(1), m[4]);
  EXPECT_EQ(cache.slot(2), m[3]);
  EXPECT_EQ(cache.slot(3), m[2]);

  m[5] = cache.getMap("none", 5, 1);  // m2 goes
  ASSERT_NE(m[5], nullptr);
  EXPECT_EQ(m[5]->width, 5);
  EXPECT_EQ(cache.slot(0), m[5]);
  EXPECT_EQ(cache.slot(1), m[1]);
  EXPECT_EQ(cache.slot(2), m[4]);
  EXPECT_EQ(cache.slot(3), m[3]);
  EXPECT_EQ(cache.slot(4), nullptr);
  EXPECT_EQ(cache.slot(-1), nullptr);
}

TEST(LensMapCache, HitInTheThirdSlotShiftsOnlyTheSlotsAboveIt) {
  LensMapCache cache;
  const DisplacementMap* m[5] = {};
  for (int i = 1; i <= 4; ++i) m[i] = cache.getMap("none", 8, i);
  // Slots: m4, m3, m2, m1. m2 sits in slot 2.
  EXPECT_EQ(cache.getMap("none", 8, 2), m[2]);
  EXPECT_EQ(cache.slot(0), m[2]);
  EXPECT_EQ(cache.slot(1), m[4]);
  EXPECT_EQ(cache.slot(2), m[3]);
  EXPECT_EQ(cache.slot(3), m[1]);
}

TEST(LensMapCache, UnresolvableNamesAndRefusedSizesLeaveTheCacheAlone) {
  LensMapCache cache;
  const DisplacementMap* a = cache.getMap("none", 16, 16);
  const DisplacementMap* b = cache.getMap("kamolens1", 16, 16);
  EXPECT_EQ(cache.getMap("nosuchlens", 16, 16), nullptr);
  EXPECT_EQ(cache.getMap("none", 0, 16), nullptr);
  EXPECT_EQ(cache.getMap("kamolens0", 16, -1), nullptr);
  EXPECT_EQ(cache.getMap("none", kMaxMapDimension + 1, 1), nullptr);
  EXPECT_EQ(cache.getMap("none", kMaxMapDimension, kMaxMapDimension),
            nullptr);  // above the pixel limit
  EXPECT_EQ(cache.slot(0), b);
  EXPECT_EQ(cache.slot(1), a);
  EXPECT_EQ(cache.slot(2), nullptr);
}

TEST(LensMapCache, DocumentLensBehavesLikeTheSameProfile) {
  ProjectDocument doc;
  addLens(doc, "mine", bytesOf(kKamoLens0));
  addLens(doc, "short", bytesOf(kKamoLens0, 119));
  addLens(doc, "long", bytesOf(skewedProfile(), 200));
  LensMapCache cache(&doc);

  const DisplacementMap* builtIn = cache.getMap("kamolens0", 640, 480);
  const DisplacementMap* mine = cache.getMap("mine", 640, 480);
  ASSERT_NE(builtIn, nullptr);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(mine->name, "mine");
  EXPECT_EQ(mine->words, builtIn->words);

  EXPECT_EQ(cache.getMap("short", 640, 480), nullptr);
  EXPECT_EQ(cache.slot(0), mine);
  EXPECT_EQ(cache.slot(1), builtIn);
  EXPECT_EQ(cache.slot(2), nullptr);

  const DisplacementMap* longer = cache.getMap("long", 64, 48);
  ASSERT_NE(longer, nullptr);
  EXPECT_EQ(longer->words, buildProfileMap(skewedProfile(), "x", 64, 48)->words);

  // "none" is never looked up in the document.
  addLens(doc, "none", bytesOf(kKamoLens0));
  const DisplacementMap* none = cache.getMap("none", 64, 48);
  ASSERT_NE(none, nullptr);
  EXPECT_TRUE(
      std::all_of(none->words.begin(), none->words.end(), [](std::int32_t w) { return w == 0; }));

  // Without a document only "none" and the built-in names resolve.
  EXPECT_EQ(buildMap("mine", 8, 8, nullptr), nullptr);
  EXPECT_NE(buildMap("kamolens1", 8, 8, nullptr), nullptr);
}

TEST(LensMapCache, NewDocumentDropsMapsOfTheOldLensElements) {
  ProjectDocument first, second;
  addLens(first, "cam", bytesOf(kKamoLens0));
  addLens(second, "cam", bytesOf(kKamoLens1));
  LensMapCache cache(&first);
  const DisplacementMap* none = cache.getMap("none", 64, 48);
  ASSERT_NE(cache.getMap("cam", 64, 48), nullptr);
  const DisplacementMap* builtIn = cache.getMap("kamolens1", 64, 48);
  const std::vector<std::int32_t> oldWords =
      cache.getMap("cam", 64, 48)->words;  // slots: cam, k1, none

  cache.setDocument(&second);
  EXPECT_EQ(cache.slot(0), builtIn);
  EXPECT_EQ(cache.slot(1), none);
  EXPECT_EQ(cache.slot(2), nullptr);
  const DisplacementMap* cam = cache.getMap("cam", 64, 48);
  ASSERT_NE(cam, nullptr);
  EXPECT_NE(cam->words, oldWords);
  EXPECT_EQ(cam->words, builtIn->words);

  cache.setDocument(nullptr);
  EXPECT_EQ(cache.getMap("cam", 64, 48), nullptr);
}

}  // namespace
}  // namespace vistel
