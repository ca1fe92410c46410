#include "vistel/widget/vistel_widget.h"

#include <QVBoxLayout>
#include <cstdint>

namespace vistel {

VistelWidget::VistelWidget(const VistelControl::EngineFactory& makeEngine, QWidget* parent)
    : QWidget(parent), view_(new ControlView(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view_);
  setFocusProxy(view_);
  ui_ = std::make_unique<QtHostUi>(view_);
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

void VistelWidget::paint(int width, int height, PaintPlan& plan) {
  control_->paint(width, height, plan);
}

}  // namespace vistel
