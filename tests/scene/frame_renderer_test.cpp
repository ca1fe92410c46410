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

TEST_F(RendererFixture, BlocksCoverTheCentredAreaOnly) {
  load("<quilo><view id='a'/></quilo>", {"a"});
  renderer.resize(330, 40);
  for (int y = 0; y < 40; ++y) renderer.drawLine(0, y, 329, y, kMark);
  EXPECT_EQ(renderer.renderFrame(), 7);
  EXPECT_EQ(sunk, 1);
  // 20 block columns from column (330 div 2) mod 8 = 5; 2 block rows from row 4.
  for (int y = 0; y < 40; ++y) {
    for (int x = 0; x < 330; ++x) {
      const bool block = x >= 5 && x < 325 && y >= 4 && y < 36;
      ASSERT_EQ(at(x, y), block ? 0u : kMark) << x << "," << y;
    }
  }
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
  renderer.resize(100, 80);
  const std::string points = "0.105,0.215;0.805,0.115;0.605,0.905";
  load("<quilo>" + shapeView("a", "linecolor='#ff0000' projected='1'", points) +
           shapeView("b", "linecolor='#00ff00' projected='true'", points) +
           shapeView("flat", "linecolor='#ff0000'", points) + identityLink("srcbuttons='1'") +
           "</quilo>",
       {"flat"});
  (void)renderer.renderFrame();
  const std::vector<std::uint32_t> flat = frame();
  ASSERT_NE(flat, std::vector<std::uint32_t>(100 * 80, 0));

  ASSERT_TRUE(scene.startTraversal("l", false));
  ASSERT_TRUE(scene.setCurrentViews({"a", "b"}));
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), flat);  // b's shapes stay hidden

  load("<quilo>" + shapeView("a", "linecolor='#ff0000' projected='1'", points) +
           shapeView("b", "linecolor='#00ff00' projected='1'", points) +
           identityLink("dstbuttons='0' srcbuttons='no'") + "</quilo>",
       {"a", "b"});
  ASSERT_TRUE(scene.startTraversal("l", false));
  (void)renderer.renderFrame();
  EXPECT_EQ(frame(), std::vector<std::uint32_t>(100 * 80, 0));
}

}  // namespace
}  // namespace vistel
