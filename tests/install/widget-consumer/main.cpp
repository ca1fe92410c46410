// A Qt program on the installed widget library: the widget on the real
// engine, shown off screen, paints the project it was given.
#include <vistel/vistel.h>
#include <vistel/widget/vistel_widget.h>

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  vistel::VistelWidget widget(vistel::viewerEngineFactory());
  vistel::PropertyBag properties;
  if (!properties.set("Project", "<quilo startview=\"a\"><view id=\"a\"/></quilo>")) return 1;
  widget.control().load(properties);
  widget.resize(64, 48);
  widget.show();

  vistel::PaintPlan plan;
  QElapsedTimer timer;
  timer.start();
  while (!plan.hasFrame && timer.elapsed() < 20000) {
    app.processEvents(QEventLoop::AllEvents, 20);
    widget.control().paint(64, 48, plan);
  }
  if (!plan.hasFrame) {
    std::puts("widget consumer failed: no frame");
    return 1;
  }
  std::puts("widget consumer ok");
  return 0;
}
