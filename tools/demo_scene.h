#pragma once

// The bundled demo project, made from a scene description instead of real
// cameras so that it is exact: two pinhole cameras above the painted street of
// street_texture.h, each photographing it through one of the built-in lens
// profiles, and the keys that relate their corrected pictures.
//
// How a camera picture is made. The viewer corrects a camera picture through
// the lens profile's displacement map: corrected pixel (k, j) shows camera
// pixel (k + dx, j + dy), where (dx, dy) comes from the magnification window
// and the distortion polynomial. The corrected picture is therefore a pinhole
// view (magnified about the profile's fixed point), and the camera picture is
// that view pushed through the distortion. To render the camera picture, every
// camera pixel is traced backwards: its position is turned into distorted
// normalised coordinates, the distortion polynomial is inverted by Newton's
// method, and the resulting pinhole ray is cast onto the ground plane, where
// the texture is sampled. Each pixel averages a 4 x 4 grid of such samples.
//
// Keys and shapes are the plane's features projected into the corrected
// pictures, in normalised coordinates (-0.5..0.5, y down) and fractions (0..1).
//
// Everything is computed in double precision from correctly rounded operations
// only (+ - * /, sqrt, floor; no library sines or powers), and the build turns
// floating-point contraction off, so the output is the same bytes on every run
// and with every conforming compiler (for the same libjpeg).
//
// Thread-safety: pure functions over constants; any thread may call them.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "street_texture.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"

namespace vistel::demo {

// Size of both camera pictures, the lenses' reference size.
inline constexpr int kPictureWidth = 640;
inline constexpr int kPictureHeight = 480;

// Samples per pixel along each axis.
inline constexpr int kSupersampling = 4;

// Quality of the committed JPEG pictures.
inline constexpr int kJpegQuality = 90;

struct Point3 {
  double x = 0;
  double y = 0;
  double z = 0;
};

// A camera above the ground plane (z up, metres). Camera axes: right, down and
// forward, unit vectors in plane coordinates (the rows of the rotation from
// world to camera); a ray through the undistorted normalised point (xn, yn)
// runs along xn * right + yn * down + forward.
struct DemoCamera {
  std::string_view viewId;    // the view's id in the project
  std::string_view lensName;  // the built-in profile the view names
  const LensProfile* lens;    // that profile (a constant)
  Point3 centre;
  Point3 right;
  Point3 down;
  Point3 forward;
};

// A camera at `centre` looking at `target`, with no roll (its right axis is
// level).
DemoCamera lookAt(std::string_view viewId, std::string_view lensName, Point3 centre, Point3 target);

// The two cameras of the demo: left (kamolens0) and right (kamolens1).
const std::array<DemoCamera, 2>& demoCameras();

// Where `p` appears in the camera's corrected picture, in pixels of the
// 640 x 480 picture (pixel k at position k); nothing when `p` is not in front of
// the camera.
std::optional<LensPoint> correctedPosition(const DemoCamera& camera, PlanePoint p);

// The reference square's corners in the camera's corrected picture, normalised.
KeyQuad demoKey(const DemoCamera& camera);

// What a camera picture cost: samples taken, and those whose ray missed the
// ground within range or whose lens inversion did not converge (both must be 0
// for an exact demo).
struct RenderStats {
  std::int64_t samples = 0;
  std::int64_t missed = 0;
  std::int64_t unconverged = 0;
};

// The camera picture as the camera would deliver it: 640 x 480 pixels, 4 bytes
// each in memory order blue, green, red, 0, rows top first.
std::vector<std::uint8_t> renderCameraPicture(const DemoCamera& camera,
                                              RenderStats* stats = nullptr);

// A ground point in single precision, for per-pixel tables.
struct GroundSample {
  float x = 0;  // metres east
  float y = 0;  // metres north
};

// The same camera at any picture size: the lens's reference picture scaled to
// width x height (as the viewer scales it back), `supersampling` x
// `supersampling` samples per pixel. With `groundOfPixel` it also fills, for
// every pixel (rows top first), the ground point its centre shows. At 640 x 480
// with kSupersampling this is the picture above, byte for byte.
std::vector<std::uint8_t> renderCameraPicture(const DemoCamera& camera, int width, int height,
                                              int supersampling, RenderStats* stats = nullptr,
                                              std::vector<GroundSample>* groundOfPixel = nullptr);

// The two bundled projects: the pictures as files (examples/demo), or the
// same cameras live from `vistel camera-sim` (examples/demo-live).
enum class DemoKind { Files, Live };

// Where the simulator serves the live demo's cameras by default (left, right)
// and at what rate; the live project names these addresses. Ports below the
// range Linux hands out for outgoing connections, and rarely used.
inline constexpr std::array<std::uint16_t, 2> kLiveDemoPorts{28471, 28472};
inline constexpr std::string_view kLiveDemoPath = "/video.mjpg";
inline constexpr int kLiveDemoFps = 15;

// "http://127.0.0.1:PORT/video.mjpg" of camera 0 (left) or 1 (right).
std::string liveCameraUrl(std::size_t camera);

// The whole text of demo.xml, of either project.
std::string demoProjectText(DemoKind kind = DemoKind::Files);

// Writes left.jpg, right.jpg and demo.xml into `folder` (which must exist).
// False, with a message in `error`, when a file cannot be written or a picture
// is not exact (RenderStats not clean).
[[nodiscard]] bool writeDemoFiles(const std::filesystem::path& folder, std::string& error);

// Writes only demo.xml of the given kind into `folder` (which must exist).
[[nodiscard]] bool writeDemoProject(const std::filesystem::path& folder, DemoKind kind,
                                    std::string& error);

}  // namespace vistel::demo
