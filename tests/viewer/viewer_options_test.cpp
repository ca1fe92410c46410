// The viewer's command line and main window.
#include "viewer_options.h"

#include <gtest/gtest.h>

#include <QMenuBar>
#include <QTest>
#include <QToolBar>

#include "qt_test_app.h"
#include "support/control_fakes.h"
#include "support/test_paths.h"
#include "viewer_window.h"
#include "vistel/widget/vistel_widget.h"

namespace vistel {
namespace {

std::optional<ViewerOptions> parse(std::vector<std::string> args, std::string* error = nullptr,
                                   const std::filesystem::path& demo = {}) {
  std::string why;
  auto options = parseViewerArguments(args, why, demo);
  if (error != nullptr) *error = why;
  if (!options) {
    EXPECT_FALSE(why.empty());
  }
  return options;
}

std::string property(const ViewerOptions& options, std::string_view name) {
  std::string value = "(absent)";
  (void)options.properties.read(name, value);
  return value;
}

TEST(ViewerOptions, ProjectFileBecomesTheProjectPropertyBesideTheOthers) {
  const auto dir = test::scratchDir("viewer_options");
  ASSERT_TRUE(test::writeFile(dir / "p.xml", "<quilo startview=\"a\"/>"));
  ASSERT_TRUE(test::writeFile(dir / "cams.txt", "# presets\nPreset1=0.5;0.1,0.2;2;\n"));
  const auto options = parse({"--param", "FPS=5", (dir / "p.xml").string(), "--params",
                              (dir / "cams.txt").string(), "--size", "320x200"});
  ASSERT_TRUE(options);
  EXPECT_EQ(options->project, dir / "p.xml");
  EXPECT_EQ(property(*options, "Project"), "<quilo startview=\"a\"/>");
  EXPECT_EQ(property(*options, "FPS"), "5");
  EXPECT_EQ(property(*options, "Preset1"), "0.5;0.1,0.2;2;");
  EXPECT_EQ(options->fileBase, std::filesystem::absolute(dir));
  EXPECT_EQ(options->width, 320);
  EXPECT_EQ(options->height, 200);

  const auto plain = parse({"--param", "topCameraAddress=http://a/x?b=1&c=2"});
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->project.empty());
  EXPECT_EQ(property(*plain, "Project"), "(absent)");
  EXPECT_EQ(property(*plain, "topCameraAddress"), "http://a/x?b=1&c=2");
  EXPECT_EQ(plain->fileBase, std::filesystem::current_path());
  EXPECT_EQ(plain->width, ViewerOptions::kDefaultWidth);
  const auto help = parse({"--help", "missing.xml"});
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
}

TEST(ViewerOptions, WithoutAProjectTheDemoBesideTheExecutableShows) {
  const auto root = test::scratchDir("viewer_demo");
  const auto bin = root / "bin";
  EXPECT_TRUE(findDemoProject(bin).empty());
  EXPECT_NE(viewerUsage().find("not installed"), std::string::npos);
  const auto demo = demoFolder(bin) / "demo.xml";
  ASSERT_TRUE(test::writeFile(demo, "<quilo startview=\"d\"/>"));
  ASSERT_EQ(findDemoProject(bin), demo);
  EXPECT_NE(viewerUsage(demo).find(demo.string()), std::string::npos);

  const auto shown =
      parse({"--param", "FPS=5", "--param", "topCameraAddress=http://a/x"}, nullptr, demo);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->project, demo);
  EXPECT_EQ(property(*shown, "Project"), "<quilo startview=\"d\"/>");
  EXPECT_EQ(shown->fileBase, demo.parent_path());

  // A project of the user's own, in any form, is shown instead.
  const auto dir = test::scratchDir("viewer_not_demo");
  ASSERT_TRUE(test::writeFile(dir / "p.xml", "<quilo/>"));
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {(dir / "p.xml").string()},
           {"--param", "Project=<quilo/>"},
           {"--param", "startImage=file://a.jpg", "--param", "bottomCameraAddress=file://b.jpg"}}) {
    const auto options = parse(args, nullptr, demo);
    ASSERT_TRUE(options) << args[0];
    EXPECT_NE(options->project, demo) << args.back();
  }
}

TEST(ViewerOptions, RefusesMalformedArguments) {
  const auto dir = test::scratchDir("viewer_bad_options");
  ASSERT_TRUE(test::writeFile(dir / "p.xml", "<quilo/>"));
  const std::string project = (dir / "p.xml").string();
  std::string error;
  EXPECT_FALSE(parse({project, "--param", "Project=<quilo/>"}, &error));
  EXPECT_NE(error.find("not both"), std::string::npos) << error;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--param", "novalue"},
                                             {"--params", (dir / "missing.txt").string()},
                                             {(dir / "missing.xml").string()},
                                             {"--size", "15x100"},
                                             {"--size", "100x2048"},
                                             {"--size", "100x"},
                                             {"--size"},
                                             {project, project},
                                             {"--fullscreen"}}) {
    EXPECT_FALSE(parse(args)) << args[0] << " " << (args.size() > 1 ? args[1] : "");
  }
}

TEST(ViewerWindow, HoldsOnlyTheViewerAtTheAskedSizeNamedAfterTheProject) {
  test::qtApp();
  EXPECT_EQ(viewerWindowTitle(""), "Vistel");
  ViewerOptions options;
  options.project = "examples/demo/demo.xml";
  ASSERT_TRUE(options.properties.set("Project", "<quilo/>"));
  options.width = 300;
  options.height = 200;
  ViewerWindow window(options, {});
  EXPECT_EQ(window.viewer()->control().projectText(), "<quilo/>") << "loaded before showing";
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.windowTitle(), "Vistel - demo.xml");
  EXPECT_EQ(window.viewer()->view()->size(), QSize(300, 200));
  EXPECT_TRUE(window.findChildren<QMenuBar*>().isEmpty());
  EXPECT_TRUE(window.findChildren<QToolBar*>().isEmpty());
}

TEST(ViewerWindow, OffersOpeningProjectsAndIsRenamedAfterTheOneOpened) {
  test::qtApp();
  const auto dir = test::scratchDir("viewer_window_open");
  ASSERT_TRUE(test::writeFile(dir / "street.xml", "<quilo startview=\"s\"/>"));
  std::vector<std::string> log;
  ViewerOptions options;
  ViewerWindow window(options,
                      [&log](VistelControl&) { return std::make_unique<test::FakeEngine>(log); });
  EXPECT_EQ(window.windowTitle(), "Vistel");
  VistelControl& control = window.viewer()->control();
  EXPECT_EQ(control.projectOpening(), ProjectOpening::Offered);
  ASSERT_EQ(control.openProjectFile((dir / "street.xml").string()), OpenProjectResult::Opened);
  EXPECT_EQ(window.windowTitle(), "Vistel - street.xml");
}

}  // namespace
}  // namespace vistel
