// The bundled demo (examples/demo) must be exact: its keys relate the two
// corrected camera pictures by the homography the renderer builds from them,
// its pictures agree with each other through the lens maps and that
// homography, and the demo tool still makes exactly the committed files.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <optional>
#include <string>
#include <utility>

#include "demo_scene.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/project/document.h"
#include "vistel/project/project_holder.h"
#include "vistel/scene/geometry.h"
#include "vistel/scene/lens.h"

namespace vistel {
namespace {

constexpr int W = demo::kPictureWidth;
constexpr int H = demo::kPictureHeight;

std::filesystem::path demoFolder() { return test::sourceDir() / "examples" / "demo"; }

// The link's two keys as the project loader reads them from the committed file.
struct LinkKeys {
  KeyQuad left;
  KeyQuad right;
};

std::optional<LinkKeys> committedKeys() {
  const std::string text = test::readFile(demoFolder() / "demo.xml");
  ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  const ProjectDocument* doc = holder.project();
  const LinkElement* link = doc != nullptr ? doc->findLink("walk") : nullptr;
  if (link == nullptr || link->keys.size() != 2) return std::nullopt;
  const std::string* from = link->findAttribute("from");
  const std::string* to = link->findAttribute("to");
  if (from == nullptr || *from != "left" || to == nullptr || *to != "right") return std::nullopt;
  const auto left = keyQuadFromBytes(link->keys[0]->data),
             right = keyQuadFromBytes(link->keys[1]->data);
  if (!left || !right) return std::nullopt;
  return LinkKeys{*left, *right};
}

struct Pixel {
  double x, y;
};

// The ground point a corrected pixel shows, written from the lens map's first
// two steps (magnification window, intrinsics) and a plain ray-plane cut.
std::optional<demo::PlanePoint> groundSeenAt(const demo::DemoCamera& c, Pixel k) {
  const LensProfile& p = *c.lens;
  const double xr = (double(p.refWidth) / W) * (W * p.centreX * (1 - p.scaleX) + p.scaleX * k.x);
  const double yr = (double(p.refHeight) / H) * (H * p.centreY * (1 - p.scaleY) + p.scaleY * k.y);
  const double yn = (yr - p.cy) / p.fy;
  const double xn = (xr - p.cx) / p.fx - p.skew * yn;
  const double rz = xn * c.right.z + yn * c.down.z + c.forward.z;
  if (rz >= 0) return std::nullopt;
  const double s = -c.centre.z / rz;
  return demo::PlanePoint{c.centre.x + s * (xn * c.right.x + yn * c.down.x + c.forward.x),
                          c.centre.y + s * (xn * c.right.y + yn * c.down.y + c.forward.y)};
}

// Where a ground point appears in a corrected picture: the pinhole projection,
// then the same two steps solved for the pixel.
Pixel projected(const demo::DemoCamera& c, demo::PlanePoint g) {
  const LensProfile& p = *c.lens;
  const double vx = g.x - c.centre.x, vy = g.y - c.centre.y, vz = -c.centre.z;
  const double depth = vx * c.forward.x + vy * c.forward.y + vz * c.forward.z;
  const double xn = (vx * c.right.x + vy * c.right.y + vz * c.right.z) / depth;
  const double yn = (vx * c.down.x + vy * c.down.y + vz * c.down.z) / depth;
  const double xr = p.cx + p.fx * (xn + p.skew * yn), yr = p.cy + p.fy * yn;
  return {(xr * W / p.refWidth - W * p.centreX * (1 - p.scaleX)) / p.scaleX,
          (yr * H / p.refHeight - H * p.centreY * (1 - p.scaleY)) / p.scaleY};
}

// Inside the picture with room for the right and lower neighbours of a
// bilinear read.
bool inside(Pixel k) { return k.x >= 0 && k.x < W - 1 && k.y >= 0 && k.y < H - 1; }

// Left corrected pixel -> right corrected pixel through the keys, the way the
// renderer relates the pictures: normalised coordinates, quadToQuad(right, left).
Pixel throughKeys(const Homography& h, Pixel k) {
  const Vec2 n = applyToPoint(h, {float(k.x / W - 0.5), float(k.y / H - 0.5)});
  return {(double(n.x) + 0.5) * W, (double(n.y) + 0.5) * H};
}

TEST(DemoProject, KeysRelateTheCorrectedViewsExactly) {
  const auto keys = committedKeys();
  ASSERT_TRUE(keys.has_value());
  const demo::DemoCamera& left = demo::demoCameras()[0];
  const demo::DemoCamera& right = demo::demoCameras()[1];
  const Homography h = quadToQuad(keys->right, keys->left);

  int compared = 0;
  double worst = 0;
  for (int j = 0; j < H; j += 12) {
    for (int i = 0; i < W; i += 16) {
      const auto ground = groundSeenAt(left, {double(i), double(j)});
      if (!ground) continue;
      const Pixel expected = projected(right, *ground);
      if (!inside(expected)) continue;
      const Pixel got = throughKeys(h, {double(i), double(j)});
      worst = std::fmax(worst, std::hypot(got.x - expected.x, got.y - expected.y));
      ++compared;
    }
  }
  std::printf("%d ground points seen by both cameras; worst key homography error %.5f px\n",
              compared, worst);
  EXPECT_GT(compared, 500);
  EXPECT_LT(worst, 0.05);
}

// A decoded camera picture seen through its lens map: corrected position (x,
// y) takes its colour from the camera picture at (x, y) plus the displacement,
// both interpolated bilinearly.
class CorrectedPicture {
 public:
  CorrectedPicture(const std::filesystem::path& jpeg, const LensProfile& lens, const char* name)
      : map_(buildProfileMap(lens, name, W, H)) {
    const std::string bytes = test::readFile(jpeg);
    ok_ = decodeJpeg(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), picture_) ==
              JpegResult::Ok &&
          picture_.width == W && picture_.height == H && map_ != nullptr;
  }
  bool ok() const { return ok_; }

  // Colour channel c (0 blue, 1 green, 2 red) at corrected position k; nothing
  // where the camera picture does not reach.
  std::optional<double> at(Pixel k, int c) const {
    if (!inside(k)) return std::nullopt;
    const int i = int(k.x), j = int(k.y);
    const double fx = k.x - i, fy = k.y - j;
    const auto word = [&](int di, int dj) {
      return map_->words[std::size_t((j + dj) * W + i + di)];
    };
    const auto lerp = [&](auto part) {
      const double top = part(word(0, 0)) * (1 - fx) + part(word(1, 0)) * fx;
      const double bottom = part(word(0, 1)) * (1 - fx) + part(word(1, 1)) * fx;
      return (top * (1 - fy) + bottom * fy) / 256;
    };
    const Pixel camera{k.x + lerp(displacementX), k.y + lerp(displacementY)};
    if (!inside(camera)) return std::nullopt;
    const int x = int(camera.x), y = int(camera.y);
    const double gx = camera.x - x, gy = camera.y - y;
    const auto px = [&](int dx, int dy) {
      return double(picture_.pixels[std::size_t(((y + dy) * W + x + dx) * 4 + c)]);
    };
    return (px(0, 0) * (1 - gx) + px(1, 0) * gx) * (1 - gy) +
           (px(0, 1) * (1 - gx) + px(1, 1) * gx) * gy;
  }

 private:
  std::unique_ptr<DisplacementMap> map_;
  DecodedPicture picture_;
  bool ok_ = false;
};

// Mean absolute differences per colour channel, over the whole overlap and
// per tile of 160 x 160 pixels of the left corrected picture.
struct Agreement {
  static constexpr int kTile = 160;
  static constexpr int kColumns = W / kTile, kRows = H / kTile;
  double sum[kRows][kColumns] = {};
  long count[kRows][kColumns] = {};

  long compared() const {
    long n = 0;
    for (const auto& row : count) n += std::accumulate(std::begin(row), std::end(row), 0L);
    return n;
  }
  double mean() const {
    double total = 0;
    for (const auto& row : sum) total += std::accumulate(std::begin(row), std::end(row), 0.0);
    return compared() > 0 ? total / compared() : 0;
  }
  double tileMean(int row, int column) const { return sum[row][column] / count[row][column]; }
};

// Every left corrected pixel against the right corrected picture at the
// position the homography from `leftKey` to `rightKey` gives.
Agreement agreement(const CorrectedPicture& left, const CorrectedPicture& right,
                    const KeyQuad& leftKey, const KeyQuad& rightKey) {
  const Homography h = quadToQuad(rightKey, leftKey);
  Agreement a;
  for (int j = 0; j < H; ++j) {
    for (int i = 0; i < W; ++i) {
      const Pixel k{double(i), double(j)};
      const Pixel r = throughKeys(h, k);
      double difference = 0;
      int channels = 0;
      for (; channels < 3; ++channels) {
        const auto l = left.at(k, channels), o = right.at(r, channels);
        if (!l || !o) break;
        difference += std::fabs(*l - *o);
      }
      if (channels < 3) continue;
      a.sum[j / Agreement::kTile][i / Agreement::kTile] += difference / 3;
      ++a.count[j / Agreement::kTile][i / Agreement::kTile];
    }
  }
  return a;
}

// `key` moved by (dx, dy) pixels.
KeyQuad shiftedKey(KeyQuad key, double dx, double dy) {
  for (Vec2* p : {&key.p0, &key.p1, &key.p2, &key.p3}) *p = *p + Vec2{float(dx / W), float(dy / H)};
  return key;
}

// The pictures differ only by JPEG noise and by how differently the two
// cameras' pixels cover the ground (which blurs sharp edges differently), so
// the committed keys must give a small difference, a key moved by 4 pixels a
// much larger one, and a key moved by half a pixel a larger one in every part
// of the overlap: a picture rendered through a lens model that disagrees with
// the maps misaligns somewhere and fails there.
TEST(DemoProject, PicturesAgreeThroughLensMapsAndKeys) {
  const auto keys = committedKeys();
  ASSERT_TRUE(keys.has_value());
  const CorrectedPicture left(demoFolder() / "left.jpg", kKamoLens0, "kamolens0");
  const CorrectedPicture right(demoFolder() / "right.jpg", kKamoLens1, "kamolens1");
  ASSERT_TRUE(left.ok() && right.ok());

  const Agreement exact = agreement(left, right, keys->left, keys->right);
  const Agreement wrong = agreement(left, right, keys->left, shiftedKey(keys->right, 4, 0));
  std::printf(
      "overlap %ld px: mean difference %.2f with the committed keys, %.2f with one moved by 4 px\n",
      exact.compared(), exact.mean(), wrong.mean());
  EXPECT_GT(exact.compared(), W * H / 4);
  EXPECT_LT(exact.mean(), 5.0);
  EXPECT_GT(wrong.mean(), 3 * exact.mean());

  double closest = 1e9;  // smallest rise of a tile's difference under a half-pixel move
  int tiles = 0;
  for (const auto& [dx, dy] : {std::pair{0.5, 0.0}, {-0.5, 0.0}, {0.0, 0.5}, {0.0, -0.5}}) {
    const Agreement near = agreement(left, right, keys->left, shiftedKey(keys->right, dx, dy));
    std::printf("moved by (%.1f, %.1f) px: %.2f\n", dx, dy, near.mean());
    tiles = 0;
    for (int row = 0; row < Agreement::kRows; ++row) {
      for (int column = 0; column < Agreement::kColumns; ++column) {
        if (exact.count[row][column] < 8000) continue;  // too little overlap to judge
        ++tiles;
        const double rise = near.tileMean(row, column) - exact.tileMean(row, column);
        closest = std::fmin(closest, rise);
        EXPECT_GT(rise, 0.2) << "tile " << row << ", " << column << " moved by " << dx << ", "
                             << dy;
      }
    }
  }
  std::printf("%d tiles; a half-pixel move raises each tile's difference by at least %.2f\n", tiles,
              closest);
  EXPECT_GE(tiles, 8);
}

TEST(DemoProject, ToolMakesTheCommittedFiles) {
  const auto dir = test::scratchDir("demo-files");
  std::string error;
  ASSERT_TRUE(demo::writeDemoFiles(dir, error)) << error;
  for (const char* name : {"demo.xml", "left.jpg", "right.jpg"}) {
    const std::string made = test::readFile(dir / name),
                      committed = test::readFile(demoFolder() / name);
    EXPECT_FALSE(made.empty()) << name;
    EXPECT_TRUE(made == committed)
        << name << " differs from the committed file: run make_demo examples/demo";
  }
  EXPECT_TRUE(demo::demoProjectText(demo::DemoKind::Live) ==
              test::readFile(test::sourceDir() / "examples" / "demo-live" / "demo.xml"))
      << "examples/demo-live/demo.xml differs: run make_demo --live examples/demo-live";
}

}  // namespace
}  // namespace vistel
