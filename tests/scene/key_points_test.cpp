// test-labels: threads
// Keys from points picked in corrected pictures: the frame-to-view relation
// the renderer draws by, the quad checks, and, through the real engine, that
// a link made of two keys picked in two lens-corrected pictures shows each
// picked corner where it was picked at both ends of the link and the two
// pictures' corners on top of each other on the way.
#include "vistel/scene/key_points.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>

#include "support/engine_harness.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/link_traversal.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;

TEST(KeyPoints, FramePositionsAndViewPointsAreInverse) {
  // 650 x 490: the block area starts at column 5, row 5.
  const Vec2 corner = viewPointOfFramePosition(5, 5, 650, 490);
  EXPECT_FLOAT_EQ(corner.x, -0.5f);
  EXPECT_FLOAT_EQ(corner.y, -0.5f);
  const Vec2 centre = viewPointOfFramePosition(320, 240, 640, 480);
  EXPECT_FLOAT_EQ(centre.x, 0.0f);
  EXPECT_FLOAT_EQ(centre.y, 0.0f);
  const ViewPose pose{2.0f, 0.1f, -0.2f};
  const Vec2 v = viewPointOfFramePosition(100, 300, 640, 480, pose);
  EXPECT_NEAR(v.x, 0.1 - 0.25 + 100.0 / 1280, 1e-6);
  const FramePoint back = framePositionOfViewPoint(v, 640, 480, pose);
  EXPECT_NEAR(back.x, 100, 1e-3);
  EXPECT_NEAR(back.y, 300, 1e-3);
}

TEST(KeyPoints, OnlyConvexFiniteQuadsMakeKeys) {
  const KeyQuad square{{-0.2f, -0.2f}, {0.2f, -0.2f}, {0.2f, 0.2f}, {-0.2f, 0.2f}};
  EXPECT_EQ(checkKeyQuad(square), KeyQuadCheck::Ok);
  EXPECT_EQ(checkKeyQuad({square.p3, square.p2, square.p1, square.p0}), KeyQuadCheck::Ok);
  EXPECT_EQ(checkKeyQuad({square.p0, square.p2, square.p1, square.p3}), KeyQuadCheck::NotConvex);
  EXPECT_EQ(checkKeyQuad({square.p0, square.p1, {0.0f, -0.19f}, square.p3}),
            KeyQuadCheck::NotConvex);
  EXPECT_EQ(checkKeyQuad({square.p0, square.p0, square.p2, square.p3}), KeyQuadCheck::Degenerate);
  EXPECT_EQ(checkKeyQuad({square.p0, {0.0f, -0.2f}, square.p1, square.p2}),
            KeyQuadCheck::Degenerate);
  EXPECT_EQ(checkKeyQuad({square.p0, square.p1, {NAN, 0.2f}, square.p3}), KeyQuadCheck::NotFinite);
  EXPECT_EQ(checkKeyQuad({square.p0, square.p1, {9.0f, 0.2f}, square.p3}),
            KeyQuadCheck::OutOfRange);
  EXPECT_FALSE(keyTextOf({square.p0, square.p2, square.p1, square.p3}));
  const std::optional<std::string> text = keyTextOf(square);
  ASSERT_TRUE(text);
  EXPECT_EQ(keyQuadOfText(*text), square);
}

// ---- Through the engine ---------------------------------------------------------

constexpr int kWidth = 640;
constexpr int kHeight = 480;

// The four corner marks, one colour each (corner order of a key).
constexpr std::uint8_t kMarks[4][3] = {{255, 0, 0}, {0, 200, 0}, {0, 0, 255}, {255, 0, 255}};

int markOf(std::uint32_t pixel) {
  const int r = int(pixel >> 16 & 0xFF), g = int(pixel >> 8 & 0xFF), b = int(pixel & 0xFF);
  for (int m = 0; m < 4; ++m) {
    const bool match = std::abs(r - kMarks[m][0]) < 70 && std::abs(g - kMarks[m][1]) < 70 &&
                       std::abs(b - kMarks[m][2]) < 70;
    if (match) return m;
  }
  return -1;
}

// A 640 x 480 camera picture through `lens`, grey with a disc of radius 6
// for each mark, placed so that the corrected picture shows it centred on
// `corrected[m]`: corrected pixel p shows camera pixel p + displacement(p).
std::string cameraPicture(const char* lens, const std::array<FramePoint, 4>& corrected) {
  const std::unique_ptr<DisplacementMap> map = buildMap(lens, kWidth, kHeight, nullptr);
  std::vector<std::uint8_t> rgb(std::size_t(kWidth) * kHeight * 3, 128);
  for (int m = 0; m < 4; ++m) {
    const int k = int(std::lround(corrected[m].x)), j = int(std::lround(corrected[m].y));
    const std::int32_t word = map->words[std::size_t(j) * kWidth + std::size_t(k)];
    const double cx = corrected[m].x + displacementX(word) / 256.0;
    const double cy = corrected[m].y + displacementY(word) / 256.0;
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > 36) continue;
        std::copy_n(kMarks[m], 3, &rgb[(std::size_t(y) * kWidth + std::size_t(x)) * 3]);
      }
  }
  return test::encodeTestJpeg(rgb, kWidth, kHeight, 95);
}

struct Mark {
  FramePoint centre;
  double reach = 0;  // farthest pixel of the mark from its centre
  int pixels = 0;
};

struct Frame {
  std::vector<std::uint32_t> pixels;
  int width = kWidth;
  int height = kHeight;
};

std::array<Mark, 4> marksIn(const Frame& frame) {
  std::array<Mark, 4> marks;
  const auto at = [&](int x, int y) {
    return markOf(frame.pixels[std::size_t(y) * std::size_t(frame.width) + std::size_t(x)]);
  };
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x) {
      const int m = at(x, y);
      if (m < 0) continue;
      marks[m].centre.x += x;
      marks[m].centre.y += y;
      ++marks[m].pixels;
    }
  for (Mark& mark : marks) {
    if (mark.pixels == 0) continue;
    mark.centre.x /= mark.pixels;
    mark.centre.y /= mark.pixels;
  }
  for (int y = 0; y < frame.height; ++y)
    for (int x = 0; x < frame.width; ++x) {
      const int m = at(x, y);
      if (m < 0) continue;
      marks[m].reach =
          std::max(marks[m].reach, std::hypot(x - marks[m].centre.x, y - marks[m].centre.y));
    }
  return marks;
}

// The frame the real engine shows for `xml` once every current view has its
// picture, after travelling to `progress` (when given).
Frame render(const std::string& xml, std::optional<float> progress = {}, int width = kWidth,
             int height = kHeight) {
  test::EngineHarness h;
  EXPECT_TRUE(h.showAndLoad(xml, width, height));
  const auto end = std::chrono::steady_clock::now() + 20s;
  for (;;) {
    const auto pictures = h.engine->currentPictures();
    const bool all = !pictures.empty() &&
                     std::all_of(pictures.begin(), pictures.end(),
                                 [](auto& p) { return p.state == ViewPicture::State::Delivered; });
    if (all || std::chrono::steady_clock::now() > end) break;
    std::this_thread::sleep_for(5ms);
  }
  h.gate.run(2);
  if (progress) {
    h.engine->setPresetTime(0);
    EXPECT_TRUE(h.engine->postPosition(
        std::make_unique<NavPosition>(NavPosition{*progress, 0, 0, 1, false}), MotionTime::Preset));
    h.gate.run();
    h.clock.advance(1);
    h.gate.run();
  }
  return {h.frames.last(), width, height};
}

TEST(KeyPoints, PickedCornersLandWhereTheyWerePickedInTheEngine) {
  const auto folder = test::scratchDir("key_points_render");
  // Where the corners lie in each corrected picture; the two quads differ by
  // the view change, under 80 pixels a corner.
  const std::array<FramePoint, 4> left{{{200, 150}, {420, 130}, {460, 330}, {180, 350}}};
  const std::array<FramePoint, 4> right{{{150, 120}, {380, 160}, {400, 360}, {140, 300}}};
  ASSERT_TRUE(test::writeFile(folder / "left.jpg", cameraPicture("kamolens0", left)));
  ASSERT_TRUE(test::writeFile(folder / "right.jpg", cameraPicture("kamolens1", right)));
  const std::string leftView =
      "<view id='left' src='file://" + (folder / "left.jpg").string() + "' lens='kamolens0'>";
  const std::string rightView =
      "<view id='right' src='file://" + (folder / "right.jpg").string() + "' lens='kamolens1'/>";

  // What the author clicks: the marks as lens-corrected previews of other
  // sizes than the transition's show them (650 x 490 has its block area 5
  // pixels in from the top-left corner).
  const auto picked = [&](const std::string& view, const std::string& id, int width, int height) {
    const std::string xml = "<quilo startview='" + id + "'>" + view + "</quilo>";
    const std::array<Mark, 4> marks = marksIn(render(xml, {}, width, height));
    std::array<FramePoint, 4> out;
    for (int m = 0; m < 4; ++m) {
      EXPECT_GT(marks[m].pixels, 40) << id << " mark " << m;
      out[m] = marks[m].centre;
    }
    return keyOfFramePositions(out, width, height);
  };
  const KeyQuad start = picked(leftView + "</view>", "left", 650, 490);
  const KeyQuad end = picked(rightView, "right", 496, 368);
  // Where a normalised point shows in the 640 x 480 transition frame, whose
  // block area is the whole frame.
  const auto inFrame = [](const KeyQuad& q) {
    std::array<FramePoint, 4> out;
    const Vec2 corners[4] = {q.p0, q.p1, q.p2, q.p3};
    for (int m = 0; m < 4; ++m) {
      out[m] = {(corners[m].x + 0.5) * kWidth, (corners[m].y + 0.5) * kHeight};
    }
    return out;
  };
  const std::array<FramePoint, 4> leftPicked = inFrame(start);
  const std::array<FramePoint, 4> rightPicked = inFrame(end);
  const std::optional<std::string> startText = keyTextOf(start);
  const std::optional<std::string> endText = keyTextOf(end);
  ASSERT_TRUE(startText && endText);

  const std::string project = "<quilo startview='left'>" + leftView + "<edge link='walk'/></view>" +
                              rightView + "<link id='walk' from='left' to='right'><key time='0'>" +
                              *startText + "</key><key time='1'>" + *endText +
                              "</key></link></quilo>";
  const auto expectAt = [](const std::array<Mark, 4>& marks, const std::array<FramePoint, 4>& at,
                           double tolerance, const char* when) {
    for (int m = 0; m < 4; ++m) {
      EXPECT_NEAR(marks[m].centre.x, at[m].x, tolerance) << when << " mark " << m;
      EXPECT_NEAR(marks[m].centre.y, at[m].y, tolerance) << when << " mark " << m;
    }
  };
  // The start shows the left picture alone, each corner where it was picked.
  expectAt(marksIn(render(project)), leftPicked, 1.0, "at the start");
  // The viewer's last position is 0.99 along the link, so the end key is
  // reached to within a hundredth of each corner's move: below 0.8 pixels here.
  expectAt(marksIn(render(project, 1.0f)), rightPicked, 1.0, "at the end");
  // Half-way both pictures put each corner at the same place: one mark, no
  // second image of it (a double image reaches further than the mark's radius).
  const std::array<Mark, 4> middle = marksIn(render(project, 0.5f));
  std::array<FramePoint, 4> between;
  for (int m = 0; m < 4; ++m) {
    between[m] = {(leftPicked[m].x + rightPicked[m].x) / 2,
                  (leftPicked[m].y + rightPicked[m].y) / 2};
    EXPECT_LT(middle[m].reach, 10.0) << "mark " << m;
  }
  expectAt(middle, between, 1.5, "half-way");
}

}  // namespace
}  // namespace vistel
