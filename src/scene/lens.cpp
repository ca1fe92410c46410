#include "vistel/scene/lens.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>

#include "vistel/platform/large_pages_p.h"
#include "vistel/project/document.h"

namespace vistel {

const LensProfile kKamoLens0{
    .fx = 426.59422,
    .fy = 425.1985,
    .cx = 361.28459,
    .cy = 204.43706,
    .skew = 0.0,
    .k1 = -0.26407,
    .k2 = 0.06772,
    .p1 = 0.00058,
    .p2 = -0.0008,
    .k3 = 0.0,
    .refWidth = 640,
    .refHeight = 480,
    .scaleX = 1.21,
    .scaleY = 1.1,
    .centreX = 0.7,
    .centreY = 0.3,
};

const LensProfile kKamoLens1{
    .fx = 426.59422,
    .fy = 425.1985,
    .cx = 278.71541,
    .cy = 275.56294,
    .skew = 0.0,
    .k1 = -0.26407,
    .k2 = 0.06772,
    .p1 = 0.00058,
    .p2 = -0.0008,
    .k3 = 0.0,
    .refWidth = 640,
    .refHeight = 480,
    .scaleX = 1.21,
    .scaleY = 1.1,
    .centreX = 0.3,
    .centreY = 0.725,
};

namespace {

constexpr std::string_view kNoLens = "none";

std::uint64_t readLE(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void writeLE(std::uint64_t v, std::uint8_t* p, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool sizeAllowed(std::int32_t width, std::int32_t height) {
  return width > 0 && height > 0 && width <= kMaxMapDimension && height <= kMaxMapDimension &&
         std::int64_t{width} * height <= kMaxMapPixels;
}

// A zero-filled map, or null when memory runs out (maps can be large, and no
// exception may leave the scene).
std::unique_ptr<DisplacementMap> allocateMap(std::string_view name, std::int32_t width,
                                             std::int32_t height) {
  try {
    auto map = std::make_unique<DisplacementMap>();
    map->name = std::string(name);
    map->width = width;
    map->height = height;
    const std::size_t words = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    // Advised before the first write, so the pages are huge from the start.
    map->words.reserve(words);
    adviseHugePages(map->words.data(), words * sizeof(std::int32_t));
    map->words.assign(words, 0);
    return map;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// A displacement of `pixels` in 1/256 pixel, truncated toward zero, after
// clamping it to +-side: beyond the image's side the fetch lands outside the
// image either way. Not a number gives 0.
inline std::int32_t fineDisplacement(double pixels, double side) {
  double d = pixels == pixels ? pixels : 0.0;
  d = d < -side ? -side : d;
  d = d > side ? side : d;
  return static_cast<std::int32_t>(d * 256);
}

// value / 2^shift truncated toward zero, for 0 <= shift < 31.
inline std::int32_t truncatingShift(std::int32_t value, int shift) {
  const std::int32_t bias = (value >> 31) & ((std::int32_t{1} << shift) - 1);
  return (value + bias) >> shift;
}

// The largest number of fraction bits (at most 8) at which every displacement
// between `low` and `high` (in 1/256 pixel) fits 16 bits once truncated.
std::int32_t fractionBitsFor(std::int32_t low, std::int32_t high) {
  std::int32_t bits = kMaxDisplacementFractionBits;
  while (bits > 0) {
    const int shift = kMaxDisplacementFractionBits - bits;
    if (truncatingShift(high, shift) <= INT16_MAX && truncatingShift(low, shift) >= INT16_MIN)
      break;
    --bits;
  }
  return bits;
}

}  // namespace

std::optional<LensProfile> lensProfileFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kLensProfileBytes) return std::nullopt;
  const std::uint8_t* p = bytes.data();
  const auto f64 = [p](int offset) { return std::bit_cast<double>(readLE(p + offset, 8)); };
  const auto i32 = [p](int offset) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(readLE(p + offset, 4)));
  };
  LensProfile r;
  r.fx = f64(0);
  r.fy = f64(8);
  r.cx = f64(16);
  r.cy = f64(24);
  r.skew = f64(32);
  r.k1 = f64(40);
  r.k2 = f64(48);
  r.p1 = f64(56);
  r.p2 = f64(64);
  r.k3 = f64(72);
  r.refWidth = i32(80);
  r.refHeight = i32(84);
  r.scaleX = f64(88);
  r.scaleY = f64(96);
  r.centreX = f64(104);
  r.centreY = f64(112);
  return r;
}

std::array<std::uint8_t, kLensProfileBytes> lensProfileToBytes(const LensProfile& profile) {
  std::array<std::uint8_t, kLensProfileBytes> out{};
  std::uint8_t* p = out.data();
  const auto f64 = [p](int offset, double v) {
    writeLE(std::bit_cast<std::uint64_t>(v), p + offset, 8);
  };
  const auto i32 = [p](int offset, std::int32_t v) {
    writeLE(static_cast<std::uint32_t>(v), p + offset, 4);
  };
  f64(0, profile.fx);
  f64(8, profile.fy);
  f64(16, profile.cx);
  f64(24, profile.cy);
  f64(32, profile.skew);
  f64(40, profile.k1);
  f64(48, profile.k2);
  f64(56, profile.p1);
  f64(64, profile.p2);
  f64(72, profile.k3);
  i32(80, profile.refWidth);
  i32(84, profile.refHeight);
  f64(88, profile.scaleX);
  f64(96, profile.scaleY);
  f64(104, profile.centreX);
  f64(112, profile.centreY);
  return out;
}

const LensProfile* builtInLensProfile(std::string_view name) {
  if (name == "kamolens0") return &kKamoLens0;
  if (name == "kamolens1") return &kKamoLens1;
  return nullptr;
}

std::optional<LensProfile> resolveLensProfile(std::string_view name,
                                              const ProjectDocument* document) {
  if (name == kNoLens) return std::nullopt;
  if (const LensProfile* builtIn = builtInLensProfile(name)) return *builtIn;
  if (document == nullptr) return std::nullopt;
  const LensElement* lens = document->findLens(name);
  if (lens == nullptr) return std::nullopt;
  const auto valid =
      std::min(lens->data.size(), static_cast<std::size_t>(std::max(lens->dataLength, 0)));
  return lensProfileFromBytes(std::span(lens->data.data(), valid));
}

std::unique_ptr<DisplacementMap> buildProfileMap(const LensProfile& p, std::string_view name,
                                                 std::int32_t width, std::int32_t height) {
  if (!sizeAllowed(width, height)) return nullptr;
  auto map = allocateMap(name, width, height);
  if (!map) return nullptr;
  std::vector<double> columnTerm;
  try {
    columnTerm.resize(static_cast<std::size_t>(width));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

  // Every value below is formed by exactly the operations, in exactly the
  // order, of the per-pixel formula; only terms that depend on the row alone or
  // the column alone are taken out of the inner loop, so the words stay
  // bit-identical to evaluating the whole formula at every pixel.
  const double w = width, h = height;
  const double toRefX = p.refWidth / w, toRefY = p.refHeight / h;
  const double fixedX = w * p.centreX * (1 - p.scaleX), fixedY = h * p.centreY * (1 - p.scaleY);
  const double backX = w / p.refWidth, backY = h / p.refHeight;
  for (std::int32_t k = 0; k < width; ++k) {
    const double xr = toRefX * (fixedX + p.scaleX * k);
    columnTerm[static_cast<std::size_t>(k)] = (xr - p.cx) / p.fx;
  }

  // Writes the words of row j, columns [begin, end), in the unit 2^-bits;
  // widens [low, high] to hold their displacements in 1/256 pixel.
  std::int32_t low = 0, high = 0;
  const auto fillRow = [&](std::int32_t j, std::int32_t begin, std::int32_t end,
                           std::int32_t bits) {
    const int shift = kMaxDisplacementFractionBits - bits;
    const double* xTerm = columnTerm.data();
    std::int32_t* out = map->words.data() + std::size_t(j) * std::size_t(width);
    const double yr = toRefY * (fixedY + p.scaleY * j);
    const double yn = (yr - p.cy) / p.fy;
    const double skewYn = p.skew * yn;
    const double yn2 = yn * yn;
    const double yTangential = 2 * yn2;
    const double row = j;
    // Kept apart from the caller's, which the stores below could alias.
    std::int32_t rowLow = 0, rowHigh = 0;
    for (std::int32_t k = begin; k < end; ++k) {
      const double xn = xTerm[k] - skewYn;
      const double xn2 = xn * xn;
      const double r2 = xn2 + yn2;
      const double r4 = r2 * r2;
      const double radial = 1 + p.k1 * r2 + p.k2 * r4 + p.k3 * (r4 * r2);
      const double cross = 2 * xn * yn;
      const double xd = xn * radial + p.p2 * (r2 + 2 * xn2) + p.p1 * cross;
      const double yd = yn * radial + p.p1 * (r2 + yTangential) + p.p2 * cross;
      const double x = backX * (p.cx + p.fx * (xd + p.skew * yd));
      const double y = backY * (p.cy + p.fy * yd);
      const std::int32_t dx = fineDisplacement(x - k, w), dy = fineDisplacement(y - row, h);
      rowLow = std::min(rowLow, std::min(dx, dy));
      rowHigh = std::max(rowHigh, std::max(dx, dy));
      // Truncating 1/256 pixel toward zero to a coarser unit is the same as
      // truncating the exact value to it.
      out[k] = static_cast<std::int32_t>(
          (static_cast<std::uint32_t>(truncatingShift(dx, shift)) & 0xFFFFu) |
          (static_cast<std::uint32_t>(truncatingShift(dy, shift)) << 16));
    }
    low = std::min(low, rowLow);
    high = std::max(high, rowHigh);
  };
  const auto fillAll = [&](std::int32_t bits) {
    for (std::int32_t j = 0; j < height; ++j) fillRow(j, 0, width, bits);
  };

  // A lens displaces most at the picture's edges: the unit is chosen from
  // them, and the whole map is made again in a coarser one only when some
  // displacement inside does not fit after all.
  for (const std::int32_t j : {0, height - 1}) fillRow(j, 0, width, kMaxDisplacementFractionBits);
  for (std::int32_t j = 1; j < height - 1; ++j) {
    fillRow(j, 0, 1, kMaxDisplacementFractionBits);
    fillRow(j, width - 1, width, kMaxDisplacementFractionBits);
  }
  map->fractionBits = fractionBitsFor(low, high);
  fillAll(map->fractionBits);
  const std::int32_t bits = fractionBitsFor(low, high);
  if (bits != map->fractionBits) {
    map->fractionBits = bits;
    fillAll(bits);
  }
  return map;
}

std::unique_ptr<DisplacementMap> buildMap(std::string_view name, std::int32_t width,
                                          std::int32_t height, const ProjectDocument* document) {
  if (name == kNoLens)
    return sizeAllowed(width, height) ? allocateMap(name, width, height) : nullptr;
  const auto profile = resolveLensProfile(name, document);
  if (!profile) return nullptr;
  return buildProfileMap(*profile, name, width, height);
}

PointDistorter::PointDistorter(const LensProfile& p)
    : a1_(p.scaleY * (p.refHeight / 480.0) / p.fy),
      a2_((p.refHeight / 480.0) * 480 * p.centreY * (1 - p.scaleY) / p.fy - p.cy / p.fy),
      b1_((p.refWidth / 640.0) * p.scaleX / p.fx),
      b2_(-p.skew * a1_),
      b3_((p.refWidth / 640.0) * 640 * p.centreX * (1 - p.scaleX) / p.fx - p.cx / p.fx -
          p.skew * a2_),
      k1_(p.k1),
      k2_(p.k2),
      k3_(p.k3),
      p1_(p.p1),
      p2_(p.p2),
      backX_(640.0 / p.refWidth),
      fx_(p.fx),
      skewFx_(p.skew * p.fx),
      cx_(p.cx),
      backY_(480.0 / p.refHeight),
      fy_(p.fy),
      cy_(p.cy) {}

LensPoint PointDistorter::distort(double x, double y) const {
  const double yn = a1_ * y + a2_;
  const double xn = b1_ * x + b2_ * y + b3_;
  const double r2 = xn * xn + yn * yn;
  const double radial = 1 + k1_ * r2 + k2_ * (r2 * r2) + k3_ * (r2 * r2 * r2);
  const double cross = 2 * xn * yn;
  const double xd = xn * radial + p2_ * (r2 + 2 * xn * xn) + p1_ * cross;
  const double yd = yn * radial + p1_ * (r2 + 2 * yn * yn) + p2_ * cross;
  return {backX_ * (fx_ * xd + skewFx_ * yd + cx_), backY_ * (fy_ * yd + cy_)};
}

LensPoint distortPoint(const LensProfile& profile, double x, double y) {
  return PointDistorter(profile).distort(x, y);
}

LensMapCache::LensMapCache(const ProjectDocument* document) : document_(document) {}

void LensMapCache::setDocument(const ProjectDocument* document) {
  document_ = document;
  int kept = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (!slots_[i].map || slots_[i].fromDocument) continue;
    if (kept != i) slots_[kept] = std::move(slots_[i]);
    ++kept;
  }
  for (int i = kept; i < kSlots; ++i) slots_[i] = Slot{};
}

const DisplacementMap* LensMapCache::getMap(std::string_view name, std::int32_t width,
                                            std::int32_t height) {
  for (int i = 0; i < kSlots; ++i) {
    const DisplacementMap* m = slots_[i].map.get();
    if (m != nullptr && m->width == width && m->height == height && m->name == name) {
      std::rotate(slots_.begin(), slots_.begin() + i, slots_.begin() + i + 1);
      return m;
    }
  }
  auto built = buildMap(name, width, height, document_);
  if (!built) return nullptr;
  std::rotate(slots_.begin(), slots_.end() - 1, slots_.end());
  slots_[0] = Slot{std::move(built), name != kNoLens && builtInLensProfile(name) == nullptr};
  return slots_[0].map.get();
}

const DisplacementMap* LensMapCache::slot(int index) const {
  if (index < 0 || index >= kSlots) return nullptr;
  return slots_[static_cast<std::size_t>(index)].map.get();
}

}  // namespace vistel
