// test-labels: threads network
#include "vistel/host/vistel_control.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "support/control_fakes.h"
#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/host/camera_credentials.h"
#include "vistel/host/generated_project.h"
#include "vistel/platform/cookie_store.h"
#include "vistel/project/project_holder.h"

namespace vistel {
namespace {

using test::ControlRig;
using test::HttpTestConnection;
using test::HttpTestServer;
using test::PostedEvent;
using test::PostedPosition;

PropertyBag bagOf(std::initializer_list<std::pair<const char*, std::string>> values) {
  PropertyBag bag;
  for (const auto& [name, value] : values) EXPECT_TRUE(bag.set(name, value));
  return bag;
}

// The generated project written out by hand: three tabs before every line.
std::string expectedProject(const std::string& cam0, const std::string& fps,
                            const std::string& cam1, const std::string& key0,
                            const std::string& key1) {
  return "\t\t\t<quilo startview=\"Cam0\">"
         "\t\t\t<view id=\"Cam0\" src=\"" +
         cam0 + "\" fps=\"" + fps +
         "\" lens=\"kamolens1\">"
         "\t\t\t<edge link=\"Cam0Cam1\" angle=\"450\" len=\"282\" dir=\"backward\" />"
         "\t\t\t</view>"
         "\t\t\t<view id=\"Cam1\" src=\"" +
         cam1 + "\" fps=\"" + fps +
         "\" lens=\"kamolens0\">"
         "\t\t\t<edge link=\"Cam0Cam1\" angle=\"270\" len=\"282\" dir=\"forward\" />"
         "\t\t\t</view>"
         "\t\t\t<link id=\"Cam0Cam1\" from=\"Cam0\" to=\"Cam1\" tension=\"0.000000\">"
         "\t\t\t<key time=\"0.000000\" blend=\"0.000000\" >" +
         key0 +
         "</key>"
         "\t\t\t<key time=\"1.000000\" blend=\"1.000000\" >" +
         key1 +
         "</key>"
         "\t\t\t</link>"
         "\t\t\t</quilo>";
}

class ControlProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    // Credentials remembered by other runs must not answer the cameras here.
    const auto dataHome = test::scratchDir("control-properties");
    ASSERT_EQ(::setenv("XDG_DATA_HOME", dataHome.c_str(), 1), 0);
    ASSERT_TRUE(CookieStore::instance().useJar(CookieStore::defaultJarPath()));
    rig.control.credentials().setTimeouts(2000, 5000);
  }
  ControlRig rig;
};

TEST_F(ControlProperties, TwoCamerasGiveTheTemplateWithEscapedQueriesAndDefaultKeys) {
  HttpTestServer camera(test::fixedResponse(test::httpResponse(200, {}, "jpeg")));
  const std::string top = camera.url("/top.jpg?a=1&b=2");
  const std::string bottom = camera.url("/bottom.jpg");
  rig.control.load(bagOf({{"topCameraAddress", top},
                          {"bottomCameraAddress", bottom},
                          {"FPS", "5"},
                          {"startImage", "overridden"}}));

  EXPECT_EQ(
      rig.control.projectText(),
      expectedProject(camera.url("/top.jpg?a=1&#38;b=2"), "5.000000", bottom,
                      std::string(kDefaultSourceKeyText), std::string(kDefaultDestinationKeyText)));
  const auto requests = camera.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/top.jpg?a=1&b=2");  // the first camera is checked first
  EXPECT_TRUE(rig.engine->loaded.empty());            // loaded when the window is created
  EXPECT_FALSE(rig.control.modified());
}

// An address is data: whatever it holds, the generated project must read back
// with exactly that address and nothing else added to the view.
TEST(GeneratedProject, AddressesWithQuotesOrAnglesReadBackUnchanged) {
  const std::string hostile = "http://cam/a.jpg?x=\"1\" onclick=\"x\"&y=<b>";
  const std::string text = generatedProject(escapeAddress(hostile), 25.0f, escapeAddress("b&c"),
                                            kDefaultSourceKeyText, kDefaultDestinationKeyText);
  ProjectHolder holder;
  ASSERT_TRUE(holder.load(text.data(), text.size()));
  ASSERT_NE(holder.project(), nullptr);
  const ViewElement* cam0 = holder.project()->findView("Cam0");
  const ViewElement* cam1 = holder.project()->findView("Cam1");
  ASSERT_NE(cam0, nullptr);
  ASSERT_NE(cam1, nullptr);
  ASSERT_NE(cam0->findAttribute("src"), nullptr);
  EXPECT_EQ(*cam0->findAttribute("src"), hostile);
  EXPECT_EQ(cam0->findAttribute("onclick"), nullptr);
  EXPECT_EQ(*cam1->findAttribute("src"), "b&c");
}

TEST_F(ControlProperties, LaterKeyNamesWinAndAbsentFpsStaysMinusOne) {
  const std::string a(44, 'A'), b(44, 'B'), c(44, 'C');
  rig.control.load(bagOf({{"startKey", a},
                          {"topKey", b},
                          {"endKey", c},
                          {"startImage", "file:///one.jpg"},
                          {"endImage", "file:///two.jpg"}}));
  EXPECT_EQ(rig.control.projectText(),
            expectedProject("file:///one.jpg", "-1.000000", "file:///two.jpg", b, c));
  rig.control.load(bagOf({{"topKey", ""}, {"FPS", "not a number"}}));
  EXPECT_EQ(rig.control.startKey(), kDefaultSourceKeyText);
  EXPECT_EQ(rig.control.endKey(), c);
  EXPECT_FLOAT_EQ(rig.control.fps(), -1.0f);
}

TEST_F(ControlProperties, ProjectPropertyOrTheDefaultTextIsUsedWithoutTwoCameras) {
  rig.control.load(bagOf({{"startImage", "file:///one.jpg"}, {"Project", "<quilo/>"}}));
  EXPECT_EQ(rig.control.projectText(), "<quilo/>");
  EXPECT_EQ(rig.engine->loaded, std::vector<std::string>{"<quilo/>"});  // window exists
  EXPECT_TRUE(rig.control.modified());

  rig.ui.window = false;
  rig.control.load(bagOf({{"Project", ""}}));
  EXPECT_EQ(rig.control.projectText(), kDefaultProjectText);
  EXPECT_EQ(rig.engine->loaded.size(), 1u);
}

TEST_F(ControlProperties, ProtectedCamerasGetPromptedCredentialsOrAnEmptyAddress) {
  HttpTestServer camera([](HttpTestConnection& c) {
    const bool ok = test::hasBasicAuth(c.request(), "admin", "secret");
    c.send(test::httpResponse(ok ? 200 : 401, {{"WWW-Authenticate", "Basic realm=\"cam\""}}, ""));
  });
  rig.ui.credentialAnswers = {HostUi::Credentials{"admin", "secret", false}, std::nullopt};
  rig.control.load(bagOf(
      {{"topCameraAddress", camera.url("/a.jpg")}, {"bottomCameraAddress", camera.url("/b.jpg")}}));
  EXPECT_EQ(rig.ui.prompts, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
  EXPECT_EQ(
      rig.control.projectText(),
      expectedProject(camera.urlWithCredentials("admin", "secret", "/a.jpg"), "-1.000000", "",
                      std::string(kDefaultSourceKeyText), std::string(kDefaultDestinationKeyText)));
}

TEST_F(ControlProperties, PresetsAreReplacedOnEveryLoadAndEntryZeroIsBuiltIn) {
  rig.control.load(bagOf({{"Preset3", "0.5;0.1,0.2;2;"}, {"Preset15", "0.5;0.1,0.2;2"}}));
  const auto& presets = rig.control.presets();
  EXPECT_EQ(presets[0], (ViewPosition{0.5f, 0.0f, 0.0f, 0.24f}));
  EXPECT_EQ(presets[3], (ViewPosition{0.5f, 0.1f, 0.2f, 2.0f}));
  EXPECT_EQ(presets[15], (ViewPosition{0.5f, 0.1f, 0.2f, 0.0f}));
  EXPECT_FALSE(presets[1].defined());

  rig.control.load(bagOf({{"Preset1", "1;0,0;1;"}}));
  EXPECT_TRUE(presets[1].defined());
  EXPECT_FALSE(presets[3].defined());
}

TEST_F(ControlProperties, MotionTimesReachTheEngineOnlyWithinRange) {
  rig.control.load(bagOf({{"manualTime", "40000"}, {"presetTime", "70000"}}));
  EXPECT_EQ(rig.control.manualTime(), 40000);  // negative as an int16: kept, not passed
  EXPECT_EQ(rig.control.presetTime(), 70000);
  EXPECT_TRUE(rig.engine->manualTimes.empty());
  EXPECT_TRUE(rig.engine->presetTimes.empty());

  rig.control.load(bagOf({{"presetTime", "250"}}));
  EXPECT_EQ(rig.engine->manualTimes, std::vector<std::int32_t>{1000});  // empty text: 1000
  EXPECT_EQ(rig.engine->presetTimes, std::vector<std::int32_t>{250});

  ControlRig bare(false);
  bare.control.load(bagOf({{"manualTime", "40000"}}));
  EXPECT_EQ(bare.control.manualTime(), 40000);
  EXPECT_EQ(bare.control.presetTime(), 1000);
}

// ---- Automation members --------------------------------------------------------

TEST(ControlMembers, GotoPositionChecksGuardsAndRangesAndPostsWithPresetTime) {
  ControlRig rig;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float p, x, y, z;
    std::int16_t result;
  };
  for (const Case& c :
       {Case{1, 0.5f, -0.5f, 4, 1}, Case{0, 0, 0, 0.24f, 1}, Case{0.5f, 0, 0, 0.23f, 0},
        Case{0.5f, 0, 0, 0.2399999f, 0}, Case{0.5f, 0.51f, 0, 1, 0}, Case{0.5f, 0, -0.51f, 1, 0},
        Case{1.01f, 0, 0, 1, 0}, Case{-0.01f, 0, 0, 1, 0}, Case{0.5f, 0, 0, 4.01f, 0},
        Case{nan, 0, 0, 1, 0}, Case{0.5f, nan, 0, 1, 0}, Case{0.5f, 0, nan, 1, 0},
        Case{0.5f, 0, 0, nan, 0}}) {
    const std::size_t before = rig.engine->positions.size();
    EXPECT_EQ(rig.control.GotoPosition(c.p, c.x, c.y, c.z), c.result)
        << c.p << " " << c.x << " " << c.y << " " << c.z;
    EXPECT_EQ(rig.engine->positions.size(), before + static_cast<std::size_t>(c.result));
  }
  EXPECT_EQ(rig.engine->positions.front(), (PostedPosition{{1, 0.5f, -0.5f, 4}, true}));

  rig.engine->hasProject = false;  // nothing to travel in: nothing queued, and 0 says so
  EXPECT_EQ(rig.control.GotoPosition(0.5f, 0, 0, 1), 0);
  rig.engine->hasProject = true;
  rig.ui.window = false;
  EXPECT_EQ(rig.control.GotoPosition(0.5f, 0, 0, 1), 0);
  ControlRig bare(false);
  EXPECT_EQ(bare.control.GotoPosition(0.5f, 0, 0, 1), 0);
  EXPECT_EQ(bare.control.GetZoomFactor(), 0.0f);
}

TEST(ControlMembers, GotoPresetTakesEntryZeroAndDefinedEntriesOnly) {
  ControlRig rig;
  rig.control.load(bagOf({{"Preset2", "0.5;0.1,0.2;2"}, {"Preset4", "0.25;0.1,0.2;2;"}}));
  for (std::int16_t preset : {-1, 1, 2, 16, 0, 4}) rig.control.GotoPreset(preset);
  EXPECT_EQ(rig.engine->positions, (std::vector<PostedPosition>{{{0.5f, 0, 0, 0.24f}, true},
                                                                {{0.25f, 0.1f, 0.2f, 2}, true}}));
}

TEST(ControlMembers, ZoomBlendAndHomeMoveFromTheCurrentPosition) {
  ControlRig rig;
  rig.engine->position = {0.3f, 0.1f, -0.1f, 1.0f};
  rig.control.Zoom(10);
  rig.control.Zoom(-10);
  rig.control.Zoom(0.5f);
  rig.control.Zoom(std::numeric_limits<float>::quiet_NaN());
  rig.control.Blend(1.5f);
  rig.control.Blend(-0.1f);
  rig.control.Blend(0);
  rig.control.Home();
  EXPECT_EQ(rig.engine->positions, (std::vector<PostedPosition>{
                                       {{0.3f, 0.1f, -0.1f, 4.0f}, true},
                                       {{0.3f, 0.1f, -0.1f, 0.24f}, true},
                                       {{0.3f, 0.1f, -0.1f, 1.5f}, true},
                                       {{0.0f, 0.1f, -0.1f, 1.0f}, true},
                                       {{0.5f, 0.0f, 0.0f, 0.64f}, true},
                                   }));
  rig.ui.window = false;
  rig.control.Zoom(1);
  rig.control.Blend(0.5f);
  rig.control.Home();
  EXPECT_EQ(rig.engine->positions.size(), 5u);
}

TEST(ControlMembers, SetZoomClampsAtOnceWithoutAMotion) {
  ControlRig rig;
  for (float z : {0.0f, 9.0f, 2.0f, -std::numeric_limits<float>::infinity(),
                  std::numeric_limits<float>::quiet_NaN()}) {
    rig.control.SetZoom(z);
  }
  EXPECT_EQ(rig.engine->zooms, (std::vector<float>{0.24f, 4.0f, 2.0f, 0.24f}));
  EXPECT_TRUE(rig.engine->positions.empty());
}

TEST(ControlMembers, GettersReadTheCurrentPositionOnlyWithAWindow) {
  ControlRig rig;
  rig.engine->position = {0.3f, 0.1f, -0.2f, 1.5f};
  EXPECT_EQ(rig.control.GetBlendFactor(), 0.3f);
  EXPECT_EQ(rig.control.GetXOffset(), 0.1f);
  EXPECT_EQ(rig.control.GetYOffset(), -0.2f);
  EXPECT_EQ(rig.control.GetZoomFactor(), 1.5f);
  rig.ui.window = false;
  EXPECT_EQ(rig.control.GetBlendFactor() + rig.control.GetXOffset() + rig.control.GetYOffset() +
                rig.control.GetZoomFactor(),
            0.0f);
}

TEST(ControlMembers, MotionTimesOutsideTheirRangesAreIgnored) {
  ControlRig rig;
  for (std::int32_t ms : {60001, -1, 0, 60000}) rig.control.SetPresetTime(ms);
  for (std::int16_t ms : {-1, 0, 32767}) rig.control.SetManualTime(ms);
  EXPECT_EQ(rig.engine->presetTimes, (std::vector<std::int32_t>{0, 60000}));
  EXPECT_EQ(rig.engine->manualTimes, (std::vector<std::int32_t>{0, 32767}));
  EXPECT_EQ(rig.control.presetTime(), 60000);
  EXPECT_EQ(rig.control.manualTime(), 32767);
}

TEST(ControlMembers, ProjectPutLoadsWithoutStoringAndSuspendResumePassThrough) {
  ControlRig rig;
  rig.control.load(bagOf({{"Project", "<quilo startview=\"a\"/>"}}));
  rig.control.Project("<quilo startview=\"b\"/>");
  rig.control.SetProjectXMLBuffer("<quilo startview=\"c\"/>");
  rig.control.SetStartKey("ignored");
  EXPECT_EQ(rig.control.Project(), "<quilo startview=\"a\"/>");
  EXPECT_EQ(rig.engine->loaded,
            (std::vector<std::string>{"<quilo startview=\"a\"/>", "<quilo startview=\"b\"/>",
                                      "<quilo startview=\"c\"/>"}));
  rig.control.Suspend();
  rig.control.Resume();
  EXPECT_EQ(rig.log, (std::vector<std::string>{"suspend", "resume"}));
}

TEST(ControlMembers, RecalibrateReportsTheCalibratorsCodesAndKeepsItsKeys) {
  ControlRig rig;
  const auto dir = test::scratchDir("control-recalibrate");
  const std::string source = (dir / "source.jpg").string();
  const std::string destination = (dir / "destination.jpg").string();
  const std::string absent = (dir / "absent.jpg").string();
  ASSERT_TRUE(
      test::writeFile(source, test::encodeTestJpeg(test::noiseScene(640, 480, 3), 640, 480)));
  ASSERT_TRUE(
      test::writeFile(destination, test::encodeTestJpeg(test::noiseScene(640, 480, 3), 640, 480)));
  const std::string key43(43, 'A');
  EXPECT_EQ(rig.control.Recalibrate(absent, "", destination, ""), RecalibrateCode::SourceNotLoaded);
  EXPECT_EQ(rig.control.Recalibrate(source, key43, absent, key43),
            RecalibrateCode::DestinationNotLoaded);
  EXPECT_EQ(rig.control.Recalibrate(source, key43, destination, ""), RecalibrateCode::BadSourceKey);
  EXPECT_EQ(rig.control.Recalibrate(source, "", destination, key43),
            RecalibrateCode::BadDestinationKey);
  EXPECT_TRUE(rig.control.GetSourceKey().empty());
  EXPECT_EQ(rig.control.Recalibrate(source, "", destination, ""), RecalibrateCode::Ok);
  EXPECT_EQ(rig.control.GetSourceKey().size(), 44u);
  EXPECT_EQ(rig.control.GetDestinationKey(), kDefaultDestinationKeyText);
}

// ---- Window events, menu and commands ---------------------------------------------

TEST(ControlWindow, HandlersPostTheirEventsAndCreateLoadsTheProject) {
  ControlRig rig;
  rig.control.load(bagOf({{"startImage", "file:///a.jpg"}, {"endImage", "file:///b.jpg"}}));
  rig.control.onCreate();
  EXPECT_EQ(rig.engine->placeholder.size(), 139u * 13u * 3u);
  EXPECT_EQ(rig.engine->placeholderWidth, 139);
  EXPECT_EQ(rig.engine->placeholderHeight, 13);
  const auto& rgb = rig.engine->placeholder;  // grey letters on rows 3 to 9, black around them
  EXPECT_GT(std::count(rgb.begin() + 3 * 139 * 3, rgb.begin() + 10 * 139 * 3, 0xA0), 300);
  EXPECT_EQ(std::count(rgb.begin(), rgb.begin() + 3 * 139 * 3, 0) +
                std::count(rgb.begin() + 10 * 139 * 3, rgb.end(), 0),
            6 * 139 * 3);
  EXPECT_EQ(rig.engine->loaded, std::vector<std::string>{rig.control.projectText()});
  EXPECT_TRUE(rig.control.modified());

  rig.control.onShowWindow(true, 7);
  rig.control.onShowWindow(false, 0);
  rig.control.onSize(640, 480);
  rig.control.onEnterIdle();
  rig.control.onKeyDown(37, 1);
  rig.control.onKeyUp(37, 2);
  rig.control.onLeftButtonDown(10, 20);
  rig.control.onMouseMove(11, 21);
  rig.control.onLeftButtonUp(12, 22);
  rig.control.onRightButtonDown(13, 23);
  rig.control.onDestroy();
  using E = WindowEvent;
  EXPECT_EQ(rig.engine->events, (std::vector<PostedEvent>{{E::Created, 0, 0},
                                                          {E::Show, 1, 7},
                                                          {E::Show, 0, 0},
                                                          {E::Size, 640, 480},
                                                          {E::Idle, 0, 0},
                                                          {E::KeyDown, 37, 1},
                                                          {E::KeyUp, 37, 2},
                                                          {E::PointerDown, 10, 20},
                                                          {E::PointerMove, 11, 21},
                                                          {E::PointerUp, 12, 22},
                                                          {E::SecondaryDown, 13, 23},
                                                          {E::Stop, 0, 0}}));
  EXPECT_EQ(rig.log, (std::vector<std::string>{"capture", "focus", "release", "capture"}));
}

TEST(ControlWindow, ContextMenuRunsTheChoiceThenPostsTheScreenPoint) {
  ControlRig rig;
  const auto menu = VistelControl::contextMenu();
  std::vector<std::pair<std::int32_t, std::string>> items;
  for (const auto& item : menu) items.emplace_back(item.command, std::string(item.label));
  EXPECT_EQ(items, (std::vector<std::pair<std::int32_t, std::string>>{
                       {0x8000, "Zoom in"},
                       {0x8001, "Zoom out"},
                       {4, "Maximize view"},
                       {0, ""},
                       {3, "Save snapshot..."},
                       {0, ""},
                       {1, "About Vistel Panorama viewer..."}}));

  rig.ui.menuChoice = 1;
  rig.control.onRightButtonUp(5, 6);
  EXPECT_EQ(rig.log, (std::vector<std::string>{"release", "menu at 1005,2006", "about"}));
  EXPECT_EQ(rig.ui.menuItems.size(), menu.size());
  EXPECT_EQ(rig.engine->events, (std::vector<PostedEvent>{{WindowEvent::SecondaryUp, 1005, 2006}}));

  rig.ui.menuChoice = 4;  // Maximize view: preset 0
  rig.control.onRightButtonUp(0, 0);
  EXPECT_EQ(rig.engine->positions, (std::vector<PostedPosition>{{{0.5f, 0, 0, 0.24f}, true}}));
  EXPECT_FALSE(rig.control.runCommand(5));
}

TEST(ControlWindow, MenuZoomMovesByHalfTheZoomWithinLimitsInTheManualTime) {
  ControlRig rig;
  struct Case {
    float zoom;
    ControlCommand command;
    float target;
  };
  for (const Case& c :
       {Case{3.0f, ControlCommand::ZoomIn, 4.0f}, Case{1.0f, ControlCommand::ZoomIn, 1.5f},
        Case{0.3f, ControlCommand::ZoomOut, 0.24f}, Case{2.0f, ControlCommand::ZoomOut, 1.0f}}) {
    rig.engine->position = {0.2f, 0.1f, 0.3f, c.zoom};
    rig.engine->positions.clear();
    ASSERT_TRUE(rig.control.runCommand(static_cast<std::int32_t>(c.command)));
    ASSERT_EQ(rig.engine->positions.size(), 1u);
    EXPECT_EQ(rig.engine->positions[0], (PostedPosition{{0.2f, 0.1f, 0.3f, c.target}, false}))
        << c.zoom;
  }
}

TEST(ControlWindow, WheelZoomCountsNotchesAndClamps) {
  struct Case {
    float zoom;
    std::int16_t delta;
    float expected;
  };
  for (const Case& c :
       {Case{1.0f, 119, 1.0f}, Case{1.0f, 240, 1.0f + 1.0f / 3.0f}, Case{1.0f, -360, 0.5f},
        Case{4.0f, 120, 4.0f}, Case{0.3f, -32768, 0.24f}, Case{1.0f, -119, 1.0f}}) {
    ControlRig rig;  // each case from a wheel at rest
    rig.engine->position.zoomFactor = c.zoom;
    EXPECT_TRUE(rig.control.onMouseWheel(c.delta));
    EXPECT_NEAR(rig.engine->position.zoomFactor, c.expected, 1e-6) << c.zoom << " " << c.delta;
    EXPECT_TRUE(rig.engine->positions.empty());
  }
  ControlRig bare(false);
  EXPECT_FALSE(bare.control.onMouseWheel(120));
}

TEST(ControlWindow, WheelPartsAddUpToNotchesUntilTheWheelTurns) {
  // The zoom after each event, from zoom 1; a notch adds a sixth of the zoom.
  struct Case {
    std::vector<std::int16_t> deltas;
    std::vector<float> zooms;
  };
  const float up = 1.0f + 1.0f / 6.0f;
  const float down = 1.0f - 1.0f / 6.0f;
  for (const Case& c : {
           Case{{40, 40, 40}, {1, 1, up}},
           Case{{-40, -40, -40}, {1, 1, down}},
           Case{{100, 100, 100}, {1, up, up * up}},     // 80 left at the second, 60 at the third
           Case{{80, -40, -40, -40}, {1, 1, 1, down}},  // the 80 goes with the turn
           Case{{-100, 60, 60}, {1, 1, up}},
       }) {
    ControlRig rig;
    for (std::size_t i = 0; i < c.deltas.size(); ++i) {
      EXPECT_TRUE(rig.control.onMouseWheel(c.deltas[i]));
      EXPECT_NEAR(rig.engine->position.zoomFactor, c.zooms[i], 1e-6)
          << "event " << i << " of the case starting " << c.deltas[0];
    }
  }
}

TEST(ControlWindow, SnapshotResumesInEveryCase) {
  ControlRig rig;
  rig.ui.savePath = "/tmp/shot.jpg";
  rig.control.runCommand(static_cast<std::int32_t>(ControlCommand::SaveSnapshot));
  EXPECT_EQ(rig.log,
            (std::vector<std::string>{"suspend", "chooseSaveFile", "wait on",
                                      "saveSnapshot /tmp/shot.jpg", "wait off", "resume"}));
  ASSERT_EQ(rig.ui.saveRequests.size(), 1u);
  EXPECT_EQ(rig.ui.saveRequests[0].extension, "jpg");
  EXPECT_EQ(rig.ui.saveRequests[0].filter, "JPEG Image|*.jpg;*.jpeg;|");
  EXPECT_TRUE(rig.ui.saveRequests[0].initialName.empty());
  EXPECT_TRUE(rig.ui.saveRequests[0].confirmOverwrite);

  rig.log.clear();
  rig.ui.savePath.reset();
  rig.control.Suspend();  // a script's suspension does not survive a cancelled dialog
  rig.control.PromptSnapshot();
  EXPECT_EQ(rig.log, (std::vector<std::string>{"suspend", "suspend", "chooseSaveFile", "resume"}));
}

TEST(ControlWindow, CopyPositionPutsTheTextAPresetReadsBack) {
  ControlRig rig;
  rig.engine->position = {0.5f, 0.1f, -0.05f, 1.0f};
  EXPECT_TRUE(rig.control.runCommand(static_cast<std::int32_t>(ControlCommand::CopyPosition)));
  EXPECT_EQ(rig.ui.clipboard, "0.50;0.10,-0.05;1.00;");
  EXPECT_EQ(parsePreset(rig.ui.clipboard), rig.engine->position);
}

TEST(ControlWindow, PaintPlanIsWhiteWithAGreyBorderAndTheLatestFrame) {
  ControlRig rig;
  rig.control.load(bagOf({{"startImage", "x"}}));  // project text: the default
  PaintPlan plan;
  ControlRig blank;  // no project text at all
  blank.control.paint(320, 200, plan);
  EXPECT_EQ(plan.fillColour, 0xFFFFFFu);
  EXPECT_EQ(plan.borderColour, 0x9E9E9Eu);
  EXPECT_EQ(plan.fill.width, 320);
  EXPECT_EQ(plan.fill.height, 200);
  EXPECT_EQ(plan.border.x, 0);
  EXPECT_EQ(plan.border.y, 0);
  EXPECT_EQ(plan.border.width, 320);
  EXPECT_EQ(plan.border.height, 200);
  EXPECT_FALSE(plan.hasFrame);
  EXPECT_TRUE(blank.engine->events.empty());

  const std::vector<std::uint32_t> pixels{1, 2, 3, 4, 5, 6};
  EXPECT_EQ(rig.control.deliverFrame(pixels.data(), 3, 2), 0);
  EXPECT_EQ(rig.ui.repaints.load(), 1);
  rig.control.paint(320, 200, plan);
  ASSERT_TRUE(plan.hasFrame);
  EXPECT_EQ(plan.frame.width, 3);
  EXPECT_EQ(plan.frame.height, 2);
  EXPECT_EQ(plan.frame.pixels, pixels);
  // With a frame to paint the engine is left alone: asking it for a frame on
  // every paint would make each frame cause another.
  EXPECT_TRUE(rig.engine->events.empty());
  rig.control.onDestroy();
  rig.engine->events.clear();
  rig.control.paint(320, 200, plan);
  EXPECT_FALSE(plan.hasFrame);
  EXPECT_EQ(rig.engine->events, (std::vector<PostedEvent>{{WindowEvent::Repaint, 0, 0}}));

  rig.ui.window = false;  // no window: frames are dropped
  EXPECT_EQ(rig.control.deliverFrame(pixels.data(), 2, 3), -1);
  rig.ui.window = true;
  EXPECT_EQ(rig.control.deliverFrame(nullptr, 3, 2), -1);
  rig.control.onDestroy();
  rig.control.paint(320, 200, plan);
  EXPECT_FALSE(plan.hasFrame);
}

// ---- Project files ------------------------------------------------------------------

TEST(ControlFiles, OpenProjectIsOfferedOnlyWhereTheHostSaysSo) {
  ControlRig rig;
  EXPECT_EQ(rig.control.menu().data(), VistelControl::contextMenu().data());
  EXPECT_FALSE(rig.control.runCommand(static_cast<std::int32_t>(ControlCommand::OpenProject)));
  rig.control.onDropFile("/tmp/any.xml");
  EXPECT_EQ(rig.control.openProjectFile("/tmp/any.xml"), OpenProjectResult::Refused);
  EXPECT_TRUE(rig.log.empty());
  EXPECT_TRUE(rig.engine->loaded.empty());

  rig.control.setProjectOpening(ProjectOpening::Offered);
  std::vector<std::pair<std::int32_t, std::string>> items;
  for (const auto& item : rig.control.menu()) items.emplace_back(item.command, item.label);
  EXPECT_EQ(items, (std::vector<std::pair<std::int32_t, std::string>>{
                       {0x8000, "Zoom in"},
                       {0x8001, "Zoom out"},
                       {4, "Maximize view"},
                       {0, ""},
                       {5, "Open project..."},
                       {3, "Save snapshot..."},
                       {0, ""},
                       {1, "About Vistel Panorama viewer..."}}));
  rig.ui.menuChoice = 5;  // chosen, then cancelled in the chooser
  rig.control.onRightButtonUp(1, 1);
  EXPECT_EQ(rig.log,
            (std::vector<std::string>{"release", "menu at 1001,2001",
                                      "chooseOpenFile Vistel project|*.xml;|All files|*;|"}));
  EXPECT_TRUE(rig.engine->loaded.empty());
}

TEST(ControlFiles, AnOpenedProjectShowsWithPicturesFromItsFolderAndABadOneChangesNothing) {
  const auto dir = test::scratchDir("control-open");
  const std::string good = (dir / "sub" / "good.xml").string();
  const std::string text = "<quilo startview=\"a\"><view id=\"a\"/></quilo>";
  ASSERT_TRUE(test::writeFile(good, text));
  ControlRig rig;
  rig.control.setProjectOpening(ProjectOpening::Offered);
  rig.control.load(bagOf({{"Project", "<quilo startview=\"first\"/>"}}));

  rig.ui.openPath = good;
  EXPECT_TRUE(rig.control.runCommand(static_cast<std::int32_t>(ControlCommand::OpenProject)));
  EXPECT_EQ(rig.engine->loaded.back(), text);
  EXPECT_EQ(rig.engine->loadedBases.back(), (dir / "sub").string());
  EXPECT_EQ(rig.control.projectText(), text);
  EXPECT_EQ(rig.log.back(), "opened " + good);
  rig.control.onCreate();  // a window made again shows the opened project, from its folder
  EXPECT_EQ(rig.engine->loadedBases.back(), (dir / "sub").string());

  // Nothing to read, and a file that is no project: a message, and the
  // project shown (and kept) stays.
  const std::size_t loads = rig.engine->loaded.size();
  rig.log.clear();
  for (const std::string& missing : {(dir / "absent.xml").string(), dir.string()}) {
    EXPECT_EQ(rig.control.openProjectFile(missing), OpenProjectResult::Unreadable);
  }
  EXPECT_EQ(rig.engine->loaded.size(), loads);
  ASSERT_TRUE(test::writeFile(dir / "bad.xml", "<html/>"));
  rig.engine->loads = false;
  rig.control.onDropFile((dir / "bad.xml").string());
  EXPECT_EQ(rig.engine->loaded.back(), "<html/>");
  EXPECT_EQ(rig.control.projectText(), text);
  ASSERT_EQ(rig.log.size(), 3u);
  for (const std::string& line : rig.log) {
    EXPECT_TRUE(line.starts_with("message Open project: ")) << line;
    EXPECT_TRUE(line.ends_with("The project shown stays.")) << line;
  }
  EXPECT_NE(rig.log[0].find("absent.xml"), std::string::npos) << rig.log[0];
  EXPECT_NE(rig.log[2].find("is not a Vistel project"), std::string::npos) << rig.log[2];

  rig.engine->loads = true;  // a dropped project opens like a chosen one
  rig.control.onDropFile(good);
  EXPECT_EQ(rig.log.back(), "opened " + good);
}

}  // namespace
}  // namespace vistel
