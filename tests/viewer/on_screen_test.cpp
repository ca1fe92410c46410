// test-labels: process slow
// The real vistel-viewer on a real (virtual) X display: started without a
// project under xvfb-run, so it shows the bundled demo; screenshot taken by a
// separate program, picture checked.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QImage>
#include <cstdlib>
#include <string>
#include <unordered_set>

#include "qt_test_app.h"
#include "support/test_paths.h"

namespace vistel {
namespace {

TEST(ViewerOnScreen, ShowsTheDemoUnderXvfb) {
  if (std::system("command -v xvfb-run >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "xvfb-run is not installed";
  }
  test::qtApp();  // only to read the screenshot
  const std::filesystem::path dir = test::scratchDir("viewer_on_screen");
  const std::filesystem::path shot = dir / "screen.png";
  // Given no project, the viewer shows the demo it finds beside itself. The
  // grabber waits until the screen shows a picture (at most 20 s).
  ASSERT_TRUE(test::writeFile(dir / "run.sh", "'" VISTEL_VIEWER_PATH "' --size 400x300 &\n"
                                              "viewer=$!\n"
                                              "'" VISTEL_SCREEN_GRAB_PATH "' '" +
                                                  shot.string() +
                                                  "' 1000 20000\n"
                                                  "found=$?\n"
                                                  "kill $viewer\n"
                                                  "wait $viewer\n"
                                                  "exit $found\n"));
  const std::string command = "env -u QT_QPA_PLATFORM xvfb-run -a -s '-screen 0 640x480x24' sh '" +
                              (dir / "run.sh").string() + "' >'" + (dir / "log.txt").string() +
                              "' 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << test::readFile(dir / "log.txt");

  const QImage screen =
      QImage(QString::fromStdString(shot.string())).convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(screen.size(), QSize(640, 480));
  // Without a window manager the window sits at the top-left corner.
  std::unordered_set<QRgb> inside;
  std::unordered_set<QRgb> outside;
  for (int y = 0; y < screen.height(); ++y)
    for (int x = 0; x < screen.width(); ++x)
      (x < 400 && y < 300 ? inside : outside).insert(screen.pixel(x, y));
  EXPECT_GT(inside.size(), 1000u) << "the window shows no picture";
  EXPECT_LE(outside.size(), 2u) << "something else is on the screen";
}

}  // namespace
}  // namespace vistel
