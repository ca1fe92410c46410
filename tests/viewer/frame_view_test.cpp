// test-labels: threads
// The view paints frames handed over from other threads and reports its
// window's events in the control's terms.
#include "vistel/widget/frame_view.h"

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMouseEvent>
#include <QTest>
#include <QThread>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <atomic>
#include <thread>
#include <vector>

#include "qt_test_app.h"
#include "vistel/widget/qt_host_ui.h"

namespace vistel {
namespace {

using test::qtApp;
using test::waitUntil;

// Counts paint events of one widget and notes whether any came on another
// thread than the application's.
class PaintCounter : public QObject {
 public:
  explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
  std::atomic<int> paints{0};
  std::atomic<bool> offThread{false};

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) {
      ++paints;
      if (QThread::currentThread() != qtApp().thread()) offThread = true;
    }
    return QObject::eventFilter(watched, event);
  }
};

// The expected window: the frame at the top-left over white with a grey border.
QRgb expectedPixel(int x, int y, int w, int h, const std::vector<std::uint32_t>& frame, int fw,
                   int fh) {
  if (x < fw && y < fh) return frame[static_cast<std::size_t>(y) * fw + x] | 0xFF000000u;
  if (x == 0 || y == 0 || x == w - 1 || y == h - 1) return 0xFF9E9E9Eu;
  return 0xFFFFFFFFu;
}

void expectWindow(FrameView& view, const std::vector<std::uint32_t>& frame, int fw, int fh) {
  const QImage shot = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), view.size());
  int wrong = 0;
  for (int y = 0; y < shot.height(); ++y)
    for (int x = 0; x < shot.width(); ++x)
      if (shot.pixel(x, y) != expectedPixel(x, y, shot.width(), shot.height(), frame, fw, fh) &&
          ++wrong <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << shot.pixel(x, y);
      }
  EXPECT_EQ(wrong, 0);
}

TEST(FrameView, PaintsAFrameFromAnotherThreadAtTheTopLeftOverTheEmptyWindow) {
  qtApp();
  FrameView view;
  const std::vector<std::uint32_t> one = {0x00123456u};
  EXPECT_EQ(view.presentFrame(one.data(), 1, 1), -1) << "no window yet";
  view.resize(64, 48);
  view.show();
  ASSERT_TRUE(waitUntil([&] { return view.windowExists(); }));
  PaintCounter counter(&view);
  expectWindow(view, {}, 0, 0);

  // Bytes blue, green, red, unused (left 0, as the renderer leaves it).
  const int fw = 20;
  const int fh = 10;
  std::vector<std::uint32_t> frame(fw * fh);
  for (int i = 0; i < fw * fh; ++i) frame[i] = static_cast<std::uint32_t>(i * 0x010305 & 0xFFFFFF);
  int result = 1;
  std::thread engine([&] { result = view.presentFrame(frame.data(), fw, fh); });
  engine.join();
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(waitUntil([&] { return counter.paints > 0; })) << "no repaint was asked for";
  EXPECT_FALSE(counter.offThread);
  expectWindow(view, frame, fw, fh);

  EXPECT_EQ(view.presentFrame(frame.data(), 0, fh), -1);
  EXPECT_EQ(view.presentFrame(frame.data(), FrameView::kMaxFrameSide + 1, 1), -1);
  EXPECT_EQ(view.presentFrame(nullptr, fw, fh), -1);
  expectWindow(view, frame, fw, fh);  // refused frames change nothing
  view.clearFrame();
  expectWindow(view, {}, 0, 0);
}

TEST(FrameView, RepaintFromAnotherThreadPaintsOnTheUserInterfaceThread) {
  qtApp();
  FrameView view;
  QtHostUi ui(&view);
  EXPECT_FALSE(ui.windowExists());
  view.resize(32, 32);
  view.show();
  ASSERT_TRUE(waitUntil([&] { return view.windowExists(); }));
  QCoreApplication::processEvents();
  PaintCounter counter(&view);
  bool existsThere = false;
  std::thread engine([&] {
    existsThere = ui.windowExists();
    for (int i = 0; i < 100; ++i) ui.repaint();
  });
  engine.join();
  EXPECT_TRUE(existsThere);
  ASSERT_TRUE(waitUntil([&] { return counter.paints > 0; }));
  EXPECT_FALSE(counter.offThread);
  // Requests made before the repaint merged into few paints.
  QTest::qWait(50);
  EXPECT_LE(counter.paints, 3);
}

// Everything a view reports, one line an event.
class Recorder : public WindowEvents {
 public:
  std::vector<std::string> seen;
  bool handleWheel = true;
  void windowCreated() override { seen.push_back("created"); }
  void windowDestroyed() override { seen.push_back("destroyed"); }
  void windowShown(bool shown) override { seen.push_back(shown ? "shown" : "hidden"); }
  void windowResized(int w, int h) override { add("size", w, h); }
  void keyDown(int key, int flags) override { add("keydown", key, flags); }
  void keyUp(int key, int flags) override { add("keyup", key, flags); }
  void pointerDown(int x, int y) override { add("down", x, y); }
  void pointerUp(int x, int y) override { add("up", x, y); }
  void pointerMove(int x, int y) override { add("move", x, y); }
  void secondaryDown(int x, int y) override { add("rdown", x, y); }
  void secondaryUp(int x, int y) override { add("rup", x, y); }
  bool wheel(int delta) override {
    add("wheel", delta, 0);
    return handleWheel;
  }
  void painted() override { paints++; }
  int paints = 0;

 private:
  void add(const char* what, int a, int b) {
    seen.push_back(std::string(what) + " " + std::to_string(a) + " " + std::to_string(b));
  }
};

void send(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButton button) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? button : Qt::NoButton;
  QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), button, held, {});
  QApplication::sendEvent(to, &event);
}

TEST(FrameView, ReportsWindowMouseWheelAndKeyEvents) {
  qtApp();
  Recorder events;
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* other = new QLineEdit(&window);
  auto* view = new FrameView(&window);
  view->setWindowEvents(&events);
  layout->addWidget(other);
  layout->addWidget(view);
  window.resize(120, 140);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  ASSERT_GE(events.seen.size(), 3u);
  EXPECT_EQ(events.seen[0], "created");
  EXPECT_EQ(events.seen[1].rfind("size ", 0), 0u) << events.seen[1];
  EXPECT_EQ(events.seen[1], "size " + std::to_string(view->width()) + " " +
                                std::to_string(view->height()));
  EXPECT_EQ(events.seen[2], "shown");
  EXPECT_GT(events.paints, 0);
  events.seen.clear();

  other->setFocus();
  ASSERT_TRUE(waitUntil([&] { return other->hasFocus(); }));
  send(view, QEvent::MouseMove, {7, 8}, Qt::NoButton);
  EXPECT_TRUE(view->hasFocus()) << "a move over the view takes the focus";
  send(view, QEvent::MouseButtonPress, {10, 11}, Qt::LeftButton);
  EXPECT_EQ(QWidget::mouseGrabber(), view);
  send(view, QEvent::MouseButtonRelease, {12, 13}, Qt::LeftButton);
  EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
  send(view, QEvent::MouseButtonPress, {20, 21}, Qt::RightButton);
  EXPECT_EQ(QWidget::mouseGrabber(), view);
  send(view, QEvent::MouseButtonRelease, {22, 23}, Qt::RightButton);
  EXPECT_EQ(QWidget::mouseGrabber(), nullptr);

  QWheelEvent notch(QPointF(5, 5), QPointF(view->mapToGlobal(QPoint(5, 5))), QPoint(),
                    QPoint(0, -240), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view, &notch);
  EXPECT_TRUE(notch.isAccepted());
  events.handleWheel = false;
  QWheelEvent huge(QPointF(5, 5), QPointF(view->mapToGlobal(QPoint(5, 5))), QPoint(),
                   QPoint(0, 100000), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  QApplication::sendEvent(view, &huge);
  EXPECT_FALSE(huge.isAccepted()) << "unhandled wheel goes on to the parent";

  QTest::keyClick(view, Qt::Key_A, Qt::ShiftModifier);
  QTest::keyClick(view, Qt::Key_Tab);
  EXPECT_TRUE(view->hasFocus()) << "Tab reaches the control instead of moving the focus";

  const int shift = static_cast<int>(Qt::ShiftModifier);
  const std::vector<std::string> expected = {
      "move 7 8",        "down 10 11",
      "up 12 13",        "rdown 20 21",
      "rup 22 23",       "wheel -240 0",
      "wheel 32767 0",   "keydown " + std::to_string(Qt::Key_Shift) + " " + std::to_string(shift),
      "keydown " + std::to_string(Qt::Key_A) + " " + std::to_string(shift),
      "keyup " + std::to_string(Qt::Key_A) + " " + std::to_string(shift),
      "keyup " + std::to_string(Qt::Key_Shift) + " 0",
      "keydown " + std::to_string(Qt::Key_Tab) + " 0",
      "keyup " + std::to_string(Qt::Key_Tab) + " 0"};
  EXPECT_EQ(events.seen, expected);

  events.seen.clear();
  window.hide();
  delete view;
  EXPECT_EQ(events.seen, (std::vector<std::string>{"hidden", "destroyed"}));
}

}  // namespace
}  // namespace vistel
