#pragma once

// The QApplication of a viewer test executable, made on first use on the
// thread that runs the tests (tests run with QT_QPA_PLATFORM=offscreen).

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

namespace vistel::test {

// Qt must be shut down before the process's static objects go, so the
// application ends with GoogleTest's global tear-down, not at exit.
class QtAppEnvironment : public ::testing::Environment {
 public:
  QApplication& app() {
    if (!app_) app_ = std::make_unique<QApplication>(argc_, argv_);
    return *app_;
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[20] = "vistel-viewer-test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

inline QApplication& qtApp() {
  // Owned by GoogleTest once added.
  static QtAppEnvironment* environment =
      static_cast<QtAppEnvironment*>(::testing::AddGlobalTestEnvironment(new QtAppEnvironment));
  return environment->app();
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

// Types `name` into the file name field of a (Qt, not native) file dialog
// showing `folder`, as a user would. QFileDialog::selectFile leaves that
// field alone once it has the focus, which depends on timing.
inline void typeFileName(QFileDialog* dialog, const QString& folder, const QString& name) {
  dialog->setDirectory(folder);
  if (auto* field = dialog->findChild<QLineEdit*>("fileNameEdit")) {
    field->setText(name);
  } else {
    dialog->selectFile(name);
  }
}

// Runs `act` on the next pop-up menu once it is open (for driving a menu's
// exec()).
inline void whenPopupOpens(std::function<void(QWidget*)> act) {
  auto* poll = new QTimer(&qtApp());
  QObject::connect(poll, &QTimer::timeout, [poll, act = std::move(act)] {
    QWidget* popup = QApplication::activePopupWidget();
    if (popup == nullptr || !popup->isVisible()) return;
    poll->stop();
    poll->deleteLater();
    act(popup);
  });
  poll->start(10);
}

}  // namespace vistel::test
