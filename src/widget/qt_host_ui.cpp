#include "vistel/widget/qt_host_ui.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <cstdint>

#include "vistel/widget/about_box.h"
#include "vistel/widget/context_menu.h"
#include "vistel/widget/credential_dialog.h"
#include "vistel/widget/save_file_dialog.h"

namespace vistel {

namespace {

QString text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

QtHostUi::QtHostUi(ControlView* view) : view_(view) {
  if (view != nullptr) {
    viewDestroyed_ = QObject::connect(view, &QObject::destroyed,
                                      [this] { view_.store(nullptr, std::memory_order_release); });
  }
}

QtHostUi::~QtHostUi() {
  QObject::disconnect(viewDestroyed_);
  setWaitCursor(false);
}

QWidget* QtHostUi::dialogParent() const {
  ControlView* view = view_.load(std::memory_order_acquire);
  return view != nullptr ? view->window() : nullptr;
}

void QtHostUi::setAnswerTimeout(std::uint32_t ms) { answerTimeoutMs_ = ms; }

int QtHostUi::runModal(QDialog& dialog) const {
  QTimer timeout;
  if (answerTimeoutMs_ > 0) {
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &dialog, [&dialog] { dialog.done(0); });
    timeout.start(static_cast<int>(std::min<std::uint32_t>(answerTimeoutMs_, INT32_MAX)));
  }
  return dialog.exec();
}

bool QtHostUi::promptCredentials(std::string_view host, Credentials& out) {
  CredentialDialog dialog(host, dialogParent());
  if (runModal(dialog) != QDialog::Accepted) return false;
  out = dialog.credentials();
  return true;
}

void QtHostUi::messageBox(std::string_view caption, std::string_view message) {
  QMessageBox box(QMessageBox::NoIcon, text(caption), text(message), QMessageBox::Ok,
                  dialogParent());
  box.setTextFormat(Qt::PlainText);
  (void)runModal(box);
}

bool QtHostUi::askYesNo(std::string_view caption, std::string_view question) {
  QMessageBox box(QMessageBox::Question, text(caption), text(question),
                  QMessageBox::Yes | QMessageBox::No, dialogParent());
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Yes);
  return runModal(box) == QMessageBox::Yes;
}

bool QtHostUi::chooseSaveFile(const SaveFileRequest& request, std::string& path) {
  QFileDialog dialog(dialogParent());
  configureSaveFileDialog(dialog, request);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
  path = QFile::encodeName(chosen.first()).toStdString();
  return true;
}

bool QtHostUi::chooseOpenFile(const OpenFileRequest& request, std::string& path) {
  QFileDialog dialog(dialogParent());
  configureOpenFileDialog(dialog, request);
  if (dialog.exec() != QDialog::Accepted) return false;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty() || chosen.first().isEmpty()) return false;
  path = QFile::encodeName(chosen.first()).toStdString();
  return true;
}

void QtHostUi::projectOpened(std::string_view path) {
  if (projectOpenedHandler_) projectOpenedHandler_(path);
}

bool QtHostUi::setClipboardText(std::string_view value) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  const QString wanted = text(value);
  clipboard->setText(wanted, QClipboard::Clipboard);
  return clipboard->text(QClipboard::Clipboard) == wanted;
}

void QtHostUi::showAbout() {
  AboutBox box(dialogParent());
  box.exec();
}

void QtHostUi::setWaitCursor(bool on) {
  if (on == waitCursor_) return;
  waitCursor_ = on;
  if (on) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

bool QtHostUi::windowExists() const {
  const ControlView* view = view_.load(std::memory_order_acquire);
  return view != nullptr && view->windowExists();
}

void QtHostUi::repaint() {
  if (ControlView* view = view_.load(std::memory_order_acquire)) view->requestRepaint();
}

std::int32_t QtHostUi::trackPopupMenu(std::span<const MenuItem> items, std::int32_t screenX,
                                      std::int32_t screenY) {
  return runContextMenu(dialogParent(), QPoint(screenX, screenY), items);
}

void QtHostUi::clientToScreen(std::int32_t& x, std::int32_t& y) const {
  const ControlView* view = view_.load(std::memory_order_acquire);
  if (view == nullptr) return;
  const QPoint screen = view->mapToGlobal(QPoint(x, y));
  x = screen.x();
  y = screen.y();
}

void QtHostUi::setMouseCapture(bool on) {
  ControlView* view = view_.load(std::memory_order_acquire);
  if (view == nullptr) return;
  if (on) {
    view->grabMouse();
  } else if (QWidget::mouseGrabber() == view) {
    view->releaseMouse();
  }
}

void QtHostUi::takeFocus() {
  ControlView* view = view_.load(std::memory_order_acquire);
  if (view != nullptr && !view->hasFocus()) view->setFocus(Qt::MouseFocusReason);
}

}  // namespace vistel
