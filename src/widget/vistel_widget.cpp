#include "vistel/widget/vistel_widget.h"

#include <QByteArray>
#include <QFile>
#include <QVBoxLayout>
#include <cstdint>
#include <string_view>

namespace vistel {

VistelWidget::VistelWidget(const VistelControl::EngineFactory& makeEngine, QWidget* parent)
    : QWidget(parent), view_(new ControlView(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
  setFocusProxy(view_);
  ui_ = std::make_unique<QtHostUi>(view_);
  ui_->setProjectOpenedHandler([this](std::string_view path) {
    emit projectOpened(
        QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size()))));
  });
  control_ = std::make_unique<VistelControl>(*ui_, makeEngine);
  view_->setWindowEvents(this);
}

VistelWidget::~VistelWidget() {
  view_->setWindowEvents(nullptr);
  windowDestroyed();
  // The engine thread stops here, before the view it paints through goes.
  control_.reset();
  ui_.reset();
}

void VistelWidget::windowCreated() { control_->onCreate(); }

void VistelWidget::windowDestroyed() {
  if (destroyed_ || !view_->windowExists()) return;
  destroyed_ = true;
  control_->onDestroy();
}

void VistelWidget::windowShown(bool shown) { control_->onShowWindow(shown, 0); }

void VistelWidget::windowResized(int width, int height) { control_->onSize(width, height); }

void VistelWidget::keyDown(int key, int flags) { control_->onKeyDown(key, flags); }

void VistelWidget::keyUp(int key, int flags) { control_->onKeyUp(key, flags); }

void VistelWidget::pointerDown(int x, int y) { control_->onLeftButtonDown(x, y); }

void VistelWidget::pointerUp(int x, int y) { control_->onLeftButtonUp(x, y); }

void VistelWidget::pointerMove(int x, int y) { control_->onMouseMove(x, y); }

void VistelWidget::secondaryDown(int x, int y) { control_->onRightButtonDown(x, y); }

void VistelWidget::secondaryUp(int x, int y) { control_->onRightButtonUp(x, y); }

bool VistelWidget::wheel(int delta) {
  return control_->onMouseWheel(static_cast<std::int16_t>(delta));
}

void VistelWidget::copyRequested() {
  (void)control_->runCommand(static_cast<std::int32_t>(ControlCommand::CopyPosition));
}

void VistelWidget::openRequested() {
  (void)control_->runCommand(static_cast<std::int32_t>(ControlCommand::OpenProject));
}

bool VistelWidget::takesDroppedFiles() const {
  return control_->projectOpening() == ProjectOpening::Offered;
}

void VistelWidget::fileDropped(const std::string& path) {
  // Opened after the drop has ended: a message box inside the drop would keep
  // the application the file came from waiting for the drop to finish.
  QMetaObject::invokeMethod(
      this, [this, path] { control_->onDropFile(path); }, Qt::QueuedConnection);
}

void VistelWidget::paint(int width, int height, PaintPlan& plan) {
  control_->paint(width, height, plan);
}

}  // namespace vistel
