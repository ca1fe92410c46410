#include "engine_preview.h"

#include "vistel/host/property_bag.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/widget/vistel_widget.h"

namespace vistel {

EnginePreview::EnginePreview(QSize frameSize, QWidget* parent)
    : QWidget(parent), frameSize_(frameSize) {
  setFixedSize(frameSize);
  makeViewer();
}

EnginePreview::~EnginePreview() = default;

void EnginePreview::makeViewer() {
  ViewerEngineOptions options;
  options.fileBase = folder_;
  delete viewer_;  // stops its engine before the next one starts
  viewer_ = new VistelWidget(viewerEngineFactory(options), this);
  viewer_->setGeometry(0, 0, frameSize_.width(), frameSize_.height());
  load();
  viewer_->show();
  for (QWidget* overlay : overlays_) overlay->raise();
}

void EnginePreview::load() {
  // The control keeps the text for its window, which may not exist yet (a
  // page not shown so far): it loads it when the window is made.
  PropertyBag properties;
  (void)properties.set(
      "Project", text_.empty() ? "<quilo startview=\"none\"><view id=\"none\"/></quilo>" : text_);
  (void)properties.set("presetTime", std::to_string(presetTime_));
  viewer_->control().load(properties);
}

void EnginePreview::setPictureFolder(const std::string& folder) {
  if (folder == folder_) return;
  folder_ = folder;
  makeViewer();
  emit viewerReplaced();
}

void EnginePreview::showProject(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  load();
}

void EnginePreview::setPresetTime(int ms) {
  presetTime_ = ms;
  viewer_->control().SetPresetTime(ms);
}

VistelControl& EnginePreview::control() { return viewer_->control(); }

bool EnginePreview::latestFrame(FrameCopy& out) const {
  return viewer_->control().copyLatestFrame(out);
}

void EnginePreview::addOverlay(QWidget* overlay) {
  overlay->setParent(this);
  overlay->setGeometry(0, 0, frameSize_.width(), frameSize_.height());
  overlays_.push_back(overlay);
  overlay->raise();
  overlay->show();
}

}  // namespace vistel
