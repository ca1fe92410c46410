#pragma once

// The pictures of one live demo camera: the street rendered once per picture
// size (the backdrop), and per frame the traffic drawn over it, the frame
// number's cell code, and the JPEG with a comment that names the frame.
//
// Thread-safety: streetBackdrop() may be called from any thread (it keeps a
// process-wide cache under a lock); a backdrop is immutable once returned. A
// LiveCamera belongs to one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "demo_scene.h"
#include "street_traffic.h"

namespace vistel::sim {

// Largest picture the simulator makes (and the smallest, which still holds the
// frame code).
inline constexpr int kMaxPictureWidth = 1920;
inline constexpr int kMaxPictureHeight = 1080;
inline constexpr int kMinPictureWidth = 320;
inline constexpr int kMinPictureHeight = 240;

// One camera's view of the empty street at one size, with what the traffic
// needs to be drawn over it quickly.
struct StreetBackdrop {
  static constexpr int kTile = 16;

  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;         // width * height * 4, blue green red 0
  std::vector<demo::GroundSample> ground;   // the ground point of each pixel's centre
  std::vector<demo::GroundBox> tileGround;  // per kTile x kTile tile, rows first: the
                                            // ground its pixels cover
  int tileColumns = 0;
  int tileRows = 0;
  // Samples per pixel along each axis, for the street and the traffic alike.
  int supersampling = 0;
};

// Camera 0 (left) or 1 (right) of the demo at width x height, rendered on the
// first call for that camera and size (about a second at 640 x 480 on one core)
// and shared afterwards. Null for another camera or a size outside the limits
// above.
std::shared_ptr<const StreetBackdrop> streetBackdrop(std::size_t camera, int width, int height);

// A JPEG held in memory.
using JpegBytes = std::vector<std::uint8_t>;

// Encodes width x height pixels (layout above) as a baseline JPEG with 4:2:0
// chroma at `quality`, with `comment` as a COM segment when not empty. False
// when libjpeg fails (nothing sensible in `out` then).
[[nodiscard]] bool encodeJpegInMemory(const std::uint8_t* pixels, int width, int height,
                                      int quality, std::string_view comment, JpegBytes& out);

// The text of the JPEG comment of a simulator picture, exact:
// "vistel-sim camera=NAME frame=N sent_ms=T".
std::string frameComment(std::string_view camera, std::uint32_t frameNumber, std::uint32_t sentMs);

// What a simulator picture's comment says; nothing when `jpeg` has no such
// comment before its first scan.
struct FrameStamp {
  std::string camera;
  std::uint32_t frameNumber = 0;
  std::uint32_t sentMs = 0;
};
std::optional<FrameStamp> readFrameStamp(const std::uint8_t* jpeg, std::size_t length);

// Draws one camera's frames.
class LiveCamera {
 public:
  // `backdrop` must not be null.
  explicit LiveCamera(std::shared_ptr<const StreetBackdrop> backdrop);

  // The picture at `seconds` of traffic time, with `frameNumber` in its cell
  // code, into `out` (resized to width * height * 4).
  void draw(double seconds, std::uint32_t frameNumber, std::vector<std::uint8_t>& out) const;

  int width() const { return backdrop_->width; }
  int height() const { return backdrop_->height; }

 private:
  std::shared_ptr<const StreetBackdrop> backdrop_;
};

}  // namespace vistel::sim
