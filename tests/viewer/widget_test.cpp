// test-labels: threads
// The viewer widget around a control with a recording engine: window events
// reach the control's handlers, its paint plan and the frames handed over
// from another thread are drawn, and its context menu runs in Qt.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QUrl>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "qt_test_app.h"
#include "support/control_fakes.h"
#include "support/test_paths.h"
#include "vistel/widget/about_box.h"
#include "vistel/widget/vistel_widget.h"

namespace vistel {
namespace {

using test::FakeEngine;
using test::PostedEvent;
using test::qtApp;
using test::waitUntil;

// A FakeEngine that notes in the log, as it goes, whether Stop was the last
// event it got.
class StoppedEngine : public FakeEngine {
 public:
  explicit StoppedEngine(std::vector<std::string>& log) : FakeEngine(log), log_(log) {}
  ~StoppedEngine() override {
    if (!events.empty() && events.back().code == WindowEvent::Stop) log_.push_back("stopped");
  }

 private:
  std::vector<std::string>& log_;
};

// A VistelWidget whose control drives a FakeEngine, inside a window with a
// second widget that can hold the focus.
struct WidgetRig {
  WidgetRig() {
    auto* layout = new QVBoxLayout(&window);
    other = new QLineEdit(&window);
    widget = new VistelWidget(
        [this](VistelControl&) {
          auto made = std::make_unique<StoppedEngine>(log);
          engine = made.get();
          return made;
        },
        &window);
    layout->addWidget(other);
    layout->addWidget(widget);
  }
  // Loads `properties` (NAME=VALUE each) and shows the window at 120 x 140.
  void show(const std::vector<std::string>& properties = {}) {
    PropertyBag bag;
    for (const std::string& p : properties) EXPECT_TRUE(bag.setAssignment(p));
    widget->control().load(bag);
    window.resize(120, 140);
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  ControlView* view() const { return widget->view(); }

  std::vector<std::string> log;
  FakeEngine* engine = nullptr;  // owned by the control
  QWidget window;
  QLineEdit* other;
  VistelWidget* widget;
};

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
void expectWindow(QWidget* view, const std::vector<std::uint32_t>& frame, int fw, int fh) {
  const QImage shot = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(shot.size(), view->size());
  int wrong = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      QRgb want = 0xFFFFFFFFu;
      if (x < fw && y < fh) {
        want = frame[static_cast<std::size_t>(y) * fw + x] | 0xFF000000u;
      } else if (x == 0 || y == 0 || x == shot.width() - 1 || y == shot.height() - 1) {
        want = 0xFF9E9E9Eu;
      }
      if (shot.pixel(x, y) != want && ++wrong <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << " is " << std::hex << shot.pixel(x, y);
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

std::vector<WindowEvent> codes(const std::vector<PostedEvent>& events) {
  std::vector<WindowEvent> out;
  for (const PostedEvent& e : events)
    if (e.code != WindowEvent::Repaint) out.push_back(e.code);
  return out;
}

TEST(VistelWidget, PaintsFramesHandedOverFromAnotherThread) {
  qtApp();
  WidgetRig rig;
  const std::vector<std::uint32_t> one = {0x123456u};
  EXPECT_EQ(rig.widget->control().deliverFrame(one.data(), 1, 1), -1) << "no window yet";
  rig.show({"Project=<quilo/>"});
  PaintCounter counter(rig.view());
  expectWindow(rig.view(), {}, 0, 0);
  // The paint asks the engine for a frame, since a project is set.
  EXPECT_EQ(rig.engine->events.back(), (PostedEvent{WindowEvent::Repaint, 0, 0}));

  // Bytes blue, green, red, unused (left 0, as the renderer leaves it).
  const int fw = 20;
  const int fh = 10;
  std::vector<std::uint32_t> frame(fw * fh);
  for (int i = 0; i < fw * fh; ++i) frame[i] = static_cast<std::uint32_t>(i * 0x010305 & 0xFFFFFF);
  const int before = counter.paints;
  std::int32_t result = 1;
  std::thread engine([&] { result = rig.widget->control().deliverFrame(frame.data(), fw, fh); });
  engine.join();
  EXPECT_EQ(result, 0);
  ASSERT_TRUE(waitUntil([&] { return counter.paints > before; })) << "no repaint was asked for";
  EXPECT_FALSE(counter.offThread);
  expectWindow(rig.view(), frame, fw, fh);

  // Repaint requests from another thread merge into few paints on this one.
  const int settled = counter.paints;
  bool existsThere = false;
  std::thread other([&] {
    existsThere = rig.widget->hostUi().windowExists();
    for (int i = 0; i < 100; ++i) rig.widget->hostUi().repaint();
  });
  other.join();
  EXPECT_TRUE(existsThere);
  ASSERT_TRUE(waitUntil([&] { return counter.paints > settled; }));
  QTest::qWait(50);
  EXPECT_LE(counter.paints - settled, 3);
  EXPECT_FALSE(counter.offThread);
}

void sendMouse(QWidget* to, QEvent::Type type, QPoint at, Qt::MouseButton button) {
  const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? button : Qt::NoButton;
  QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), button, held, {});
  QApplication::sendEvent(to, &event);
}

bool sendWheel(QWidget* to, int delta) {
  QWheelEvent event(QPointF(5, 5), QPointF(to->mapToGlobal(QPoint(5, 5))), QPoint(),
                    QPoint(0, delta), Qt::NoButton, {}, Qt::NoScrollPhase, false);
  QApplication::sendEvent(to, &event);
  return event.isAccepted();
}

TEST(VistelWidget, ForwardsWindowMouseWheelAndKeyEventsToTheControl) {
  qtApp();
  WidgetRig rig;
  rig.show();
  ControlView* view = rig.view();
  const std::vector<WindowEvent> opening = {WindowEvent::Created, WindowEvent::Size,
                                            WindowEvent::Show};
  EXPECT_EQ(codes(rig.engine->events), opening);
  EXPECT_EQ(rig.engine->events[1], (PostedEvent{WindowEvent::Size, view->width(), view->height()}));
  EXPECT_EQ(rig.engine->loaded, std::vector<std::string>{"vistel_project.xml"});
  rig.engine->events.clear();

  rig.other->setFocus();
  ASSERT_TRUE(waitUntil([&] { return rig.other->hasFocus(); }));
  sendMouse(view, QEvent::MouseMove, {7, 8}, Qt::NoButton);
  EXPECT_TRUE(view->hasFocus()) << "a move over the view takes the focus";
  sendMouse(view, QEvent::MouseButtonPress, {10, 11}, Qt::LeftButton);
  EXPECT_EQ(QWidget::mouseGrabber(), view);
  sendMouse(view, QEvent::MouseButtonRelease, {12, 13}, Qt::LeftButton);
  EXPECT_EQ(QWidget::mouseGrabber(), nullptr);
  sendMouse(view, QEvent::MouseButtonPress, {20, 21}, Qt::RightButton);
  EXPECT_EQ(QWidget::mouseGrabber(), view);

  bool menuShown = false;
  test::whenPopupOpens([&](QWidget* popup) {
    menuShown = true;
    EXPECT_NE(QWidget::mouseGrabber(), view) << "capture released before the menu";
    popup->close();
  });
  sendMouse(view, QEvent::MouseButtonRelease, {22, 23}, Qt::RightButton);
  EXPECT_TRUE(menuShown);
  const QPoint screen = view->mapToGlobal(QPoint(22, 23));

  rig.engine->position.zoomFactor = 1.0f;
  EXPECT_TRUE(sendWheel(view, 119));  // handled, but less than a notch
  EXPECT_TRUE(rig.engine->zooms.empty());
  EXPECT_TRUE(sendWheel(view, 240));
  ASSERT_EQ(rig.engine->zooms.size(), 1u);
  EXPECT_FLOAT_EQ(rig.engine->zooms[0], 1.0f + 0.16666667f * 2.0f);

  QTest::keyClick(view, Qt::Key_A);
  QTest::keyClick(view, Qt::Key_Tab);
  EXPECT_TRUE(view->hasFocus()) << "Tab reaches the control instead of moving the focus";

  const std::vector<PostedEvent> expected = {{WindowEvent::PointerMove, 7, 8},
                                             {WindowEvent::PointerDown, 10, 11},
                                             {WindowEvent::PointerUp, 12, 13},
                                             {WindowEvent::SecondaryDown, 20, 21},
                                             {WindowEvent::SecondaryUp, screen.x(), screen.y()},
                                             {WindowEvent::KeyDown, Qt::Key_A, 0},
                                             {WindowEvent::KeyUp, Qt::Key_A, 0},
                                             {WindowEvent::KeyDown, Qt::Key_Tab, 0},
                                             {WindowEvent::KeyUp, Qt::Key_Tab, 0}};
  std::vector<PostedEvent> seen;
  for (const PostedEvent& e : rig.engine->events)
    if (e.code != WindowEvent::Repaint) seen.push_back(e);
  EXPECT_EQ(seen, expected);

  rig.engine->events.clear();
  rig.window.hide();
  EXPECT_EQ(codes(rig.engine->events), std::vector<WindowEvent>{WindowEvent::Show});
  EXPECT_EQ(rig.engine->events.back(), (PostedEvent{WindowEvent::Show, 0, 0}));
  delete rig.widget;  // the window goes: Stop, then the engine with the control
  EXPECT_EQ(rig.log.back(), "stopped");
}

// Opens the context menu with a right click, checks its entries, and chooses
// the entry labelled `label` with the keyboard.
void chooseFromMenu(WidgetRig& rig, const QString& label) {
  bool chosen = false;
  test::whenPopupOpens([&](QWidget* popup) {
    auto* menu = qobject_cast<QMenu*>(popup);
    ASSERT_NE(menu, nullptr);
    QStringList entries;
    for (QAction* a : menu->actions()) entries << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(entries, QStringList({"Zoom in", "Zoom out", "Maximize view", "-", "Save snapshot...",
                                    "-", "About Vistel Panorama viewer..."}));
    for (QAction* a : menu->actions()) {
      if (a->text() == label) {
        menu->setActiveAction(a);
        chosen = true;
      }
    }
    QTest::keyClick(menu, Qt::Key_Return);
  });
  sendMouse(rig.view(), QEvent::MouseButtonPress, {30, 40}, Qt::RightButton);
  sendMouse(rig.view(), QEvent::MouseButtonRelease, {30, 40}, Qt::RightButton);
  EXPECT_TRUE(chosen) << label.toStdString();
}

TEST(VistelWidget, RunsEachContextMenuCommandAfterTheMenuCloses) {
  qtApp();
  WidgetRig rig;
  rig.show({"Project=<quilo/>"});
  rig.engine->position = {0.25f, 0.1f, -0.1f, 3.0f};

  chooseFromMenu(rig, "Zoom in");
  chooseFromMenu(rig, "Zoom out");
  chooseFromMenu(rig, "Maximize view");
  ASSERT_EQ(rig.engine->positions.size(), 3u);
  EXPECT_EQ(rig.engine->positions[0].target, (ViewPosition{0.25f, 0.1f, -0.1f, 4.0f}));
  EXPECT_FALSE(rig.engine->positions[0].usePresetTime);
  EXPECT_FLOAT_EQ(rig.engine->positions[1].target.zoomFactor, 1.5f);
  EXPECT_EQ(rig.engine->positions[2].target, (ViewPosition{0.5f, 0.0f, 0.0f, 0.24f}));
  EXPECT_TRUE(rig.engine->positions[2].usePresetTime);

  const std::filesystem::path dir = test::scratchDir("viewer_menu_snapshot");
  test::whenModalOpens<QFileDialog>([&dir](QFileDialog* d) {
    EXPECT_EQ(d->defaultSuffix(), "jpg");
    test::typeFileName(d, QString::fromStdString(dir.string()), "shot");
    static_cast<QDialog*>(d)->accept();  // QFileDialog hides it
  });
  chooseFromMenu(rig, "Save snapshot...");
  // The wait cursor is Qt's here, so the log has the engine's calls only.
  EXPECT_EQ(rig.log, (std::vector<std::string>{
                         "suspend", "saveSnapshot " + (dir / "shot.jpg").string(), "resume"}));

  bool aboutShown = false;
  test::whenModalOpens<AboutBox>([&](AboutBox* box) {
    aboutShown = true;
    box->reject();
  });
  chooseFromMenu(rig, "About Vistel Panorama viewer...");
  EXPECT_TRUE(aboutShown);
}

TEST(VistelWidget, CtrlCCopiesThePositionAsAPresetText) {
  qtApp();
  WidgetRig rig;
  rig.show({"Project=<quilo/>"});
  rig.engine->position = {0.25f, 0.1f, -0.05f, 3.0f};
  QGuiApplication::clipboard()->clear();
  QTest::keyClick(rig.view(), Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "0.25;0.10,-0.05;3.00;");
  // The press still reaches the engine as a key event.
  const PostedEvent press{WindowEvent::KeyDown, Qt::Key_C, static_cast<int>(Qt::ControlModifier)};
  EXPECT_NE(std::find(rig.engine->events.begin(), rig.engine->events.end(), press),
            rig.engine->events.end());
}

// Drags `file` over the view and drops it; whether the view took the drag.
bool dropFile(QWidget* view, const std::filesystem::path& file) {
  QMimeData data;
  data.setUrls({QUrl::fromLocalFile(QString::fromStdString(file.string()))});
  const QPoint at(10, 10);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(view, &drop);
  return drop.isAccepted();
}

TEST(VistelWidget, OpensProjectFilesFromTheMenuAndByDropWhereOffered) {
  qtApp();
  const auto dir = test::scratchDir("widget_open");
  ASSERT_TRUE(test::writeFile(dir / "other.xml", "<quilo startview=\"b\"/>"));
  ASSERT_TRUE(test::writeFile(dir / "dropped.xml", "<quilo startview=\"c\"/>"));
  WidgetRig rig;
  rig.show({"Project=<quilo/>"});
  EXPECT_FALSE(dropFile(rig.view(), dir / "dropped.xml")) << "not offered: no drops";

  rig.widget->control().setProjectOpening(ProjectOpening::Offered);
  QStringList opened;
  QObject::connect(rig.widget, &VistelWidget::projectOpened,
                   [&opened](const QString& path) { opened << path; });
  bool chosen = false;
  test::whenPopupOpens([&](QWidget* popup) {
    auto* menu = qobject_cast<QMenu*>(popup);
    ASSERT_NE(menu, nullptr);
    for (QAction* a : menu->actions()) {
      if (a->text() == "Open project...") {
        menu->setActiveAction(a);
        chosen = true;
      }
    }
    QTest::keyClick(menu, Qt::Key_Return);
  });
  test::whenModalOpens<QFileDialog>([&dir](QFileDialog* d) {
    EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptOpen);
    test::typeFileName(d, QString::fromStdString(dir.string()), "other.xml");
    static_cast<QDialog*>(d)->accept();
  });
  sendMouse(rig.view(), QEvent::MouseButtonPress, {30, 40}, Qt::RightButton);
  sendMouse(rig.view(), QEvent::MouseButtonRelease, {30, 40}, Qt::RightButton);
  EXPECT_TRUE(chosen);
  EXPECT_EQ(rig.engine->loaded.back(), "<quilo startview=\"b\"/>");

  EXPECT_TRUE(dropFile(rig.view(), dir / "dropped.xml"));
  ASSERT_TRUE(waitUntil([&] { return opened.size() == 2; })) << "the drop opened nothing";
  EXPECT_EQ(rig.engine->loaded.back(), "<quilo startview=\"c\"/>");
  EXPECT_EQ(opened, QStringList({QString::fromStdString((dir / "other.xml").string()),
                                 QString::fromStdString((dir / "dropped.xml").string())}));

  // A file that holds no project: the user is told, and the project stays.
  ASSERT_TRUE(test::writeFile(dir / "notes.txt", "shopping list"));
  rig.engine->loads = false;
  QString told;
  test::whenModalOpens<QMessageBox>([&told](QMessageBox* box) {
    told = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_TRUE(dropFile(rig.view(), dir / "notes.txt"));
  ASSERT_TRUE(waitUntil([&] { return !told.isEmpty(); }));
  EXPECT_TRUE(told.contains("is not a Vistel project")) << told.toStdString();
  EXPECT_EQ(rig.widget->control().projectText(), "<quilo startview=\"c\"/>");
  EXPECT_EQ(opened.size(), 2);
}

}  // namespace
}  // namespace vistel
