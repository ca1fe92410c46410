#include "demo_scene.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "vistel/imaging/jpeg_codec.h"
#include "vistel/project/encoding.h"

namespace vistel::demo {

namespace {

Point3 operator+(Point3 a, Point3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Point3 operator-(Point3 a, Point3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Point3 operator*(Point3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(Point3 a, Point3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Point3 cross(Point3 a, Point3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
Point3 normalised(Point3 a) { return a * (1 / std::sqrt(dot(a, a))); }

// Rays that meet the ground further away than this count as missed: the
// texture there would be far below a pixel and the picture would show noise.
constexpr double kMaxRange = 120.0;

// ---------------------------------------------------------------------------
// The lens model, in the viewer's own terms (lens.h). The viewer goes from a
// corrected pixel to a camera pixel in four steps: magnify about the fixed
// point, subtract the principal point and divide by the focal length
// (undistorted normalised coordinates, the pinhole ray), apply the distortion
// polynomial, and go back to camera pixels. The demo needs the first two steps
// backwards (for keys and shapes) and all four backwards (to render).

// Undistorted normalised coordinates to a corrected-picture position: the
// inverse of the magnification window and the intrinsics.
LensPoint correctedFromRay(const LensProfile& p, double xn, double yn) {
  const double w = kPictureWidth, h = kPictureHeight;
  const double xr = (xn + p.skew * yn) * p.fx + p.cx;
  const double yr = yn * p.fy + p.cy;
  return {(xr * (w / p.refWidth) - w * p.centreX * (1 - p.scaleX)) / p.scaleX,
          (yr * (h / p.refHeight) - h * p.centreY * (1 - p.scaleY)) / p.scaleY};
}

// The distortion polynomial at (xn, yn), and its Jacobian.
struct Distortion {
  double xd, yd;
  double dxdx, dxdy, dydx, dydy;
};

Distortion distortion(const LensProfile& p, double xn, double yn) {
  const double r2 = xn * xn + yn * yn;
  const double radial = 1 + p.k1 * r2 + p.k2 * (r2 * r2) + p.k3 * (r2 * r2 * r2);
  const double radialSlope = p.k1 + 2 * p.k2 * r2 + 3 * p.k3 * (r2 * r2);  // d radial / d r2
  const double cross = 2 * xn * yn;
  Distortion d;
  d.xd = xn * radial + p.p2 * (r2 + 2 * xn * xn) + p.p1 * cross;
  d.yd = yn * radial + p.p1 * (r2 + 2 * yn * yn) + p.p2 * cross;
  d.dxdx = radial + 2 * xn * xn * radialSlope + 6 * p.p2 * xn + 2 * p.p1 * yn;
  d.dxdy = 2 * xn * yn * radialSlope + 2 * p.p2 * yn + 2 * p.p1 * xn;
  d.dydx = 2 * xn * yn * radialSlope + 2 * p.p1 * xn + 2 * p.p2 * yn;
  d.dydy = radial + 2 * yn * yn * radialSlope + 6 * p.p1 * yn + 2 * p.p2 * xn;
  return d;
}

// The undistorted point whose distortion is (xd, yd), by Newton's method from
// (xd, yd) itself. The built-in profiles' radial function r * radial(r^2) keeps
// a positive slope over the whole picture, so the inverse is unique and Newton
// converges in a few steps. False when it does not get within 1e-13 (about
// 4e-11 pixels).
bool undistort(const LensProfile& p, double xd, double yd, double& xn, double& yn) {
  xn = xd;
  yn = yd;
  for (int step = 0; step < 50; ++step) {
    const Distortion d = distortion(p, xn, yn);
    const double ex = d.xd - xd, ey = d.yd - yd;
    if (std::fabs(ex) + std::fabs(ey) < 1e-13) return true;
    const double det = d.dxdx * d.dydy - d.dxdy * d.dydx;
    xn -= (d.dydy * ex - d.dxdy * ey) / det;
    yn -= (d.dxdx * ey - d.dydx * ex) / det;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Project text helpers.

template <class... Args>
std::string format(const char* pattern, Args... args) {
  char text[160];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

Vec2 normalisedOf(LensPoint corrected) {
  return {static_cast<float>(corrected.x / kPictureWidth - 0.5),
          static_cast<float>(corrected.y / kPictureHeight - 0.5)};
}

// "x,y;x,y;..." with the points as fractions of the corrected picture.
std::string shapePoints(const DemoCamera& camera, const std::vector<PlanePoint>& outline) {
  std::string text;
  for (const PlanePoint& p : outline) {
    const LensPoint c = correctedPosition(camera, p).value_or(LensPoint{});
    if (!text.empty()) text += ';';
    text += format("%.4f,%.4f", c.x / kPictureWidth, c.y / kPictureHeight);
  }
  return text;
}

// An outline around the "30" roundel: twelve points on an ellipse a little
// larger than the paint (cos 30 = sqrt(3)/2 keeps the corners exact without a
// sine routine).
std::vector<PlanePoint> roundelOutline() {
  const double c = std::sqrt(3.0) / 2, s = 0.5;
  const double ux[12] = {1, c, s, 0, -s, -c, -1, -c, -s, 0, s, c};
  const double uy[12] = {0, s, c, 1, c, s, 0, -s, -c, -1, -c, -s};
  std::vector<PlanePoint> outline;
  outline.reserve(12);
  for (int i = 0; i < 12; ++i) {
    outline.push_back({kRoundelCentre.x + 1.15 * kRoundelHalfWidth * ux[i],
                       kRoundelCentre.y + 1.15 * kRoundelHalfLength * uy[i]});
  }
  return outline;
}

std::vector<PlanePoint> crossingOutline() {
  return {{-kCrossingHalfWidth, kCrossingFar},
          {kCrossingHalfWidth, kCrossingFar},
          {kCrossingHalfWidth, kCrossingNear},
          {-kCrossingHalfWidth, kCrossingNear}};
}

std::string keyComment(const KeyQuad& q) {
  return format("(%.5f, %.5f) (%.5f, %.5f) (%.5f, %.5f) (%.5f, %.5f)", q.p0.x, q.p0.y, q.p1.x,
                q.p1.y, q.p2.x, q.p2.y, q.p3.x, q.p3.y);
}

std::string cameraLine(const DemoCamera& camera, Point3 target) {
  return format("%-5s at (%.1f, %.1f, %.1f) looking at (%.1f, %.1f, %.1f) through %s",
                std::string(camera.viewId).c_str(), camera.centre.x, camera.centre.y,
                camera.centre.z, target.x, target.y, target.z,
                std::string(camera.lensName).c_str());
}

// The points each camera looks at (kept here for the project's comment).
constexpr Point3 kLeftCentre{-4.5, -3.0, 7.5};
constexpr Point3 kLeftTarget{1.0, 4.5, 0.0};
constexpr Point3 kRightCentre{4.5, -2.0, 8.5};
constexpr Point3 kRightTarget{-0.5, 3.5, 0.0};

// demo.xml, with the {name} fields filled in by demoProjectText.
constexpr const char* kProjectTemplate = R"(<?xml version="1.0" encoding="UTF-8"?>
{header}

     Two cameras photograph one painted street, a single plane (metres: x east across
     the street, y north along it, z up):
       {leftCamera}
       {rightCamera}
{pictures}
     The keys give the corners of the yellow hatched box (A far left, B far right,
     C near right, D near left) in each corrected picture. Since everything lies on
     the box's plane, one homography relates the two corrected pictures exactly:
     travelling the link morphs one view into the other without ghosting. The shapes
     outline the "30" roundel (left view) and the zebra crossing (right view).

{sources}
     Check how Vistel reads the project with: vistel inspect demo.xml -->
<quilo startview="left" title="Street demo">
  <script id="oninit">
    <set visits="0"/>
  </script>

  <view id="left" src="{leftSrc}" fps="{fps}" lens="kamolens0" label="Left camera">
    <edge link="walk" dir="forward"/>
    <preload>right</preload>
    <!-- points as fractions of the corrected picture, 0 to 1 from the top left -->
    <shape id="roundel" linecolor="#ff2080ff" projected="true">
      <points>{roundel}</points>
      <script id="oninit">
        <set cond="[visits]&lt;3" visits="[visits]+1"/>
      </script>
    </shape>
  </view>

  <view id="right" src="{rightSrc}" fps="{fps}" lens="kamolens1" label="Right camera">
    <edge link="walk" dir="backward"/>
    <preload>left</preload>
    <shape id="crossing" linecolor="#ff20e0a0" projected="true">
      <points>{crossing}</points>
    </shape>
  </view>

  <link id="walk" from="left" to="right">
    <!-- box corners A B C D, normalised (-0.5 to 0.5, y down), in the left picture:
         {leftCorners}
         and in the right picture:
         {rightCorners} -->
    <key time="0" blend="0" srcbuttons="true" dstbuttons="true">{leftKey}</key>
    <key time="1" blend="1" srcbuttons="true" dstbuttons="true">{rightKey}</key>
  </link>
</quilo>
)";

// Replaces the one occurrence of `field` in `text`.
void fill(std::string& text, std::string_view field, const std::string& value) {
  text.replace(text.find(field), field.size(), value);
}

}  // namespace

DemoCamera lookAt(std::string_view viewId, std::string_view lensName, Point3 centre,
                  Point3 target) {
  DemoCamera camera{viewId, lensName, builtInLensProfile(lensName), centre, {}, {}, {}};
  camera.forward = normalised(target - centre);
  // Level right axis: perpendicular to the forward axis and to z.
  camera.right = normalised(Point3{camera.forward.y, -camera.forward.x, 0});
  camera.down = cross(camera.forward, camera.right);
  return camera;
}

const std::array<DemoCamera, 2>& demoCameras() {
  static const std::array<DemoCamera, 2> cameras{
      lookAt("left", "kamolens0", kLeftCentre, kLeftTarget),
      lookAt("right", "kamolens1", kRightCentre, kRightTarget),
  };
  return cameras;
}

std::optional<LensPoint> correctedPosition(const DemoCamera& camera, PlanePoint p) {
  const Point3 v = Point3{p.x, p.y, 0} - camera.centre;
  const double depth = dot(v, camera.forward);
  if (!(depth > 0)) return std::nullopt;
  return correctedFromRay(*camera.lens, dot(v, camera.right) / depth, dot(v, camera.down) / depth);
}

KeyQuad demoKey(const DemoCamera& camera) {
  std::array<Vec2, 4> corners;
  for (std::size_t i = 0; i < 4; ++i) {
    corners[i] = normalisedOf(correctedPosition(camera, kReferenceSquare[i]).value_or(LensPoint{}));
  }
  return {corners[0], corners[1], corners[2], corners[3]};
}

std::vector<std::uint8_t> renderCameraPicture(const DemoCamera& camera, RenderStats* stats) {
  return renderCameraPicture(camera, kPictureWidth, kPictureHeight, kSupersampling, stats);
}

std::vector<std::uint8_t> renderCameraPicture(const DemoCamera& camera, int width, int height,
                                              int supersampling, RenderStats* stats,
                                              std::vector<GroundSample>* groundOfPixel) {
  const LensProfile& p = *camera.lens;
  const double toRefX = static_cast<double>(p.refWidth) / width;
  const double toRefY = static_cast<double>(p.refHeight) / height;
  const int n = supersampling;
  RenderStats counted;
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * height * 4);
  if (groundOfPixel != nullptr) groundOfPixel->assign(static_cast<std::size_t>(width) * height, {});
  GroundSample* ground = groundOfPixel != nullptr ? groundOfPixel->data() : nullptr;
  // Where the ray through camera position (x, y) meets the ground; counts
  // the misses and failed inversions.
  const auto groundAt = [&](double x, double y) {
    const double yd = (y * toRefY - p.cy) / p.fy;
    const double xd = (x * toRefX - p.cx) / p.fx - p.skew * yd;
    double xn = 0, yn = 0;
    if (!undistort(p, xd, yd, xn, yn)) ++counted.unconverged;
    const Point3 ray = camera.right * xn + camera.down * yn + camera.forward;
    const double along = ray.z < 0 ? -camera.centre.z / ray.z : 0;
    if (along <= 0 || along * std::sqrt(dot(ray, ray)) > kMaxRange) ++counted.missed;
    const Point3 hit = camera.centre + ray * along;
    return PlanePoint{hit.x, hit.y};
  };
  std::uint8_t* out = picture.data();
  for (int j = 0; j < height; ++j) {
    for (int i = 0; i < width; ++i, out += 4) {
      Rgb sum;
      // Pixel i covers camera positions i - 0.5 .. i + 0.5 (the viewer samples
      // pixel i at position i); the samples sit at the centres of an n x n grid.
      for (int sy = 0; sy < n; ++sy) {
        const double y = j - 0.5 + (sy + 0.5) / n;
        for (int sx = 0; sx < n; ++sx) {
          const double x = i - 0.5 + (sx + 0.5) / n;
          const Rgb c = streetColour(groundAt(x, y));
          sum.r += c.r;
          sum.g += c.g;
          sum.b += c.b;
          ++counted.samples;
        }
      }
      const auto byte = [n](double total) {
        return static_cast<std::uint8_t>(std::clamp(std::floor(total / (n * n) + 0.5), 0.0, 255.0));
      };
      out[0] = byte(sum.b);
      out[1] = byte(sum.g);
      out[2] = byte(sum.r);
      out[3] = 0;
      if (ground != nullptr) {
        const RenderStats kept = counted;  // the centre is no sample of the picture
        const PlanePoint centre = groundAt(i, j);
        counted = kept;
        *ground++ = {static_cast<float>(centre.x), static_cast<float>(centre.y)};
      }
    }
  }
  if (stats != nullptr) *stats = counted;
  return picture;
}

std::string demoProjectText(DemoKind kind) {
  const DemoCamera& left = demoCameras()[0];
  const DemoCamera& right = demoCameras()[1];
  const KeyQuad leftKey = demoKey(left), rightKey = demoKey(right);
  std::string text = kProjectTemplate;
  if (kind == DemoKind::Files) {
    fill(text, "{header}",
         "<!-- Street demo, generated with the demo tool (in the source folder: "
         "build/tools/make_demo\n"
         "     examples/demo). Change the scene in tools/demo_scene.cpp and "
         "tools/street_texture.cpp\n"
         "     and regenerate rather than editing this file or the pictures.");
    fill(text, "{pictures}",
         "     left.jpg and right.jpg are what these cameras deliver, lens distortion included.");
    fill(text, "{sources}",
         "     Picture names are file:// addresses relative to this file's folder.");
    fill(text, "{leftSrc}", "file://left.jpg");
    fill(text, "{rightSrc}", "file://right.jpg");
  } else {
    fill(text, "{header}",
         "<!-- Live street demo, generated with the demo tool (tools/make_demo.cpp, its live\n"
         "     option). Change the scene in tools/demo_scene.cpp and tools/street_texture.cpp\n"
         "     and regenerate rather than editing this file.");
    fill(text, "{pictures}",
         "     `vistel camera-sim` serves what these cameras deliver, live and lens distortion\n"
         "     included, with two cars driving along the street.");
    fill(text, "{sources}",
         "     The cameras are http:// addresses on this machine: start `vistel camera-sim`\n"
         "     (without arguments) first.");
    fill(text, "{leftSrc}", liveCameraUrl(0));
    fill(text, "{rightSrc}", liveCameraUrl(1));
  }
  const std::string fps = kind == DemoKind::Files ? "10" : std::to_string(kLiveDemoFps);
  fill(text, "{fps}", fps);
  fill(text, "{fps}", fps);
  fill(text, "{leftCamera}", cameraLine(left, kLeftTarget));
  fill(text, "{rightCamera}", cameraLine(right, kRightTarget));
  fill(text, "{roundel}", shapePoints(left, roundelOutline()));
  fill(text, "{crossing}", shapePoints(right, crossingOutline()));
  fill(text, "{leftCorners}", keyComment(leftKey));
  fill(text, "{rightCorners}", keyComment(rightKey));
  fill(text, "{leftKey}", encodeKeyText(keyQuadToBytes(leftKey)));
  fill(text, "{rightKey}", encodeKeyText(keyQuadToBytes(rightKey)));
  return text;
}

bool writeDemoFiles(const std::filesystem::path& folder, std::string& error) {
  for (const DemoCamera& camera : demoCameras()) {
    RenderStats stats;
    const std::vector<std::uint8_t> picture = renderCameraPicture(camera, &stats);
    if (stats.missed != 0 || stats.unconverged != 0) {
      error = std::string(camera.viewId) + ": " + std::to_string(stats.missed) +
              " samples miss the ground, " + std::to_string(stats.unconverged) +
              " lens inversions fail";
      return false;
    }
    const std::filesystem::path path = folder / (std::string(camera.viewId) + ".jpg");
    if (!encodeJpegFile(path.c_str(), picture.data(), kPictureWidth, kPictureHeight,
                        kJpegQuality)) {
      error = "cannot write " + path.string();
      return false;
    }
  }
  return writeDemoProject(folder, DemoKind::Files, error);
}

bool writeDemoProject(const std::filesystem::path& folder, DemoKind kind, std::string& error) {
  const std::filesystem::path path = folder / "demo.xml";
  const std::string text = demoProjectText(kind);
  std::ofstream file(path, std::ios::binary);
  file.write(text.data(), static_cast<std::streamsize>(text.size()));
  file.close();
  if (!file) {
    error = "cannot write " + path.string();
    return false;
  }
  return true;
}

std::string liveCameraUrl(std::size_t camera) {
  return "http://127.0.0.1:" + std::to_string(kLiveDemoPorts[camera]) + std::string(kLiveDemoPath);
}

}  // namespace vistel::demo
