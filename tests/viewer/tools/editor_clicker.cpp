// vistel_test_editor_clicker DIR DEMO_XML: on the X display of $DISPLAY, opens
// DIR/project.xml in the editor's window and makes a link from "left" to
// "right" by clicking, with the X server's own pointer (xdotool), the corners
// of the key quads of link "walk" in DEMO_XML, each to the nearest pixel of
// the two corrected pictures. Then it saves the project, moves the
// transition half-way and writes what the editor's transition shows to
// DIR/clicked.ppm, and what the link "walk" of DEMO_XML shows there to
// DIR/committed.ppm (512 x 384 each). Exit 0 when all of it was done; 1 with
// a message otherwise.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_set>

#include "editor_session.h"
#include "editor_window.h"
#include "engine_preview.h"
#include "links_page.h"
#include "point_layer.h"
#include "vistel/host/vistel_control.h"
#include "vistel/project/project_holder.h"
#include "vistel/project/project_previews.h"
#include "vistel/scene/key_points.h"

namespace {

using namespace vistel;

int fail(const std::string& why) {
  std::fprintf(stderr, "editor_clicker: %s\n", why.c_str());
  return 1;
}

bool waitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

bool xClick(QWidget* widget, QPoint at) {
  const QPoint global = widget->mapToGlobal(at);
  const std::string command = "xdotool mousemove --sync " + std::to_string(global.x()) + " " +
                              std::to_string(global.y()) + " click 1";
  return std::system(command.c_str()) == 0;
}

bool showsPicture(EnginePreview& preview) {
  FrameCopy frame;
  return preview.latestFrame(frame) &&
         std::unordered_set<std::uint32_t>(frame.pixels.begin(), frame.pixels.end()).size() > 500;
}

// Writes the preview's frame once it is at `progress` and has stopped changing.
bool writeSettledFrame(EnginePreview& preview, float progress, const std::filesystem::path& path) {
  FrameCopy frame;
  const bool settled = waitUntil(
      [&] {
        if (std::abs(preview.control().GetBlendFactor() - progress) > 1e-6f) return false;
        FrameCopy now;
        if (!preview.latestFrame(now) || now.pixels != frame.pixels) {
          frame = std::move(now);
          QTest::qWait(100);
          return false;
        }
        return showsPicture(preview);
      },
      20000);
  if (!settled) return false;
  std::ofstream out(path, std::ios::binary);
  out << "P6\n" << frame.width << " " << frame.height << "\n255\n";
  for (std::uint32_t p : frame.pixels) {
    const char rgb[3] = {char(p >> 16 & 0xFF), char(p >> 8 & 0xFF), char(p & 0xFF)};
    out.write(rgb, 3);
  }
  return bool(out);
}

int run(const std::filesystem::path& dir, const std::filesystem::path& demoPath) {
  std::ifstream demoFile(demoPath, std::ios::binary);
  std::stringstream demoText;
  demoText << demoFile.rdbuf();
  ProjectHolder demo;
  const std::string text = demoText.str();
  (void)demo.load(text.data(), text.size());
  const LinkElement* walk = demo.project() ? demo.project()->findLink("walk") : nullptr;
  if (walk == nullptr || walk->keys.size() != 2)
    return fail("no link walk in " + demoPath.string());

  EditorWindow window;
  if (!window.openProject(dir / "project.xml")) return fail("the project does not open");
  window.move(0, 0);
  window.resize(1300, 950);
  window.show();
  if (!QTest::qWaitForWindowExposed(&window)) return fail("the window never showed");
  LinksPage* page = window.linksPage();
  window.showPage(page);
  page->fromChoice()->setCurrentText("left");
  page->toChoice()->setCurrentText("right");
  QPushButton* newLink = page->newLinkButton();
  if (!xClick(newLink, newLink->rect().center())) return fail("xdotool failed");
  if (!waitUntil([&] { return page->sourcePoints()->addsPoints(); }, 5000)) {
    return fail("\"New link\" did not start a link");
  }
  if (!waitUntil(
          [&] {
            return showsPicture(*page->sourcePreview()) &&
                   showsPicture(*page->destinationPreview());
          },
          20000)) {
    return fail("the corrected pictures never showed");
  }
  PointLayer* layers[2] = {page->sourcePoints(), page->destinationPoints()};
  for (std::size_t side = 0; side < 2; ++side) {
    const KeyQuad key = *keyQuadFromBytes(walk->keys[side]->data);
    for (const FramePoint& p : framePositionsOfKey(key, 512, 384)) {
      const std::size_t before = layers[side]->points().size();
      if (!xClick(layers[side], QPoint(int(std::lround(p.x)), int(std::lround(p.y))))) {
        return fail("xdotool failed");
      }
      if (!waitUntil([&] { return layers[side]->points().size() > before; }, 5000)) {
        return fail("a click placed no corner");
      }
    }
  }
  if (!waitUntil([&] { return window.session().model().document().findLink("leftright"); }, 5000)) {
    return fail("the clicks made no link: " + page->status()->text().toStdString());
  }
  QString error;
  if (!window.session().saveTo(dir / "project.xml", error)) return fail(error.toStdString());

  page->progressSlider()->setValue(50);
  if (!writeSettledFrame(*page->transitionPreview(), 0.5f, dir / "clicked.ppm")) {
    return fail("the transition never settled half-way");
  }
  EnginePreview reference(QSize(512, 384));
  reference.setPresetTime(0);
  reference.setPictureFolder(dir.string());
  reference.showProject(linkPreviewText(*demo.project(), "walk"));
  reference.show();
  if (!QTest::qWaitForWindowExposed(&reference) ||
      !waitUntil([&] { return showsPicture(reference); }, 20000) ||
      reference.control().GotoPosition(0.5f, 0, 0, 1) != 1 ||
      !writeSettledFrame(reference, 0.5f, dir / "committed.ppm")) {
    return fail("the committed link never showed half-way");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s DIR DEMO_XML\n", argv[0]);
    return 1;
  }
  QApplication app(argc, argv);
  return run(argv[1], argv[2]);
}
