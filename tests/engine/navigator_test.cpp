// test-labels: threads
// Motions and click-to-go, stepped pass by pass on a manual clock through a
// real engine thread.
#include "vistel/engine/navigator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "support/engine_harness.h"
#include "support/scene_project.h"

namespace vistel {
namespace {

const KeyQuad kQuadA{{-0.05f, -0.2f}, {0.45f, -0.15f}, {0.4f, 0.3f}, {-0.1f, 0.25f}};
const KeyQuad kQuadB{{-0.45f, -0.15f}, {0.05f, -0.2f}, {0.1f, 0.25f}, {-0.4f, 0.3f}};

std::string linkProject() {
  return "<quilo startview='a'><view id='a'><edge link='l'/></view><view id='b'/>"
         "<link id='l' from='a' to='b'><key time='0'>" +
         test::keyText(kQuadA) + "</key><key time='1'>" + test::keyText(kQuadB) +
         "</key></link></quilo>";
}

std::unique_ptr<NavPosition> position(float progress, float x, float y, float zoom) {
  return std::make_unique<NavPosition>(NavPosition{progress, x, y, zoom, false});
}

struct NavigatorTest : ::testing::Test {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  void SetUp() override { ASSERT_TRUE(h.showAndLoad(linkProject())); }
  // Moves the clock by `ms` and runs one pass.
  NavPosition after(std::uint32_t ms) {
    h.clock.advance(ms);
    h.gate.run();
    return engine.currentPosition();
  }
};

TEST_F(NavigatorTest, MotionEasesProgressAndPanAndTheVisibleArea) {
  engine.setZoom(2);
  engine.setPresetTime(1000);
  engine.postPosition(position(0.5f, 0.1f, -0.2f, 1), MotionTime::Preset);
  EXPECT_EQ(after(0), (NavPosition{0, 0, 0, 2, false}));  // started; nothing moved yet

  // smoothstep: 0.15625 at a quarter, 0.5 at half, 0.84375 at three quarters.
  for (const auto& [ms, g] : {std::pair{250u, 0.15625}, {250u, 0.5}, {250u, 0.84375}}) {
    const NavPosition p = after(ms);
    EXPECT_NEAR(p.navProgress, 0.5 * g, 1e-7);
    EXPECT_NEAR(p.xOffset, 0.1 * g, 1e-7);
    EXPECT_NEAR(p.yOffset, -0.2 * g, 1e-7);
    EXPECT_NEAR(p.zoomFactor, 1 / (0.5 + 0.5 * g), 1e-6);
  }
  EXPECT_EQ(after(0).navProgress, 0.421875f);  // the clock stood still: no change

  // At exactly the duration the motion still runs; one millisecond later it
  // lands on the exact target.
  EXPECT_NEAR(after(250).zoomFactor, 1, 1e-6);
  EXPECT_TRUE(engine.isMoving());
  EXPECT_EQ(after(1), (NavPosition{0.5f, 0.1f, -0.2f, 1, false}));
  EXPECT_FALSE(engine.isMoving());
}

TEST_F(NavigatorTest, ZeroDurationEndsAtTheFirstPassAfterTimeMoved) {
  engine.setPresetTime(0);
  engine.postPosition(position(0.7f, 0.2f, 0, 1.5f), MotionTime::Preset);
  EXPECT_EQ(after(0), (NavPosition{0, 0, 0, 1, false}));
  EXPECT_EQ(after(0), (NavPosition{0, 0, 0, 1, false}));  // 0 of 0 ms: nothing, and no NaN
  EXPECT_EQ(after(1), (NavPosition{0.7f, 0.2f, 0, 1.5f, false}));
}

TEST_F(NavigatorTest, QueuedPositionsTravelInOrderAndAClickWaitsBehindThem) {
  engine.setPresetTime(100);
  engine.setManualTime(300);
  for (float target : {0.2f, 0.6f, 0.4f})
    engine.postPosition(position(target, 0, 0, 1), MotionTime::Preset);
  EXPECT_EQ(after(0).navProgress, 0);

  // A click mid-way takes its whole pass: the running motion does not move.
  engine.postEvent(kEventPointerDown, 80, 45);
  EXPECT_EQ(after(50).navProgress, 0);

  EXPECT_EQ(after(51).navProgress, 0.2f);  // the first ends 101 ms after it started
  for (float target : {0.6f, 0.4f}) {
    after(0);  // the next one starts in a pass of its own
    after(100);
    EXPECT_TRUE(engine.isMoving());
    EXPECT_EQ(after(1).navProgress, target);
  }
  after(0);  // the click's position starts last, lasting manualTime
  after(300);
  EXPECT_TRUE(engine.isMoving());
  const NavPosition clicked = after(1);
  EXPECT_FALSE(engine.isMoving());
  EXPECT_GT(clicked.navProgress, 0);
  EXPECT_LT(clicked.navProgress, 1);
  EXPECT_EQ(clicked.zoomFactor, 1);
}

// The view point at which the point seen at (pSrc, pDst) shows at progress t,
// straight from the keys.
Vec2 referenceViewPoint(Vec2 pSrc, Vec2 pDst, double t) {
  const auto frame = makeTransitionFrame(kQuadA, kQuadB, static_cast<float>(t));
  return (applyToPoint(inverse(frame->srcH), pSrc) + applyToPoint(inverse(frame->dstH), pDst)) *
         0.5f;
}

TEST_F(NavigatorTest, ClickTravelsToWhereThePointIsNearestTheCentre) {
  engine.setManualTime(100);
  engine.postEvent(kEventPointerDown, 120, 30);
  after(0);  // the click
  after(0);  // its motion starts
  const NavPosition reached = after(101);

  // The clicked point at progress 0 (where srcH is the identity), then a scan
  // of the whole link for the progress that brings it nearest the centre.
  const Vec2 p{120.0f / 160 - 0.5f, 30.0f / 90 - 0.5f};
  const auto start = makeTransitionFrame(kQuadA, kQuadB, 0);
  const Vec2 pSrc = applyToPoint(start->srcH, p), pDst = applyToPoint(start->dstH, p);
  double best = 0, bestCost = INFINITY;
  for (double t = 0.0005; t < 0.99; t += 0.0005) {
    const Vec2 v = referenceViewPoint(pSrc, pDst, t);
    const double cost = double(v.x) * v.x * 16 / 9 + double(v.y) * v.y;
    if (cost < bestCost) bestCost = cost, best = t;
  }
  EXPECT_NEAR(reached.navProgress, best, 1e-3);
  const Vec2 centre = referenceViewPoint(pSrc, pDst, reached.navProgress);
  EXPECT_NEAR(reached.xOffset, centre.x, 1e-5);
  EXPECT_NEAR(reached.yOffset, centre.y, 1e-5);
}

TEST_F(NavigatorTest, ClickOutsideBothImagesPostsNothing) {
  engine.setZoom(0.25f);  // the frame shows four image widths
  engine.postEvent(kEventPointerDown, 0, 0);
  after(0);
  EXPECT_FALSE(engine.isMoving());
  engine.postEvent(kEventPointerDown, 80, 45);  // the centre lies inside
  after(0);
  EXPECT_TRUE(engine.isMoving());
}

TEST(InsideImage, OutlineOfTheImageInViewSpace) {
  EXPECT_TRUE(insideImage({0.4f, -0.4f}, Homography::identity()));
  EXPECT_FALSE(insideImage({0.6f, 0}, Homography::identity()));
  // Seen at twice the size, the image covers only -0.25..0.25.
  const Homography magnified{{2, 0, 0}, {0, 2, 0}, {0, 0, 1}};
  EXPECT_TRUE(insideImage({0.2f, 0.2f}, magnified));
  EXPECT_FALSE(insideImage({0.3f, 0}, magnified));
  // An image wholly behind the viewer (every corner at w < 0) has no outline.
  const Homography behind{{1, 0, 0}, {0, 1, 0}, {0, 0, -1}};
  EXPECT_FALSE(insideImage({0, 0}, behind));
}

}  // namespace
}  // namespace vistel
