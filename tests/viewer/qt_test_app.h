#pragma once

// The QApplication of a viewer test executable, made on first use on the
// thread that runs the tests (tests run with QT_QPA_PLATFORM=offscreen).

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace vistel::test {

inline QApplication& qtApp() {
  static int argc = 1;
  static char name[] = "vistel-viewer-test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// Processes events until `done` holds or `ms` pass; whether it held.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Runs `act` on the next modal dialog of type T once it is open, from the
// event loop of its exec(), so a test can drive a blocking call.
template <typename T>
void whenModalOpens(std::function<void(T*)> act) {
  auto* poll = new QTimer(&qtApp());
  QObject::connect(poll, &QTimer::timeout, [poll, act = std::move(act)] {
    T* modal = qobject_cast<T*>(QApplication::activeModalWidget());
    if (modal == nullptr || !modal->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act(modal);
  });
  poll->start(10);
}

}  // namespace vistel::test
