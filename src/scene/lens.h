#pragma once

// Lens models and the per-pixel displacement maps that remove barrel
// distortion. A LensProfile is a pinhole camera with radial and tangential
// distortion plus a magnification window; a DisplacementMap says, for every
// pixel of the corrected image, where in the camera image its colour is
// fetched. Maps are built on demand for one (lens name, image size) and kept
// in a four-slot most-recently-used cache.
//
// Thread-safety: LensProfile, DisplacementMap and PointDistorter are values;
// the free functions may be called from any thread. LensMapCache is not
// thread-safe: the engine thread owns it (it lives in the scene).

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vistel {

class ProjectDocument;

// The 120-byte little-endian record that is also the content of a <lens>
// element: ten float64 (fx .. k3), two int32 (refWidth, refHeight), four
// float64 (scaleX .. centreY), in field order, no padding.
struct LensProfile {
  double fx = 0;  // focal length in x, reference pixels
  double fy = 0;  // focal length in y, reference pixels
  double cx = 0;  // principal point, reference pixels
  double cy = 0;
  double skew = 0;  // x shear proportional to y
  double k1 = 0;    // radial coefficients of r^2, r^4
  double k2 = 0;
  double p1 = 0;  // tangential coefficients
  double p2 = 0;
  double k3 = 0;              // radial coefficient of r^6
  std::int32_t refWidth = 0;  // size of the image the intrinsics refer to
  std::int32_t refHeight = 0;
  double scaleX = 1;  // magnification of the corrected image
  double scaleY = 1;
  double centreX = 0;  // fixed point of the magnification, fraction of refWidth
  double centreY = 0;  // ... and of refHeight
};

inline constexpr std::size_t kLensProfileBytes = 120;

// Reads the first 120 bytes as a profile; nothing when fewer are given. The
// values are taken as they are: a hostile profile yields a useless map, never
// undefined behaviour (see buildProfileMap).
[[nodiscard]] std::optional<LensProfile> lensProfileFromBytes(std::span<const std::uint8_t> bytes);
std::array<std::uint8_t, kLensProfileBytes> lensProfileToBytes(const LensProfile& profile);

// The two built-in profiles of the viewer's cameras. Their principal points are
// point reflections of each other through the reference image centre.
extern const LensProfile kKamoLens0;  // lens name "kamolens0"
extern const LensProfile kKamoLens1;  // lens name "kamolens1"

// The built-in profile named `name`, or null. Points to a constant.
const LensProfile* builtInLensProfile(std::string_view name);

// The profile a lens name stands for: a built-in name, or else the id of a
// <lens> element of `document` (may be null) carrying at least 120 bytes.
// Nothing for "none" (which has no profile), unknown names and short records.
[[nodiscard]] std::optional<LensProfile> resolveLensProfile(std::string_view name,
                                                            const ProjectDocument* document);

// Displacements for every pixel of a corrected image of width x height, row
// major. The word of pixel (k, j) holds dx in its low 16 bits and dy in its high
// 16 bits, both signed, in units of 1/2^fractionBits pixel: the corrected pixel
// takes its colour from camera pixel (k + dx/2^fractionBits, j +
// dy/2^fractionBits). Each map picks its own unit so that its largest
// displacement fits 16 bits: 1/256 pixel for the built-in lenses up to 1920 x
// 1080, coarser where displacements pass 128 pixels (1/128 pixel at 3840 x
// 2160).
struct DisplacementMap {
  std::string name;  // the lens name the map was built for
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t fractionBits = 8;    // 0 .. kMaxDisplacementFractionBits
  std::vector<std::int32_t> words;  // width * height
};

inline constexpr std::int32_t kMaxDisplacementFractionBits = 8;

constexpr std::int32_t displacementX(std::int32_t word) {
  return static_cast<std::int16_t>(word & 0xFFFF);
}
constexpr std::int32_t displacementY(std::int32_t word) { return word >> 16; }
// One unit of the map's displacements, in pixels.
constexpr double displacementUnit(const DisplacementMap& map) {
  return 1.0 / double(1 << map.fractionBits);
}

// Limits on map sizes: image sizes come from camera pictures, which hostile
// sources control.
inline constexpr std::int32_t kMaxMapDimension = 16384;
inline constexpr std::int64_t kMaxMapPixels = std::int64_t{1} << 26;

// The map of `profile` for a width x height image, labelled `name`. Each
// displacement comes from the profile's distortion polynomial evaluated in
// double precision; one that is not a number contributes 0, and one beyond the
// image's own side (width for dx, height for dy) is clamped to that side, which
// still fetches from outside the image, as the exact value would. fractionBits
// is the largest (at most 8) for which every displacement, truncated toward
// zero to 1/2^fractionBits pixel, fits 16 bits; with the clamp that always
// holds at 0 bits, so no displacement ever wraps. Null for sizes outside
// 1..kMaxMapDimension or above kMaxMapPixels, or when memory runs out. The
// caller owns the result.
[[nodiscard]] std::unique_ptr<DisplacementMap> buildProfileMap(const LensProfile& profile,
                                                               std::string_view name,
                                                               std::int32_t width,
                                                               std::int32_t height);

// The map a lens name stands for: all zero for "none", the profile's map for a
// built-in name or a <lens> of `document` (may be null; see
// resolveLensProfile). Null when the name resolves to nothing or the size is
// refused as in buildProfileMap. The caller owns the result.
[[nodiscard]] std::unique_ptr<DisplacementMap> buildMap(std::string_view name, std::int32_t width,
                                                        std::int32_t height,
                                                        const ProjectDocument* document);

struct LensPoint {
  double x = 0;
  double y = 0;
};

// A profile prepared for single points of the 640 x 480 working size of image
// registration: the constant factors of the map computation folded once.
class PointDistorter {
 public:
  explicit PointDistorter(const LensProfile& profile);
  // Camera pixel position, in the 640 x 480 image, whose colour the corrected
  // pixel position (x, y) shows.
  LensPoint distort(double x, double y) const;

 private:
  double a1_, a2_;       // yn = a1*y + a2
  double b1_, b2_, b3_;  // xn = b1*x + b2*y + b3
  double k1_, k2_, k3_, p1_, p2_;
  double backX_, fx_, skewFx_, cx_;  // X = backX * (fx*xd + skewFx*yd + cx)
  double backY_, fy_, cy_;           // Y = backY * (fy*yd + cy)
};

// PointDistorter(profile).distort(x, y).
LensPoint distortPoint(const LensProfile& profile, double x, double y);

// Four slots of maps, most recently used first, all empty at start. The cache
// owns its maps. Resolves names against the document given at construction or
// by setDocument (may be null, then only "none" and the built-in names
// resolve); the document must outlive its use here.
// Not thread-safe: engine thread only.
class LensMapCache {
 public:
  static constexpr int kSlots = 4;

  explicit LensMapCache(const ProjectDocument* document = nullptr);
  LensMapCache(const LensMapCache&) = delete;
  LensMapCache& operator=(const LensMapCache&) = delete;

  // Switches to another document (may be null) and drops every map built from
  // a <lens> element of the old one, keeping the order of the rest: the same id
  // may describe another lens there. Invalidates pointers to the dropped maps.
  void setDocument(const ProjectDocument* document);

  // The map for (name, width x height): a hit moves it to slot 0; a miss builds
  // it (buildMap), destroys the map in the last slot and puts the new one in
  // slot 0. Null when the map cannot be built; the cache is then unchanged.
  // The pointer stays valid until that map is pushed out of the last slot (it
  // survives at least the next three misses), dropped by setDocument, or the
  // cache is destroyed; a caller may hold it for the frame it renders.
  [[nodiscard]] const DisplacementMap* getMap(std::string_view name, std::int32_t width,
                                              std::int32_t height);

  // The map in slot `index` (0 = most recent), or null for an empty slot or an
  // index outside 0..kSlots-1.
  const DisplacementMap* slot(int index) const;

 private:
  struct Slot {
    std::unique_ptr<DisplacementMap> map;
    bool fromDocument = false;  // built from a <lens> element of document_
  };

  const ProjectDocument* document_;  // not owned; may be null
  std::array<Slot, kSlots> slots_;
};

}  // namespace vistel
