// The viewer's command line and main window.
#include "viewer_options.h"

#include <gtest/gtest.h>

#include <QMenuBar>
#include <QTest>
#include <QToolBar>

#include "qt_test_app.h"
#include "support/test_paths.h"
#include "viewer_window.h"
#include "vistel/widget/frame_view.h"

namespace vistel {
namespace {

using Params = std::vector<std::pair<std::string, std::string>>;

std::optional<ViewerOptions> parse(std::vector<std::string> args, std::string* error = nullptr) {
  std::string why;
  auto options = parseViewerArguments(args, why);
  if (error != nullptr) *error = why;
  if (!options) {
    EXPECT_FALSE(why.empty());
  }
  return options;
}

TEST(ViewerOptions, ReadsProjectPropertiesInOrderAndSize) {
  const auto dir = test::scratchDir("viewer_params");
  ASSERT_TRUE(test::writeFile(dir / "cams.txt",
                              "# cameras\r\ntopCameraAddress=http://a/x?b=1&c=2\r\n\r\n"
                              "FPS=5\nPreset1=0.5;0.1,0.2;2;"));
  const auto options =
      parse({"--param", "FPS=1", "demo.xml", "--params", (dir / "cams.txt").string(), "--param",
             "Project=", "--size", "320x200"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->project, "demo.xml");
  EXPECT_EQ(options->params, (Params{{"FPS", "1"},
                                     {"topCameraAddress", "http://a/x?b=1&c=2"},
                                     {"FPS", "5"},
                                     {"Preset1", "0.5;0.1,0.2;2;"},
                                     {"Project", ""}}));
  EXPECT_EQ(options->width, 320);
  EXPECT_EQ(options->height, 200);
  EXPECT_FALSE(options->help);

  const auto plain = parse({});
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->project.empty());
  EXPECT_EQ(plain->width, ViewerOptions::kDefaultWidth);
  const auto dashed = parse({"--", "--odd.xml"});
  ASSERT_TRUE(dashed);
  EXPECT_EQ(dashed->project, "--odd.xml");
}

TEST(ViewerOptions, RefusesMalformedArguments) {
  const auto dir = test::scratchDir("viewer_bad_params");
  ASSERT_TRUE(test::writeFile(dir / "bad.txt", "FPS=5\nno equals sign\n"));
  ASSERT_TRUE(test::writeFile(dir / "big.txt",
                              std::string(ViewerOptions::kMaxParamsFileBytes + 1, '#')));
  std::string error;
  EXPECT_FALSE(parse({"--params", (dir / "bad.txt").string()}, &error));
  EXPECT_NE(error.find("bad.txt:2:"), std::string::npos) << error;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--param", "=x"},
           {"--param", "novalue"},
           {"--param"},
           {"--params", (dir / "missing.txt").string()},
           {"--params", (dir / "big.txt").string()},
           {"--size", "15x100"},
           {"--size", "100x16385"},
           {"--size", "100x"},
           {"--size", "100x100x"},
           {"a.xml", "b.xml"},
           {"--fullscreen"}}) {
    EXPECT_FALSE(parse(args)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
  }
}

TEST(ViewerWindow, HasOnlyTheViewAtTheAskedSizeAndNamesTheProject) {
  test::qtApp();
  EXPECT_EQ(viewerWindowTitle(""), "Vistel");
  ViewerOptions options;
  options.project = "examples/demo/demo.xml";
  options.width = 300;
  options.height = 200;
  ViewerWindow window(options);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.windowTitle(), "Vistel - demo.xml");
  EXPECT_EQ(window.view()->size(), QSize(300, 200));
  EXPECT_TRUE(window.findChildren<QMenuBar*>().isEmpty());
  EXPECT_TRUE(window.findChildren<QToolBar*>().isEmpty());
}

}  // namespace
}  // namespace vistel
