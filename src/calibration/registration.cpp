#include "vistel/calibration/registration.h"

#include <algorithm>
#include <cmath>

#include "vistel/calibration/fft.h"
#include "vistel/calibration/registration_p.h"

namespace vistel {

namespace registration {

namespace {

// The region the keys say both pictures share is never far outside the source
// picture; anything beyond this is a broken key, not a region.
constexpr float kLargestBoxCoordinate = 1e6f;

// Summed-area table of a width x height grid: entry (y, x) of the
// (width + 1) x (height + 1) table is the sum of the grid over rows < y and
// columns < x. Sums run in double so that differences of large partial sums
// keep the precision of the values.
std::vector<double> summedArea(std::span<const float> grid, std::int32_t width,
                               std::int32_t height) {
  const std::size_t stride = static_cast<std::size_t>(width) + 1;
  std::vector<double> table(stride * (static_cast<std::size_t>(height) + 1), 0.0);
  for (std::int32_t y = 0; y < height; ++y) {
    double row = 0;
    const float* in = grid.data() + static_cast<std::size_t>(y) * width;
    const double* above = table.data() + static_cast<std::size_t>(y) * stride;
    double* out = table.data() + (static_cast<std::size_t>(y) + 1) * stride;
    for (std::int32_t x = 0; x < width; ++x) {
      row += in[x];
      out[x + 1] = above[x + 1] + row;
    }
  }
  return table;
}

// Sum over columns x0..x1 and rows y0..y1 (inclusive) of the table's grid.
double areaSum(const std::vector<double>& table, std::int32_t width, std::int32_t x0,
               std::int32_t y0, std::int32_t x1, std::int32_t y1) {
  const std::size_t stride = static_cast<std::size_t>(width) + 1;
  const std::size_t top = static_cast<std::size_t>(y0) * stride;
  const std::size_t bottom = (static_cast<std::size_t>(y1) + 1) * stride;
  return table[bottom + x1 + 1] - table[bottom + x0] - table[top + x1 + 1] + table[top + x0];
}

// The tapering window of the correlation: the fourth root of a raised cosine,
// with 2 pi taken as the transform tables take it.
std::vector<double> taper(std::int32_t n) {
  std::vector<double> w(static_cast<std::size_t>(n));
  for (std::int32_t k = 0; k < n; ++k) {
    w[k] = std::sqrt(std::sqrt(0.5 - 0.5 * std::cos(6.2831852 * (k + 1) / (n + 1))));
  }
  return w;
}

// The grey picture scaled to 0..1 and tapered.
std::vector<double> windowed(std::span<const float> grey, const std::vector<double>& wx,
                             const std::vector<double>& wy) {
  float lo = grey.empty() ? 0.0f : grey[0];
  float hi = lo;
  for (const float g : grey) {
    lo = std::min(lo, g);
    hi = std::max(hi, g);
  }
  if (hi <= lo) hi = lo + 1;
  const double range = static_cast<double>(hi) - lo;
  const std::size_t width = wx.size();
  std::vector<double> out(grey.size());
  for (std::size_t y = 0; y < wy.size(); ++y) {
    for (std::size_t x = 0; x < width; ++x) {
      const std::size_t i = y * width + x;
      out[i] = (grey[i] - static_cast<double>(lo)) / range * wy[y] * wx[x];
    }
  }
  return out;
}

bool regionFits(std::int32_t width, std::int32_t height) {
  return width >= 1 && height >= 1 && width <= kMaxFftLength && height <= kMaxFftLength;
}

}  // namespace

void keepInside(std::span<const Segment> segments, std::span<const Segment> outline,
                std::vector<Segment>& kept) {
  // The outline's turning direction says on which side of each line its
  // inside lies; the twice-signed area gives it.
  double area2 = 0;
  for (const Segment& e : outline) area2 += double{e.x1} * e.y2 - double{e.x2} * e.y1;
  if (!(std::fabs(area2) > 0) || !std::isfinite(area2)) return;
  const double side = area2 > 0 ? 1.0 : -1.0;
  const double tolerance = kOnLineTolerance;

  for (const Segment& s : segments) {
    double t0 = 0, t1 = 1;
    bool keep = true;
    for (const Segment& e : outline) {
      const double ex = double{e.x2} - e.x1, ey = double{e.y2} - e.y1;
      const double length = std::hypot(ex, ey);
      if (!(length > 0)) continue;
      // Signed distances of the end points from the line, positive inside.
      const double da = side * (ex * (s.y1 - double{e.y1}) - ey * (s.x1 - double{e.x1})) / length;
      const double db = side * (ex * (s.y2 - double{e.y1}) - ey * (s.x2 - double{e.x1})) / length;
      if (std::fabs(da) <= tolerance && std::fabs(db) <= tolerance) {
        keep = false;  // lies on this line: the other outline supplies that edge
        break;
      }
      const bool aInside = da >= -tolerance, bInside = db >= -tolerance;
      if (!aInside && !bInside) {
        keep = false;
        break;
      }
      if (aInside && bInside) continue;
      const double t = da / (da - db);  // where the segment crosses the line
      if (aInside) {
        t1 = std::min(t1, t);
      } else {
        t0 = std::max(t0, t);
      }
    }
    if (!keep || !(t0 <= t1)) continue;
    const double dx = double{s.x2} - s.x1, dy = double{s.y2} - s.y1;
    kept.push_back({static_cast<float>(s.x1 + t0 * dx), static_cast<float>(s.y1 + t0 * dy),
                    static_cast<float>(s.x1 + t1 * dx), static_cast<float>(s.y1 + t1 * dy)});
  }
}

std::optional<RegionBox> commonRegion(const Homography& h1, const Homography& h2) {
  std::vector<Segment> first, second, kept;
  outlineOfImage(h1, first);
  outlineOfImage(h2, second);
  keepInside(first, second, kept);
  keepInside(second, first, kept);
  if (kept.empty()) return std::nullopt;
  float minX = 10000, minY = 10000, maxX = -9999, maxY = -9999;
  for (const Segment& s : kept) {
    minX = std::min({minX, s.x1, s.x2});
    minY = std::min({minY, s.y1, s.y2});
    maxX = std::max({maxX, s.x1, s.x2});
    maxY = std::max({maxY, s.y1, s.y2});
  }
  const RegionBox box{minX, minY, maxX - minX, maxY - minY};
  for (const float v : {box.x0, box.y0, box.width, box.height}) {
    if (!(std::fabs(v) < kLargestBoxCoordinate)) return std::nullopt;
  }
  return box;
}

PixelRegion pixelRegion(const RegionBox& box) {
  PixelRegion r;
  const float x0 = (box.x0 + 0.5f) * kWorkingWidth;
  const float y0 = (box.y0 + 0.5f) * kWorkingHeight;
  r.widthP = box.width * kWorkingWidth;
  r.heightP = box.height * kWorkingHeight;
  // Beyond these the box is no region; a size of 0 says so.
  constexpr float kLimit = 1e9f;
  if (!(std::fabs(x0) < kLimit && std::fabs(y0) < kLimit && r.widthP > 0 && r.widthP < kLimit &&
        r.heightP > 0 && r.heightP < kLimit)) {
    return r;
  }
  // The first column and row inside the box: a box edge a rounding error
  // short of a whole pixel still starts there, and one between pixels starts
  // at the next, so the region's first column and row show both pictures
  // (truncating would start a pixel outside the picture whose edge that is,
  // and its black would dominate the correlation).
  constexpr float kEdgeTolerance = 1e-3f;
  r.left = static_cast<std::int32_t>(std::ceil(x0 - kEdgeTolerance));
  r.top = static_cast<std::int32_t>(std::ceil(y0 - kEdgeTolerance));
  r.width = static_cast<std::int32_t>(r.widthP);
  r.height = static_cast<std::int32_t>(r.heightP);
  return r;
}

std::uint32_t sampleBilinear(const RegistrationPicture& picture, double x, double y) {
  // Beyond these every pixel of the 2 x 2 block is outside (NaN fails too).
  if (!(x > -1.0 && x < picture.width && y > -1.0 && y < picture.height)) return 0;
  const auto fx = static_cast<std::int32_t>(x * 65536.0);
  const auto fy = static_cast<std::int32_t>(y * 65536.0);
  const std::int32_t col = fx >> 16, row = fy >> 16;  // floor, also left of and above the picture
  const std::int32_t fracX = (fx & 0xFFFF) >> 1, fracY = (fy & 0xFFFF) >> 1;

  static constexpr std::uint8_t kBlack[4] = {0, 0, 0, 0};
  const auto at = [&picture](std::int32_t r, std::int32_t c) -> const std::uint8_t* {
    if (r < 0 || c < 0 || r >= picture.height || c >= picture.width) return kBlack;
    return picture.pixels + (static_cast<std::size_t>(r) * picture.width + c) * 4;
  };
  const std::uint8_t* p00 = at(row, col);
  const std::uint8_t* p01 = at(row, col + 1);
  const std::uint8_t* p10 = at(row + 1, col);
  const std::uint8_t* p11 = at(row + 1, col + 1);
  // The blend keeps 15 bits of the fraction and doubles the high half of the
  // product, the form a 16-bit multiply-high gives; >> floors negative values.
  const auto blend = [](std::int32_t a, std::int32_t b, std::int32_t f) {
    return a + 2 * (((b - a) * f) >> 16);
  };
  std::uint32_t word = 0;
  for (int ch = 2; ch >= 0; --ch) {  // red, green, blue: the word's high to low bytes
    const std::int32_t upper = blend(p00[ch], p01[ch], fracX);
    const std::int32_t lower = blend(p10[ch], p11[ch], fracX);
    const std::int32_t v = std::clamp(blend(upper, lower, fracY), 0, 255);
    word = word << 8 | static_cast<std::uint32_t>(v);
  }
  return word;
}

void resampleRegion(const RegistrationPicture& picture, const Homography& viewToImage,
                    const PointDistorter& lens, const PixelRegion& region,
                    std::vector<std::uint32_t>& out) {
  out.assign(static_cast<std::size_t>(region.width) * region.height, 0);
  for (std::int32_t r = 0; r < region.height; ++r) {
    const double y = (region.top + r) * 0.0020833333333333333 - 0.5;
    std::uint32_t* row = out.data() + static_cast<std::size_t>(r) * region.width;
    for (std::int32_t c = 0; c < region.width; ++c) {
      const double x = (region.left + c) * 0.0015625 - 0.5;
      const Vec2 uv = applyToPoint(viewToImage, {static_cast<float>(x), static_cast<float>(y)});
      if (!(std::fabs(uv.x) <= 0.5f && std::fabs(uv.y) <= 0.5f)) continue;
      const LensPoint p = lens.distort((uv.x + 0.5) * kWorkingWidth, (uv.y + 0.5) * kWorkingHeight);
      row[c] = sampleBilinear(picture, p.x, p.y);
    }
  }
}

void greyLevels(std::span<const std::uint32_t> pixels, std::vector<float>& grey) {
  grey.resize(pixels.size());
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    const std::uint32_t p = pixels[i];
    const auto sum = static_cast<std::int32_t>((p >> 16 & 0xFF) + (p >> 8 & 0xFF) + (p & 0xFF));
    grey[i] = static_cast<float>(765 - sum) / 768.0f;
  }
}

void edgeWeights(std::span<const float> grey, std::int32_t width, std::int32_t height,
                 std::vector<float>& weights) {
  const std::size_t w = static_cast<std::size_t>(width);
  std::vector<float> magnitude(grey.size(), 0.0f);
  for (std::int32_t y = 1; y + 1 < height; ++y) {
    const float* up = grey.data() + (y - 1) * w;
    const float* mid = up + w;
    const float* down = mid + w;
    float* out = magnitude.data() + y * w;
    for (std::int32_t x = 1; x + 1 < width; ++x) {
      const float gx =
          (up[x + 1] + 2 * mid[x + 1] + down[x + 1]) - (up[x - 1] + 2 * mid[x - 1] + down[x - 1]);
      const float gy =
          (down[x - 1] + 2 * down[x] + down[x + 1]) - (up[x - 1] + 2 * up[x] + up[x + 1]);
      out[x] = std::sqrt(gx * gx + gy * gy);
    }
  }
  const std::vector<double> table = summedArea(magnitude, width, height);
  weights.resize(grey.size());
  for (std::int32_t y = 0; y < height; ++y) {
    const std::int32_t y0 = std::max(y - 4, 0), y1 = std::min(y + 4, height - 1);
    for (std::int32_t x = 0; x < width; ++x) {
      const std::int32_t x0 = std::max(x - 4, 0), x1 = std::min(x + 4, width - 1);
      const double count = static_cast<double>(x1 - x0 + 1) * (y1 - y0 + 1);
      const auto mean = static_cast<float>(areaSum(table, width, x0, y0, x1, y1) / count);
      weights[y * w + x] = std::min(1.0f, std::max(0.0f, (mean - 0.1f) * 2));
    }
  }
}

bool correlationSurface(const RegistrationState& state, std::vector<double>& surface) {
  const std::int32_t width = state.width, height = state.height;
  if (!regionFits(width, height)) return false;
  const std::vector<double> wx = taper(width), wy = taper(height);
  // Both pictures are real, so one complex transform of a + i b carries both
  // spectra: FA(k) = (Z(k) + conj Z(-k)) / 2 and FB(k) = (Z(k) - conj Z(-k)) / 2i.
  // That saves a third of the transform work.
  std::vector<double> zRe = windowed(state.greyA, wx, wy), zIm = windowed(state.greyB, wx, wy);
  if (!fft2d(width, height, zRe.data(), zIm.data())) return false;

  // Only the phase of each frequency counts; frequencies too weak to carry a
  // phase are left out rather than amplified.
  const double eps = static_cast<double>(width) * height / 16384;
  std::vector<double> qRe(zRe.size()), qIm(zRe.size());
  for (std::int32_t ky = 0; ky < height; ++ky) {
    const std::size_t row = static_cast<std::size_t>(ky) * width;
    const std::size_t mirrorRow = static_cast<std::size_t>(ky == 0 ? 0 : height - ky) * width;
    for (std::int32_t kx = 0; kx < width; ++kx) {
      const std::size_t i = row + kx, m = mirrorRow + (kx == 0 ? 0 : width - kx);
      const double zr = zRe[i], zi = zIm[i], nr = zRe[m], ni = zIm[m];
      double ar = 0.5 * (zr + nr), ai = 0.5 * (zi - ni);
      double br = 0.5 * (zi + ni), bi = 0.5 * (nr - zr);
      const double ma = std::sqrt(ar * ar + ai * ai), mb = std::sqrt(br * br + bi * bi);
      if (ma > eps) {
        ar /= ma;
        ai /= ma;
      } else {
        ar = ai = 0;
      }
      if (mb > eps) {
        br /= mb;
        bi /= mb;
      } else {
        br = bi = 0;
      }
      qRe[i] = ar * br + ai * bi;
      qIm[i] = ar * bi - ai * br;
    }
  }
  if (!ifft2d(width, height, qRe.data(), qIm.data())) return false;
  surface = std::move(qRe);
  return true;
}

std::vector<PixelShift> candidateShifts(std::span<const double> surface, std::int32_t width,
                                        std::int32_t height) {
  std::vector<PixelShift> out;
  if (surface.empty() || surface.size() != static_cast<std::size_t>(width) * height) return out;
  double peak = surface[0], positive = 0;
  std::size_t positives = 0;
  for (const double v : surface) {
    peak = std::max(peak, v);
    if (v > 0) {
      positive += v;
      ++positives;
    }
  }
  const double mean = positives ? positive / static_cast<double>(positives) : 0.0;
  if (!(peak > mean)) return out;
  constexpr int kMaxCells = 50;
  const double threshold = 0.7 * peak;
  int cells = 0;
  for (std::int32_t l = 0; l < height && cells < kMaxCells; ++l) {
    for (std::int32_t c = 0; c < width && cells < kMaxCells; ++c) {
      if (!(surface[static_cast<std::size_t>(l) * width + c] > threshold)) continue;
      // The surface is circular: a peak at (c, l) may stand for a shift that
      // wrapped around in either direction.
      out.push_back({c - width, l});
      out.push_back({c - width, l - height});
      out.push_back({c, l});
      out.push_back({c, l - height});
      ++cells;
    }
  }
  return out;
}

ScoreTables::ScoreTables(const RegistrationState& state)
    : sumA(summedArea(state.greyA, state.width, state.height)),
      sumB(summedArea(state.greyB, state.width, state.height)) {}

double scoreShift(const RegistrationState& state, const ScoreTables& tables, PixelShift shift) {
  const std::int32_t width = state.width, height = state.height;
  const std::int32_t dx = shift.dx, dy = shift.dy;
  const std::int32_t x0 = std::max(0, -dx), x1 = width - 1 - std::max(0, dx);
  const std::int32_t y0 = std::max(0, -dy), y1 = height - 1 - std::max(0, dy);
  if (x1 < x0 || y1 < y0) return kNoMatchScore;
  const double area = static_cast<double>(width) * height;
  const double count = static_cast<double>(x1 - x0 + 1) * (y1 - y0 + 1);
  const double nx = -2.0 * dx / width, ny = -2.0 * dy / height;
  // Large shifts compare little of the pictures, and wrapped peaks land there.
  if (!(count > 0.09 * area) || !(std::sqrt(nx * nx + ny * ny) < 0.75)) return kNoMatchScore;

  const double meanA = areaSum(tables.sumA, width, x0, y0, x1, y1) / count;
  const double meanB = areaSum(tables.sumB, width, x0 + dx, y0 + dy, x1 + dx, y1 + dy) / count;
  const auto offset = static_cast<float>(meanA - meanB);
  const std::int32_t n = x1 - x0 + 1;
  constexpr int kLanes = 8;  // independent partial sums, so the loop runs in vector registers
  double total = 0, sum = 0;
  for (std::int32_t y = y0; y <= y1; ++y) {
    const std::size_t ia = static_cast<std::size_t>(y) * width + x0;
    const std::size_t ib = static_cast<std::size_t>(y + dy) * width + x0 + dx;
    const float* a = state.greyA.data() + ia;
    const float* wa = state.weightA.data() + ia;
    const float* b = state.greyB.data() + ib;
    const float* wb = state.weightB.data() + ib;
    float laneTotal[kLanes] = {}, laneSum[kLanes] = {};
    std::int32_t x = 0;
    for (; x + kLanes <= n; x += kLanes) {
      for (int k = 0; k < kLanes; ++k) {
        const float d = std::max(wa[x + k], wb[x + k]) * ((a[x + k] - b[x + k]) - offset);
        laneTotal[k] += d * d;
        laneSum[k] += wa[x + k] * wb[x + k];
      }
    }
    for (; x < n; ++x) {
      const float d = std::max(wa[x], wb[x]) * ((a[x] - b[x]) - offset);
      laneTotal[0] += d * d;
      laneSum[0] += wa[x] * wb[x];
    }
    for (int k = 0; k < kLanes; ++k) {
      total += laneTotal[k];
      sum += laneSum[k];
    }
  }
  if (sum < 0.0001 * area) return kNoMatchScore;
  return total / sum;
}

namespace {

// One output sample of a resampling along one axis: the input samples
// first .. first + weights.size() - 1 (clamped to the input) and their weights,
// which add up to 1.
struct Taps {
  std::int32_t first = 0;
  std::vector<float> weights;
};

// How each of `outputs` samples along an axis of `inputs` samples is made when
// output sample k stands at input position k * inputs / outputs (sample i of
// either at position i, as normalised coordinates place pixels). Shrinking
// averages the input samples under the output sample's cell, of width
// inputs / outputs centred there, each weighted by its share of the cell: an
// HD camera's picture then brings all of its pixels to the working size, not
// the one in three or four a point sample would read, so its sensor noise and
// fine texture average out instead of aliasing into false detail. Enlarging
// interpolates linearly between the two nearest samples.
std::vector<Taps> axisTaps(std::int32_t inputs, std::int32_t outputs) {
  std::vector<Taps> taps(static_cast<std::size_t>(outputs));
  const double scale = static_cast<double>(inputs) / outputs;
  for (std::int32_t k = 0; k < outputs; ++k) {
    const double centre = k * scale;
    Taps& t = taps[static_cast<std::size_t>(k)];
    if (scale <= 1) {
      t.first = static_cast<std::int32_t>(centre);
      const auto f = static_cast<float>(centre - t.first);
      t.weights = {1 - f, f};
      continue;
    }
    const double lo = centre - scale / 2, hi = centre + scale / 2;
    // Input sample i covers [i - 0.5, i + 0.5).
    t.first = static_cast<std::int32_t>(std::floor(lo + 0.5));
    const auto last = static_cast<std::int32_t>(std::ceil(hi + 0.5)) - 1;
    for (std::int32_t i = t.first; i <= last; ++i) {
      const double overlap = std::min(hi, i + 0.5) - std::max(lo, i - 0.5);
      t.weights.push_back(static_cast<float>(std::max(overlap, 0.0) / scale));
    }
  }
  return taps;
}

}  // namespace

std::vector<std::uint8_t> toWorkingSize(const RegistrationPicture& picture) {
  constexpr std::size_t kRowBytes = static_cast<std::size_t>(kWorkingWidth) * 4;
  std::vector<std::uint8_t> out(kRowBytes * (kWorkingHeight + 1) + 4, 0);
  const std::int32_t w = picture.width, h = picture.height;
  const std::vector<Taps> across = axisTaps(w, kWorkingWidth), down = axisTaps(h, kWorkingHeight);
  // Samples beyond an edge repeat the edge's pixel.
  const auto clampTo = [](std::int32_t i, std::int32_t n) { return std::clamp(i, 0, n - 1); };
  // Across first, into blue, green, red floats per working column of every
  // picture row; then down.
  std::vector<float> rows(static_cast<std::size_t>(h) * kWorkingWidth * 3);
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = picture.pixels + static_cast<std::size_t>(y) * w * 4;
    float* o = rows.data() + static_cast<std::size_t>(y) * kWorkingWidth * 3;
    for (const Taps& t : across) {
      float sum[3] = {};
      for (std::size_t n = 0; n < t.weights.size(); ++n) {
        const std::uint8_t* p =
            in + static_cast<std::size_t>(clampTo(t.first + static_cast<std::int32_t>(n), w)) * 4;
        for (int ch = 0; ch < 3; ++ch) sum[ch] += t.weights[n] * p[ch];
      }
      for (int ch = 0; ch < 3; ++ch) *o++ = sum[ch];
    }
  }
  for (std::int32_t r = 0; r < kWorkingHeight; ++r) {
    const Taps& t = down[static_cast<std::size_t>(r)];
    std::uint8_t* o = out.data() + static_cast<std::size_t>(r) * kRowBytes;
    for (std::int32_t c = 0; c < kWorkingWidth * 3; c += 3, o += 4) {
      float sum[3] = {};
      for (std::size_t n = 0; n < t.weights.size(); ++n) {
        const float* p =
            rows.data() +
            static_cast<std::size_t>(clampTo(t.first + static_cast<std::int32_t>(n), h)) *
                kWorkingWidth * 3 +
            c;
        for (int ch = 0; ch < 3; ++ch) sum[ch] += t.weights[n] * p[ch];
      }
      for (int ch = 0; ch < 3; ++ch) {
        o[ch] = static_cast<std::uint8_t>(std::clamp(std::lround(sum[ch]), 0L, 255L));
      }
    }
  }
  return out;
}

namespace {

// The picture itself when it has the working size, else a scaled copy kept in
// `storage`.
RegistrationPicture atWorkingSize(const RegistrationPicture& picture,
                                  std::vector<std::uint8_t>& storage) {
  if (picture.width == kWorkingWidth && picture.height == kWorkingHeight) return picture;
  storage = toWorkingSize(picture);
  return {storage.data(), kWorkingWidth, kWorkingHeight};
}

}  // namespace

}  // namespace registration

RegistrationState::RegistrationState(std::int32_t w, std::int32_t h)
    : width(std::max(w, 0)),
      height(std::max(h, 0)),
      greyA(static_cast<std::size_t>(width) * height, 0.0f),
      greyB(greyA.size(), 0.0f),
      weightA(greyA.size(), 0.0f),
      weightB(greyA.size(), 0.0f) {
  clearFftTables();
}

CorrelationResult phaseCorrelate(const RegistrationState& state) {
  using namespace registration;
  CorrelationResult result;
  const std::size_t size = static_cast<std::size_t>(state.width) * state.height;
  if (!regionFits(state.width, state.height) || state.greyA.size() != size ||
      state.greyB.size() != size || state.weightA.size() != size || state.weightB.size() != size) {
    return result;
  }
  std::vector<double> surface;
  if (!correlationSurface(state, surface)) return result;
  const std::vector<PixelShift> candidates = candidateShifts(surface, state.width, state.height);
  if (candidates.empty()) return result;
  const ScoreTables tables(state);
  for (const PixelShift& shift : candidates) {
    const double score = scoreShift(state, tables, shift);
    if (score < result.score) {
      result.score = score;
      result.shift = shift;
    }
  }
  result.transform.at(0, 2) = 2.0 * result.shift.dx / state.width;
  result.transform.at(1, 2) = -2.0 * result.shift.dy / state.height;
  return result;
}

RegistrationOutcome registerKeys(const RegistrationPicture& source,
                                 const RegistrationPicture& destination, const KeyQuad& sourceKey,
                                 const KeyQuad& destinationKey) {
  using namespace registration;
  RegistrationOutcome outcome;
  outcome.sourceKey = sourceKey;
  for (const RegistrationPicture* p : {&source, &destination}) {
    if (p->pixels == nullptr || p->width < 1 || p->height < 1 || p->width > kMaxPictureSide ||
        p->height > kMaxPictureSide) {
      outcome.status = RegistrationStatus::BadPicture;
      return outcome;
    }
  }

  const Homography h1 = quadToQuad(sourceKey, sourceKey);
  // Both resamplings show the source key's frame: h1 takes it onto the source
  // picture, h2 onto the destination picture (a point with square
  // coordinates s in the source key has them in the destination key too).
  const Homography h2 = quadToQuad(destinationKey, sourceKey);
  const std::optional<RegionBox> box = commonRegion(h1, h2);
  if (!box) return outcome;
  const PixelRegion region = pixelRegion(*box);
  // Keys whose outlines meet in a sliver leave nothing to correlate; the
  // upper bound cannot be reached at the working size but protects the
  // transforms.
  if (region.width < kMinRegionSide || region.height < kMinRegionSide ||
      region.width > kMaxFftLength || region.height > kMaxFftLength) {
    return outcome;
  }

  std::vector<std::uint8_t> scaledSource, scaledDestination;
  const RegistrationPicture sourceView = atWorkingSize(source, scaledSource);
  const RegistrationPicture destinationView = atWorkingSize(destination, scaledDestination);
  RegistrationState state(region.width, region.height);
  std::vector<std::uint32_t> resampled;
  resampleRegion(sourceView, h1, PointDistorter(kKamoLens0), region, resampled);
  greyLevels(resampled, state.greyA);
  resampleRegion(destinationView, h2, PointDistorter(kKamoLens1), region, resampled);
  greyLevels(resampled, state.greyB);
  edgeWeights(state.greyA, state.width, state.height, state.weightA);
  edgeWeights(state.greyB, state.width, state.height, state.weightB);

  outcome.status = RegistrationStatus::Registered;
  outcome.regionWidth = region.width;
  outcome.regionHeight = region.height;
  outcome.correlation = phaseCorrelate(state);

  // Back from the region's [-1, 1] span to key units, with the factors in the
  // single precision the keys are stored in.
  const double dx = outcome.correlation.transform.at(0, 2) * region.widthP *
                    static_cast<double>(0.0015625f) * 0.5;
  const double dy = outcome.correlation.transform.at(1, 2) * region.heightP *
                    static_cast<double>(0.0020833334f) * 0.5;
  // A source key off by e makes the destination's resampling show the scene
  // that the source's shows e further on, so the correlation finds the shift
  // -e and the key moves back by the shift. (The correlation's y entry is
  // negated, hence the opposite signs.) A zero move leaves the key's bytes as
  // they were (adding 0 would turn a -0 into +0 and change the key text).
  for (Vec2* p : {&outcome.sourceKey.p0, &outcome.sourceKey.p1, &outcome.sourceKey.p2,
                  &outcome.sourceKey.p3}) {
    if (dx != 0) p->x = static_cast<float>(p->x - dx);
    if (dy != 0) p->y = static_cast<float>(p->y + dy);
  }
  return outcome;
}

}  // namespace vistel
