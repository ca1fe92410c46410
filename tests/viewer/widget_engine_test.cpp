// test-labels: threads
// The viewer widget with the real viewer engine on the demo project: what it
// paints is the engine's picture, a click travels, the wheel zooms, and a
// snapshot is a JPEG of the window's size.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QImageReader>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>
#include <cmath>
#include <unordered_set>

#include "qt_test_app.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/widget/vistel_widget.h"

namespace vistel {
namespace {

using test::qtApp;
using test::waitUntil;

constexpr int kWidth = 160;
constexpr int kHeight = 120;

// The demo shown in a VistelWidget of kWidth x kHeight, pictures loaded.
struct DemoViewer {
  DemoViewer() {
    qtApp();
    ViewerEngineOptions options;
    options.fileBase = (test::sourceDir() / "examples/demo").string();
    widget = std::make_unique<VistelWidget>(viewerEngineFactory(options));
    PropertyBag properties;
    EXPECT_TRUE(
        properties.set("Project", test::readFile(test::sourceDir() / "examples/demo/demo.xml")));
    widget->control().load(properties);
    widget->resize(kWidth, kHeight);
    widget->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(widget.get()));
    EXPECT_TRUE(waitUntil([&] { return settledFrame(); }, 20000)) << "the demo never showed";
  }

  // True once the latest frame has the window's size, shows a picture (many
  // colours, not the blank frame) and the one before it was the same.
  bool settledFrame() {
    FrameCopy now;
    if (!widget->control().copyLatestFrame(now) || now.width != kWidth || now.height != kHeight) {
      return false;
    }
    const std::unordered_set<std::uint32_t> colours(now.pixels.begin(), now.pixels.end());
    const bool same = colours.size() > 500 && now.pixels == last.pixels;
    last = std::move(now);
    return same;
  }

  float zoom() { return widget->control().GetZoomFactor(); }

  std::unique_ptr<VistelWidget> widget;
  FrameCopy last;
};

TEST(VistelWidgetOnTheEngine, PaintsTheDemoAsTheEngineRenderedIt) {
  DemoViewer demo;
  ASSERT_FALSE(demo.last.pixels.empty());
  ControlView* view = demo.widget->view();
  view->repaint();  // draws the latest frame now
  const QImage shot = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), QSize(kWidth, kHeight));
  int wrong = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      wrong += shot.pixel(x, y) != (demo.last.pixels[y * kWidth + x] | 0xFF000000u);
  EXPECT_EQ(wrong, 0);
}

TEST(VistelWidgetOnTheEngine, ClickTravelsAndWheelZoomsAtOnce) {
  DemoViewer demo;
  ControlView* view = demo.widget->view();
  const float zoom = demo.zoom();
  ASSERT_GT(zoom, 0.0f);
  QWheelEvent notch(QPointF(5, 5), QPointF(view->mapToGlobal(QPoint(5, 5))), QPoint(),
                    QPoint(0, 120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view, &notch);
  EXPECT_FLOAT_EQ(demo.zoom(), std::min(4.0f, zoom + zoom * 0.16666667f));

  VistelControl& control = demo.widget->control();
  const float progress = control.GetBlendFactor();
  const float x = control.GetXOffset();
  const float y = control.GetYOffset();
  const QPoint at(kWidth * 3 / 4, kHeight * 3 / 4);
  for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
    QMouseEvent click(type, QPointF(at), QPointF(view->mapToGlobal(at)), Qt::LeftButton,
                      type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, {});
    QApplication::sendEvent(view, &click);
  }
  EXPECT_TRUE(waitUntil(
      [&] {
        return control.GetBlendFactor() != progress || control.GetXOffset() != x ||
               control.GetYOffset() != y;
      },
      10000))
      << "the click started no motion";
}

TEST(VistelWidgetOnTheEngine, SnapshotThroughTheChooserWritesAJpegOfTheWindowSize) {
  DemoViewer demo;
  const std::filesystem::path dir = test::scratchDir("viewer_engine_snapshot");
  test::whenModalOpens<QFileDialog>([&dir](QFileDialog* d) {
    test::typeFileName(d, QString::fromStdString(dir.string()), "demo");
    static_cast<QDialog*>(d)->accept();  // QFileDialog hides it
  });
  demo.widget->control().PromptSnapshot();
  QImageReader reader(QString::fromStdString((dir / "demo.jpg").string()));
  EXPECT_EQ(reader.format(), "jpeg");
  EXPECT_EQ(reader.size(), QSize(kWidth, kHeight));
}

TEST(VistelWidgetOnTheEngine, AnOpenedProjectShowsThePicturesBesideIt) {
  DemoViewer demo;
  VistelControl& control = demo.widget->control();
  control.setProjectOpening(ProjectOpening::Offered);
  const auto dir = test::scratchDir("viewer_engine_open");
  // A magenta picture named relative to its project, in a folder that is
  // neither the demo's nor the current one.
  const std::vector<std::uint8_t> magenta = [] {
    std::vector<std::uint8_t> rgb(64 * 48 * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) rgb[i] = rgb[i + 2] = 255;
    return rgb;
  }();
  ASSERT_TRUE(test::writeFile(dir / "pictures" / "pic.jpg", test::encodeTestJpeg(magenta, 64, 48)));
  ASSERT_TRUE(test::writeFile(
      dir / "pictures" / "one.xml",
      "<quilo startview='a'><view id='a' src='file://pic.jpg' lens='none'/></quilo>"));
  auto centre = [&] {
    FrameCopy now;
    if (!control.copyLatestFrame(now)) return 0u;
    return now.pixels[static_cast<std::size_t>(kHeight / 2 * kWidth + kWidth / 2)] & 0xFFFFFFu;
  };
  auto isMagenta = [](std::uint32_t p) {
    return (p >> 16) > 200 && ((p >> 8) & 0xFF) < 60 && (p & 0xFF) > 200;
  };

  EXPECT_EQ(control.openProjectFile((dir / "pictures" / "one.xml").string()),
            OpenProjectResult::Opened);
  EXPECT_TRUE(waitUntil([&] { return isMagenta(centre()); }, 20000))
      << "the picture beside the project never showed; the centre is " << std::hex << centre();
}

}  // namespace
}  // namespace vistel
