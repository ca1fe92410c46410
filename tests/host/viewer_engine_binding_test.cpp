// test-labels: threads
// The control on the real engine: a generated two-camera project with local
// pictures, passes run one at a time on a manual clock.
#include "vistel/host/viewer_engine_binding.h"

#include <gtest/gtest.h>

#include "support/control_fakes.h"
#include "support/engine_harness.h"
#include "support/offline_reader.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"

namespace vistel {
namespace {

TEST(ViewerEngineBinding, GeneratedProjectRendersIntoThePaintPlanAndObeysTheMembers) {
  const auto folder = test::scratchDir("control-engine");
  const auto jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  ASSERT_TRUE(test::writeFile(folder / "top.jpg", jpeg));
  ASSERT_TRUE(test::writeFile(folder / "bottom.jpg", jpeg));

  std::vector<std::string> log;
  test::ScriptedUi ui(log);
  ManualClock clock{1000};
  test::PassGate gate;
  {
    VistelControl control(
        ui, viewerEngineFactory({defaultThreadStarter(),
                                 {&clock, gate.sleeper(), test::offlineReaderFactory()},
                                 folder.string()}));
    ASSERT_TRUE(control.hasEngine());
    gate.run(0);
    PropertyBag properties;
    ASSERT_TRUE(properties.set("topCameraAddress", "file://top.jpg"));
    ASSERT_TRUE(properties.set("bottomCameraAddress", "file://bottom.jpg"));
    ASSERT_TRUE(properties.set("FPS", "5"));
    control.load(properties);
    control.onCreate();
    control.onShowWindow(true, 0);
    control.onSize(80, 60);
    gate.run();

    PaintPlan plan;
    control.paint(80, 60, plan);
    ASSERT_TRUE(plan.hasFrame);
    EXPECT_EQ(plan.frame.width, 80);
    EXPECT_EQ(plan.frame.height, 60);
    EXPECT_GE(ui.repaints.load(), 1);

    control.SetPresetTime(0);
    ASSERT_EQ(control.GotoPosition(0.5f, 0.1f, -0.1f, 2.0f), 1);
    gate.run();  // starts the motion
    clock.advance(1);
    gate.run();  // lands on the target
    EXPECT_FLOAT_EQ(control.GetBlendFactor(), 0.5f);
    EXPECT_FLOAT_EQ(control.GetXOffset(), 0.1f);
    EXPECT_FLOAT_EQ(control.GetYOffset(), -0.1f);
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 2.0f);
    control.SetZoom(0);
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 0.24f);
    EXPECT_TRUE(control.onMouseWheel(240));
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 0.24f + 0.24f * 0.16666667f * 2.0f);

    ui.savePath = (folder / "shot.jpg").string();
    control.PromptSnapshot();
    EXPECT_EQ(test::readFile(folder / "shot.jpg").substr(0, 2), "\xFF\xD8");
    const std::uint64_t before = plan.frame.sequence;
    gate.run();  // resumed: the next pass renders again
    control.paint(80, 60, plan);
    EXPECT_GT(plan.frame.sequence, before);
    gate.open();
  }
}

// A project of one view: a navigator without a link.
TEST(ViewerEngineBinding, WithoutALinkTheMembersWorkFromTheNavigatorsZoomAndPan) {
  std::vector<std::string> log;
  test::ScriptedUi ui(log);
  ManualClock clock{1000};
  test::PassGate gate;
  {
    VistelControl control(
        ui,
        viewerEngineFactory(
            {defaultThreadStarter(), {&clock, gate.sleeper(), test::offlineReaderFactory()}, {}}));
    gate.run(0);
    control.onCreate();  // the default project text, which is none
    control.onShowWindow(true, 0);
    control.onSize(80, 60);
    gate.run();
    EXPECT_EQ(control.GotoPosition(0.5f, 0, 0, 1), 0) << "queued without a project";

    control.Project("<quilo startview='a'><view id='a'/></quilo>");
    gate.run();
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 1.0f);
    control.SetZoom(2);
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 2.0f);

    control.SetManualTime(0);
    ASSERT_TRUE(control.runCommand(static_cast<std::int32_t>(ControlCommand::ZoomIn)));
    gate.run();  // starts the motion
    clock.advance(1);
    gate.run();  // lands on the target: half the zoom more
    EXPECT_FLOAT_EQ(control.GetZoomFactor(), 3.0f);

    // The copied position is one a preset takes back.
    ASSERT_TRUE(control.runCommand(static_cast<std::int32_t>(ControlCommand::CopyPosition)));
    EXPECT_EQ(ui.clipboard, "0.00;0.00,0.00;3.00;");
    const ViewPosition pasted = parsePreset(ui.clipboard);
    EXPECT_EQ(
        control.GotoPosition(pasted.navProgress, pasted.xOffset, pasted.yOffset, pasted.zoomFactor),
        1);
    gate.open();
  }
}

}  // namespace
}  // namespace vistel
