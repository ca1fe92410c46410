#include "vistel/scene/frame_renderer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/scene_project.h"
#include "vistel/scene/shape_drawing.h"

namespace vistel {
namespace {

constexpr std::uint32_t kMark = 0x00ABCDEF;

// Views without pictures over a manager that starts no threads: every
// picture is the blank frame, so what these cases see is geometry and lines.
struct RendererFixture : ::testing::Test {
  ImageSourceManager sources{ThreadStarter{}, 2048, 4096, 0, nullptr};
  Scene scene{sources};
  FrameRenderer renderer{this, &RendererFixture::sink, sources, scene};
  std::unique_ptr<ProjectDocument> document;
  int sunk = 0;

  static std::int32_t sink(void* context, const std::uint32_t* pixels, std::int32_t flags,
                           const FrameRect& rect) {
    auto* self = static_cast<RendererFixture*>(context);
    EXPECT_EQ(pixels, self->renderer.pixels());
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(rect.width, self->renderer.width());
    ++self->sunk;
    return 7;
  }

  void load(const std::string& xml, std::vector<std::string> views) {
    document = test::loadProject(xml);
    ASSERT_TRUE(scene.rebuild(document.get()));
    ASSERT_TRUE(scene.setCurrentViews(views));
  }
  std::vector<std::uint32_t> frame() const {
    return {renderer.pixels(), renderer.pixels() + renderer.width() * renderer.height()};
  }
  std::uint32_t at(int x, int y) const { return renderer.pixels()[y * renderer.width() + x]; }
};

std::string shapeView(const std::string& id, const std::string& shapeAttributes,
                      const std::string& points) {
  return "<view id='" + id + "'><shape " + shapeAttributes + "><points>" + points +
         "</points></shape></view>";
}

// A link whose two keys both frame the whole picture: srcH is the identity
// (up to scale) at the start.
std::string identityLink(const std::string& firstKeyAttributes) {
  const std::string text = test::keyText(kImageCornerKey);
  return "<link id='l' from='a' to='b'><key time='0' " + firstKeyAttributes + ">" + text +
         "</key><key time='1'>" + text + "</key></link>";
}

TEST_F(RendererFixture, ResizeRebuildsOnlyForANewSizeAndPublishesTheBlankFrame) {
  EXPECT_EQ(renderer.renderFrame(), 0);  // nothing to render into yet
  EXPECT_EQ(sunk, 0);
  const std::uint8_t rgb[2 * 3] = {10, 20, 30, 40, 50, 60};
  renderer.setPlaceholder(rgb, 2, 1);
  renderer.resize(7, 5);
  const PictureView blank = renderer.getBlankFrame();
  ASSERT_EQ(blank.width, 7);
  const auto* pixels = reinterpret_cast<const std::uint32_t*>(blank.pixels);
  // Centred at column (7 - 2) div 2 = 2, row (5 - 1) div 2 = 2.
  EXPECT_EQ(pixels[2 * 7 + 2], 0x000A141Eu);
  EXPECT_EQ(pixels[2 * 7 + 3], 0x0028323Cu);
  EXPECT_EQ(pixels[2 * 7 + 4], 0u);

  // Placeholder frames made from now on show the published blank frame.
  SourceRequest* request = sources.acquire("unfetched.jpg");
  EXPECT_EQ(sources.currentFrame(request), blank.pixels);
  EXPECT_EQ(sources.heldWidth(request), 7);

  renderer.drawLine(0, 0, 0, 0, kMark);
  renderer.resize(7, 5);
  EXPECT_EQ(renderer.getBlankFrame().pixels, blank.pixels);
  EXPECT_EQ(at(0, 0), kMark);
  for (auto [w, h] : {std::pair{0, 5}, {7, 2048}, {-1, 1}}) {
    renderer.resize(w, h);
    EXPECT_EQ(renderer.width(), 7);
  }
  renderer.resize(9, 5);
  EXPECT_EQ(at(0, 0), 0u);
  EXPECT_EQ(renderer.getBlankFrame().width, 9);
  // The old picture lives on while the placeholder frame still shows it.
  EXPECT_EQ(sources.currentFrame(request), blank.pixels);
  EXPECT_EQ(reinterpret_cast<const std::uint32_t*>(blank.pixels)[2 * 7 + 2], 0x000A141Eu);
  sources.release(request);
}

TEST_F(RendererFixture, NothingOutlivesItsFrameOutsideTheBlocks) {
  // 20 block columns from column (330 div 2) mod 8 = 5; 2 block rows from row
  // 4. The outline runs through the margins on all four sides.
  load("<quilo>" +
           shapeView("a", "linecolor='#ff0000'", "0.005,0.05;0.995,0.05;0.995,0.95;0.005,0.95") +
           "<view id='b'/></quilo>",
       {"a"});
  renderer.resize(330, 40);
  for (int y = 0; y < 40; ++y) renderer.drawLine(0, y, 329, y, kMark);
  EXPECT_EQ(renderer.renderFrame(), 7);
  EXPECT_EQ(sunk, 1);
  for (auto [x, y] : {std::pair{1, 20}, {328, 20}, {100, 2}, {100, 38}}) {
    EXPECT_EQ(at(x, y), 0xFFFF0000u) << x << "," << y;
  }
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 330; ++x) ASSERT_NE(at(x, y), kMark) << x << "," << y;
  }
  ASSERT_TRUE(scene.setCurrentViews({"b"}));
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), std::vector<std::uint32_t>(330 * 40, 0));
}

TEST_F(RendererFixture, DrawLineWithEqualEndsWritesOnePixel) {
  renderer.resize(16, 16);
  renderer.drawLine(3, 4, 3, 4, kMark);
  renderer.drawLine(16, 4, 16, 4, kMark);  // outside: nothing
  std::vector<std::uint32_t> want(16 * 16, 0);
  want[4 * 16 + 3] = kMark;
  EXPECT_EQ(frame(), want);
}

TEST_F(RendererFixture, FlatShapesCloseTheirOutlineInTheirLineColour) {
  // The placeholder fills the frame, so a colour of 0 shows on it; the blocks
  // cover the whole 48 x 32 frame.
  std::vector<std::uint8_t> white(48 * 32 * 3, 255);
  renderer.setPlaceholder(white.data(), 48, 32);
  renderer.resize(48, 32);
  (void)renderer.getBlankFrame();
  load("<quilo>" + shapeView("a", "linecolor='#ff0000'", "0.1,0.1;0.9,0.2;0.5,0.8") +
           shapeView("b", "linecolor='red'", "0.1,0.1;0.9,0.2") +
           shapeView("none", "linecolor='#ff0000'", "") + "</quilo>",
       {"none"});
  (void)renderer.renderFrame();
  const std::vector<std::uint32_t> background = frame();
  ASSERT_NE(background[3 * 48 + 4], 0u);

  // Three segments, the last one closing the polygon, as drawLine draws them.
  ASSERT_TRUE(scene.setCurrentViews({"a"}));
  (void)renderer.renderFrame();
  std::vector<std::uint32_t> want = background;
  const FrameView view{want.data(), 48, 32};
  drawLine(view, 24, 25, 4, 3, 0xFFFF0000);
  drawLine(view, 4, 3, 43, 6, 0xFFFF0000);
  drawLine(view, 43, 6, 24, 25, 0xFFFF0000);
  EXPECT_EQ(frame(), want);

  ASSERT_TRUE(scene.setCurrentViews({"b"}));
  (void)renderer.renderFrame();
  EXPECT_EQ(at(4, 3), 0u);  // a colour name is no colour
  EXPECT_EQ(at(24, 4), 0u);
}

TEST_F(RendererFixture, ASingleViewMakesItsOwnBlankFrameWithoutThePlaceholder) {
  std::vector<std::uint8_t> white(8 * 8 * 3, 255);
  renderer.setPlaceholder(white.data(), 8, 8);
  renderer.resize(32, 32);
  load("<quilo><view id='a'/></quilo>", {"a"});
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), std::vector<std::uint32_t>(32 * 32, 0));
  EXPECT_EQ(renderer.getBlankFrame().pixels[(16 * 32 + 16) * 4], 0);  // kept, still without
}

TEST_F(RendererFixture, ProjectedShapesFollowTheKeysAndShowOnlyWhenTheKeysSaySo) {
  renderer.resize(96, 80);  // blocks from the corner: view and frame fractions agree
  const std::string points = "0.105,0.215;0.805,0.115;0.605,0.905";
  load("<quilo>" + shapeView("a", "linecolor='#ff0000' projected='1'", points) +
           shapeView("b", "linecolor='#00ff00' projected='true'", points) +
           shapeView("flat", "linecolor='#ff0000'", points) + identityLink("srcbuttons='1'") +
           "</quilo>",
       {"flat"});
  (void)renderer.renderFrame();
  const std::vector<std::uint32_t> flat = frame();
  ASSERT_NE(flat, std::vector<std::uint32_t>(96 * 80, 0));

  ASSERT_TRUE(scene.startTraversal("l", Direction::Forward));
  ASSERT_TRUE(scene.setCurrentViews({"a", "b"}));
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), flat);  // b's shapes stay hidden

  load("<quilo>" + shapeView("a", "linecolor='#ff0000' projected='1'", points) +
           shapeView("b", "linecolor='#00ff00' projected='1'", points) +
           identityLink("dstbuttons='0' srcbuttons='no'") + "</quilo>",
       {"a", "b"});
  ASSERT_TRUE(scene.startTraversal("l", Direction::Forward));
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), std::vector<std::uint32_t>(96 * 80, 0));
}

TEST_F(RendererFixture, ProjectedOutlinesStayOnThePictureWhenZoomedAndPanned) {
  // The views have no pictures, so both show the blank frame, whose
  // placeholder carries one red, one green and one blue dot on black. The
  // shape's corners are those dots.
  constexpr int kW = 104, kH = 88;  // blocks start at column 4, row 4
  const std::pair<int, int> dots[3] = {{44, 24}, {76, 30}, {58, 52}};
  std::vector<std::uint8_t> picture(kW * kH * 3, 0);
  std::string points;
  for (int i = 0; i < 3; ++i) {
    picture[(dots[i].second * kW + dots[i].first) * 3 + i] = 255;
    points += std::to_string(dots[i].first / double(kW)) + "," +
              std::to_string(dots[i].second / double(kH)) + ";";
  }
  renderer.setPlaceholder(picture.data(), kW, kH);
  renderer.resize(kW, kH);
  renderer.setZoom(2);
  renderer.setOffset(0.08f, -0.06f);
  const std::string text = test::keyText(kImageCornerKey);
  const auto link = [&](const std::string& id, const std::string& shown) {
    return "<link id='" + id + "' from='a' to='b'><key time='0' srcbuttons='" + shown + "'>" +
           text + "</key><key time='1'>" + text + "</key></link>";
  };
  load("<quilo><view id='a'><shape linecolor='#ffffff' projected='1'><points>" + points +
           "</points></shape><shape linecolor='#0000ff'><points>0.25,0.5;0.75,0.5</points>"
           "</shape></view><view id='b'/>" +
           link("hidden", "0") + link("shown", "1") + "</quilo>",
       {"a", "b"});

  // Where each dot lands in the picture as rendered: its brightest pixel.
  ASSERT_TRUE(scene.startTraversal("hidden", Direction::Forward));
  (void)renderer.renderFrame();
  std::pair<int, int> landed[3];
  for (int i = 0; i < 3; ++i) {
    const int shift = 16 - 8 * i;  // red, green, blue
    std::uint32_t best = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const std::uint32_t v = at(x, y) >> shift & 255;
        if (v > best) {
          best = v;
          landed[i] = {x, y};
        }
      }
    }
    ASSERT_GT(best, 128u) << "dot " << i << " out of view";
  }

  // Each corner of the outline lies on its dot (within a pixel: the dot
  // spreads over two pixels at zoom 2).
  ASSERT_TRUE(scene.startTraversal("shown", Direction::Forward));
  (void)renderer.renderFrame();
  for (int i = 0; i < 3; ++i) {
    bool onDot = false;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const int x = landed[i].first + dx, y = landed[i].second + dy;
        if (x >= 0 && x < kW && y >= 0 && y < kH && at(x, y) == 0xFFFFFFFFu) onDot = true;
      }
    }
    EXPECT_TRUE(onDot) << "dot " << i << " at " << landed[i].first << "," << landed[i].second;
  }
  // A flat shape stays where its frame fractions are.
  EXPECT_EQ(at(26, 44), 0xFF0000FFu);
  EXPECT_EQ(at(78, 44), 0xFF0000FFu);
}

}  // namespace
}  // namespace vistel
