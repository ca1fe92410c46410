// test-labels: threads
// vistel-editor's window and pages on the real engine, driven by simulated
// clicks: points picked on previews, a link made from eight clicks (its keys
// read back by `vistel key decode`), views, shapes, presets, the problems
// list and saving (the saved file read back by `vistel inspect`).
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <sstream>
#include <unordered_set>

#include "editor_session.h"
#include "editor_window.h"
#include "engine_preview.h"
#include "links_page.h"
#include "point_layer.h"
#include "presets_page.h"
#include "qt_test_app.h"
#include "shapes_page.h"
#include "support/shell.h"
#include "support/test_paths.h"
#include "views_page.h"
#include "vistel/host/preset_text.h"
#include "vistel/host/vistel_control.h"
#include "vistel/project/encoding.h"
#include "vistel/scene/key_points.h"

namespace vistel {
namespace {

using test::qtApp;
using test::waitUntil;

// The demo's two views without their link, beside copies of its pictures.
std::filesystem::path unlinkedDemo(const std::string& tag) {
  const auto dir = test::scratchDir(tag);
  for (const char* picture : {"left.jpg", "right.jpg"}) {
    std::filesystem::copy_file(test::sourceDir() / "examples/demo" / picture, dir / picture);
  }
  EXPECT_TRUE(test::writeFile(dir / "project.xml",
                              "<quilo startview='left'>\n"
                              "  <view id='left' src='file://left.jpg' lens='kamolens0'/>\n"
                              "  <view id='right' src='file://right.jpg' lens='kamolens1'/>\n"
                              "</quilo>\n"));
  return dir;
}

struct EditorRig {
  explicit EditorRig(const std::filesystem::path& project) {
    EXPECT_TRUE(window.openProject(project));
    window.resize(1300, 950);
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  EditorSession& session() { return window.session(); }
  const ProjectDocument& document() { return window.session().model().document(); }

  QApplication& app = qtApp();  // before the window
  EditorWindow window;
};

// True once the preview shows a picture: many colours, not the blank frame.
bool showsPicture(EnginePreview& preview) {
  FrameCopy frame;
  if (!preview.latestFrame(frame)) return false;
  return std::unordered_set<std::uint32_t>(frame.pixels.begin(), frame.pixels.end()).size() > 500;
}

void press(QWidget* widget, QEvent::Type type, QPointF at, Qt::MouseButton button,
           Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers = {}) {
  QMouseEvent event(type, at, widget->mapToGlobal(at), button, buttons, modifiers);
  QApplication::sendEvent(widget, &event);
}

void click(QWidget* widget, QPointF at, Qt::MouseButton button = Qt::LeftButton) {
  press(widget, QEvent::MouseButtonPress, at, button, button);
  press(widget, QEvent::MouseButtonRelease, at, button, Qt::NoButton);
}

void drag(QWidget* widget, QPointF from, QPointF to, Qt::KeyboardModifiers modifiers = {}) {
  press(widget, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton, modifiers);
  press(widget, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton, modifiers);
  press(widget, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton, modifiers);
}

// The eight numbers `vistel key decode` prints for `text`.
std::vector<double> decodedByCli(const std::string& text) {
  const test::ShellResult r =
      test::runShell(std::string(VISTEL_CLI_PATH) + " key decode '" + text + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);
  std::vector<double> values;
  for (double v; in >> v;) values.push_back(v);
  return values;
}

TEST(EditorPoints, ClicksAddNumberedPointsThatDragAndRightClicksRemove) {
  qtApp();
  EnginePreview preview(QSize(512, 384));
  PointLayer layer(preview, PointLayer::Mode::Key);
  int edits = 0;
  QObject::connect(&layer, &PointLayer::pointsEdited, [&edits] { ++edits; });
  preview.show();
  for (QPointF at : {QPointF(10, 20), QPointF(200, 30), QPointF(210, 150), QPointF(15, 160),
                     QPointF(300, 300)}) {
    click(&layer, at);
  }
  ASSERT_EQ(layer.points().size(), 4u);  // a key takes four
  EXPECT_EQ(edits, 4);
  EXPECT_EQ(layer.points()[2].x, 210);
  EXPECT_EQ(layer.points()[2].y, 150);
  // A point is picked near its pixel; with Ctrl it moves an eighth of the way.
  drag(&layer, QPointF(212, 152), QPointF(252, 112));
  EXPECT_DOUBLE_EQ(layer.points()[2].x, 250);
  EXPECT_DOUBLE_EQ(layer.points()[2].y, 110);
  drag(&layer, QPointF(250, 110), QPointF(290, 70), Qt::ControlModifier);
  EXPECT_DOUBLE_EQ(layer.points()[2].x, 255);
  EXPECT_DOUBLE_EQ(layer.points()[2].y, 105);
  click(&layer, QPointF(201, 31), Qt::RightButton);
  ASSERT_EQ(layer.points().size(), 3u);
  EXPECT_EQ(layer.points()[1].x, 255);

  // A polygon closes when its first vertex is clicked again.
  PointLayer polygon(preview, PointLayer::Mode::Polygon);
  for (QPointF at : {QPointF(50, 50), QPointF(150, 50), QPointF(100, 120), QPointF(51, 49)}) {
    click(&polygon, at);
  }
  EXPECT_TRUE(polygon.closed());
  EXPECT_EQ(polygon.points().size(), 3u);
}

TEST(EditorLinks, EightClicksMakeALinkWhoseKeysAreWhereTheyWereClicked) {
  EditorRig rig(unlinkedDemo("editor_links") / "project.xml");
  LinksPage* page = rig.window.linksPage();
  rig.window.showPage(page);
  page->fromChoice()->setCurrentText("left");
  page->toChoice()->setCurrentText("right");
  page->firstEdge(1)->setChecked(true);  // the right view enters it first
  QTest::mouseClick(page->newLinkButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil(
      [&] {
        return showsPicture(*page->sourcePreview()) && showsPicture(*page->destinationPreview());
      },
      20000));

  const std::vector<QPointF> left{{133, 124}, {257, 88}, {321, 139}, {189, 197}};
  const std::vector<QPointF> right{{268, 128}, {387, 195}, {310, 292}, {190, 190}};
  for (QPointF at : left) click(page->sourcePoints(), at);
  EXPECT_TRUE(rig.document().links.empty());
  for (QPointF at : right) click(page->destinationPoints(), at);
  const LinkElement* link = rig.document().findLink("leftright");
  ASSERT_NE(link, nullptr);
  ASSERT_EQ(link->keys.size(), 2u);
  // Both keys, read by the command line: normalised corrected coordinates.
  for (const auto& [key, clicks] : {std::pair{0, left}, std::pair{1, right}}) {
    const std::string keyText = encodeKeyText([&] {
      std::array<std::uint8_t, 32> plain;
      std::copy_n(link->keys[std::size_t(key)]->data.begin(), 32, plain.begin());
      return plain;
    }());
    const std::vector<double> corners = decodedByCli(keyText);
    ASSERT_EQ(corners.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_NEAR(corners[2 * i], clicks[i].x() / 512 - 0.5, 1e-6);
      EXPECT_NEAR(corners[2 * i + 1], clicks[i].y() / 384 - 0.5, 1e-6);
    }
  }
  // Each view enters the link showing itself first; the right one first of all.
  const ViewElement& rightView = *rig.document().findView("right");
  EXPECT_EQ(*rig.document().findView("left")->edges.back()->findAttribute("dir"), "forward");
  EXPECT_EQ(*rightView.edges.front()->findAttribute("link"), "leftright");
  EXPECT_EQ(*rightView.edges.front()->findAttribute("dir"), "backward");
  // The transition shows the new link, and follows the slider.
  EXPECT_NE(page->transitionPreview()->shownText().find("<link id=\"leftright\""),
            std::string::npos);
  page->progressSlider()->setValue(50);
  EXPECT_TRUE(waitUntil(
      [&] { return std::abs(page->transitionPreview()->control().GetBlendFactor() - 0.5f) < 1e-6; },
      10000));

  // Frozen, every preview shows one still picture of each camera.
  QTest::mouseClick(page->freezeButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil([&] { return page->frozen(); }, 20000))
      << page->status()->text().toStdString();
  for (EnginePreview* preview :
       {page->sourcePreview(), page->destinationPreview(), page->transitionPreview()}) {
    EXPECT_NE(preview->shownText().find("src=\"file:///"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return showsPicture(*preview); }, 20000));
  }

  // Dragging a corner rewrites the start key; undo brings the old one back.
  const std::vector<std::uint8_t> before = link->keys[0]->data;
  drag(page->sourcePoints(), QPointF(133, 124), QPointF(140, 130));
  EXPECT_NE(rig.document().findLink("leftright")->keys[0]->data, before);
  ASSERT_TRUE(rig.session().undo());
  EXPECT_EQ(rig.document().findLink("leftright")->keys[0]->data, before);
  EXPECT_EQ(page->sourcePoints()->points()[0].x, 133);

  // Corners out of order make no key, and say so.
  drag(page->sourcePoints(), QPointF(133, 124), QPointF(330, 220));
  EXPECT_EQ(rig.document().findLink("leftright")->keys[0]->data, before);
  EXPECT_TRUE(page->status()->text().contains("no key")) << page->status()->text().toStdString();
}

TEST(EditorLinks, RefineShowsTheMoveOnFrozenPicturesAndTakesItWhenAccepted) {
  const auto dir = test::scratchDir("editor_refine");
  for (const char* name : {"demo.xml", "left.jpg", "right.jpg"}) {
    std::filesystem::copy_file(test::sourceDir() / "examples/demo" / name, dir / name);
  }
  EditorRig rig(dir / "demo.xml");
  LinksPage* page = rig.window.linksPage();
  rig.window.showPage(page);
  ASSERT_EQ(page->selectedLink(), "walk");
  const KeyQuad exact = *keyQuadFromBytes(rig.document().findLink("walk")->keys[0]->data);
  // The left key 6 pixels right and 4 down of the box (of 640 x 480).
  const Vec2 off{6.0f / 640, 4.0f / 480};
  const KeyQuad moved{exact.p0 + off, exact.p1 + off, exact.p2 + off, exact.p3 + off};
  ASSERT_EQ(rig.session().apply(rig.session().editableModel().setLinkKeys(
                                    "walk", *keyTextOf(moved),
                                    encodeKeyText(keyQuadToBytes(*keyQuadFromBytes(
                                        rig.document().findLink("walk")->keys[1]->data)))),
                                "test"),
            EditResult::Done);

  // Refused first: the corners show the move, then go back.
  std::vector<FramePoint> shown;
  test::whenModalOpens<QMessageBox>([&](QMessageBox* box) {
    shown = page->sourcePoints()->points();
    box->button(QMessageBox::No)->click();
  });
  QTest::mouseClick(page->refineButton(), Qt::LeftButton);  // freezes first
  ASSERT_TRUE(waitUntil([&] { return !shown.empty(); }, 30000))
      << page->status()->text().toStdString();
  EXPECT_TRUE(page->frozen());
  const auto exactCorners = framePositionsOfKey(exact, 512, 384);
  EXPECT_NEAR(shown[0].x, exactCorners[0].x, 1.0);
  EXPECT_NEAR(shown[0].y, exactCorners[0].y, 1.0);
  EXPECT_EQ(keyQuadFromBytes(rig.document().findLink("walk")->keys[0]->data), moved);

  test::whenModalOpens<QMessageBox>(
      [](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
  QTest::mouseClick(page->refineButton(), Qt::LeftButton);
  ASSERT_TRUE(waitUntil(
      [&] { return keyQuadFromBytes(rig.document().findLink("walk")->keys[0]->data) != moved; },
      30000));
  const KeyQuad refined = *keyQuadFromBytes(rig.document().findLink("walk")->keys[0]->data);
  EXPECT_NEAR((refined.p0.x - exact.p0.x) * 640, 0.0, 1.0);
  EXPECT_NEAR((refined.p0.y - exact.p0.y) * 480, 0.0, 1.0);

  // Frozen pictures are of "left" and "right": a link to another view is live.
  ASSERT_EQ(
      rig.session().apply(
          rig.session().editableModel().addView("third", "file://left.jpg", "10", "none"), "test"),
      EditResult::Done);
  page->toChoice()->setCurrentText("third");
  QTest::mouseClick(page->newLinkButton(), Qt::LeftButton);
  EXPECT_FALSE(page->frozen());
}

TEST(EditorViews, AViewIsAddedTestedAndRemovedWithItsLinks) {
  const auto dir = unlinkedDemo("editor_views");
  EditorRig rig(dir / "project.xml");
  ViewsPage* page = rig.window.viewsPage();
  QTest::mouseClick(page->addButton(), Qt::LeftButton);
  ASSERT_NE(rig.document().findView("camera1"), nullptr);
  ASSERT_EQ(page->selectedView(), "camera1");
  page->addressField()->setFocus();
  QTest::keyClicks(page->addressField(), "file://right.jpg");
  QTest::keyClick(page->addressField(), Qt::Key_Return);
  QLineEdit* lens = page->lensChoice()->lineEdit();
  lens->selectAll();
  QTest::keyClicks(lens, "kamolens1");
  EXPECT_EQ(rig.document().findView("camera1")->findAttribute("lens")->size(), 4u);  // "none" still
  QTest::keyClick(lens, Qt::Key_Return);
  const ViewElement* view = rig.document().findView("camera1");
  EXPECT_EQ(*view->findAttribute("src"), "file://right.jpg");
  EXPECT_EQ(*view->findAttribute("lens"), "kamolens1");
  EXPECT_TRUE(waitUntil([&] { return showsPicture(*page->preview()); }, 20000));

  ViewsPage::setProbeProgram(VISTEL_CLI_PATH);
  QTest::mouseClick(page->testButton(), Qt::LeftButton);
  EXPECT_TRUE(waitUntil([&] { return page->testResult()->text().startsWith("Works"); }, 20000))
      << page->testResult()->text().toStdString();
  EXPECT_TRUE(page->testResult()->text().contains("640 x 480"));
  EXPECT_TRUE(waitUntil([&] { return !page->testPicture()->pixmap().isNull(); }, 20000));
  page->selectView("left");  // an untested view shows no result
  EXPECT_TRUE(page->testResult()->text().isEmpty());
  EXPECT_TRUE(page->testPicture()->pixmap().isNull());
  page->selectView("camera1");
  page->addressField()->setText("file://missing.jpg");
  QTest::mouseClick(page->testButton(), Qt::LeftButton);
  EXPECT_TRUE(waitUntil([&] { return page->testResult()->text().startsWith("No picture"); }, 20000))
      << page->testResult()->text().toStdString();

  // Removing a view takes its links and the edges onto them.
  ASSERT_EQ(rig.session().editableModel().addLink([] {
    LinkSpec spec;
    spec.from = "left";
    spec.to = "camera1";
    spec.startKeyText = spec.endKeyText = *keyTextOf(kImageCornerKey);
    return spec;
  }()),
            EditResult::Done);
  page->selectView("camera1");
  QTest::mouseClick(page->removeButton(), Qt::LeftButton);
  EXPECT_EQ(rig.document().findView("camera1"), nullptr);
  EXPECT_TRUE(rig.document().links.empty());
  EXPECT_TRUE(rig.document().findView("left")->edges.empty());
}

TEST(EditorShapes, AShapeIsDrawnByClicksAndClosedOnItsFirstCorner) {
  EditorRig rig(unlinkedDemo("editor_shapes") / "project.xml");
  ShapesPage* page = rig.window.shapesPage();
  rig.window.showPage(page);
  page->viewChoice()->setCurrentText("right");
  page->startShape();
  for (QPointF at : {QPointF(128, 96), QPointF(384, 96), QPointF(256, 288), QPointF(129, 97)}) {
    click(page->points(), at);
  }
  const ViewElement* view = rig.document().findView("right");
  ASSERT_EQ(view->shapes.size(), 1u);
  EXPECT_EQ(view->shapes[0]->points,
            (std::vector<PointF>{{0.25f, 0.25f}, {0.75f, 0.25f}, {0.5f, 0.75f}}));
  EXPECT_EQ(*view->shapes[0]->findAttribute("projected"), "true");
  page->projected()->setChecked(false);
  EXPECT_EQ(*rig.document().findView("right")->shapes[0]->findAttribute("projected"), "false");
  // The engine draws it: the preview shows the shape's red line.
  EXPECT_TRUE(waitUntil(
      [&] {
        FrameCopy frame;
        return page->preview()->latestFrame(frame) &&
               (frame.pixels[std::size_t(96 * 512 + 256)] & 0xFFFFFFu) == 0xFF0000u;
      },
      20000));
}

TEST(EditorFiles, PresetsProblemsAndSavingKeepTheProject) {
  const auto dir = test::scratchDir("editor_files");
  for (const char* name : {"demo.xml", "left.jpg", "right.jpg"}) {
    std::filesystem::copy_file(test::sourceDir() / "examples/demo" / name, dir / name);
  }
  EditorRig rig(dir / "demo.xml");
  PresetsPage* presets = rig.window.presetsPage();
  rig.window.showPage(presets);
  VistelControl& viewer = presets->viewer()->control();
  ASSERT_TRUE(waitUntil([&] { return showsPicture(*presets->viewer()); }, 20000));
  ASSERT_EQ(viewer.GotoPosition(0.25f, 0.1f, -0.05f, 2.0f), 1);
  ASSERT_TRUE(waitUntil([&] { return viewer.GetZoomFactor() == 2.0f; }, 10000));
  QTest::mouseClick(presets->recordButton(3), Qt::LeftButton);
  EXPECT_EQ(rig.session().model().presets().preset(3),
            formatPositionText(viewer.GetBlendFactor(), viewer.GetXOffset(), viewer.GetYOffset(),
                               viewer.GetZoomFactor()));
  EXPECT_EQ(presets->presetText(3)->text().toStdString(), "0.25;0.10,-0.05;2.00;");

  // A key made unusable is listed; its entry leads to the link.
  EXPECT_EQ(rig.window.problems()->count(), 1);  // "No problems found."
  EXPECT_EQ(rig.window.problems()->item(0)->flags(), Qt::NoItemFlags);
  ASSERT_EQ(rig.session().apply(
                rig.session().editableModel().setKeyAttribute("walk", 1, "time", "0.5"), "test"),
            EditResult::Done);
  ASSERT_EQ(rig.window.problems()->count(), 1);
  EXPECT_TRUE(rig.window.problems()->item(0)->text().contains("walk"));
  rig.window.jumpToProblem(0);
  EXPECT_EQ(rig.window.currentPage(), rig.window.linksPage());
  EXPECT_EQ(rig.window.linksPage()->selectedLink(), "walk");
  ASSERT_TRUE(rig.session().undo());

  // Saved elsewhere, the project reads as the original did, and the presets
  // go beside it.
  QString error;
  ASSERT_TRUE(rig.session().saveTo(dir / "copy.xml", error)) << error.toStdString();
  EXPECT_FALSE(rig.session().model().modified());
  const auto inspect = [](const std::filesystem::path& file) {
    const test::ShellResult r =
        test::runShell(std::string(VISTEL_CLI_PATH) + " inspect '" + file.string() + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  EXPECT_EQ(inspect(dir / "copy.xml"), inspect(dir / "demo.xml"));
  EXPECT_EQ(test::readFile(dir / "copy.params"), "Preset3=0.25;0.10,-0.05;2.00;\n");
  EXPECT_EQ(rig.window.windowTitle().toStdString(), "Vistel editor - copy.xml[*]");

  // A file that is no project is refused, its reason shown as written, and
  // the open project stays.
  ASSERT_TRUE(test::writeFile(dir / "page.xml", "<html><body/></html>"));
  QString shown;
  test::whenModalOpens<QMessageBox>([&](QMessageBox* box) {
    shown = box->textFormat() == Qt::PlainText ? box->text() : QString();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_FALSE(rig.window.openProject(dir / "page.xml"));
  EXPECT_TRUE(shown.contains("<html>")) << shown.toStdString();
  EXPECT_NE(rig.document().findLink("walk"), nullptr);
}

}  // namespace
}  // namespace vistel
