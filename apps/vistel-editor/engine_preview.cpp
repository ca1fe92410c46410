#include "engine_preview.h"

#include <QTimer>
#include <set>

#include "vistel/host/property_bag.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/project/project_holder.h"
#include "vistel/widget/vistel_widget.h"

namespace vistel {

namespace {

// The pictures a project's views name.
std::set<std::string> picturesOf(const std::string& text) {
  ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  std::set<std::string> out;
  if (const ProjectDocument* doc = holder.project()) {
    for (const auto& [id, view] : doc->views) {
      if (const std::string* src = view->findAttribute("src")) out.insert(*src);
    }
  }
  return out;
}

}  // namespace

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
  applyProgress();
}

void EnginePreview::setProgress(float progress) {
  progress_ = progress;
  applyProgress();
}

void EnginePreview::applyProgress(int attempts) {
  if (!progress_) return;
  // A viewer made just now has no window until Qt shows it.
  if (viewer_->control().GotoPosition(*progress_, 0.0f, 0.0f, 1.0f) == 0 && attempts > 0) {
    QTimer::singleShot(50, this, [this, attempts] { applyProgress(attempts - 1); });
  }
}

void EnginePreview::setPictureFolder(const std::string& folder) {
  if (folder == folder_) return;
  folder_ = folder;
  makeViewer();
  emit viewerReplaced();
}

void EnginePreview::showProject(const std::string& text) {
  if (text == text_) return;
  const bool otherPictures = picturesOf(text) != picturesOf(text_);
  text_ = text;
  // A source manager keeps its camera streams on its readers after a project
  // lets go of them, and then never gets to read the pictures of the next
  // project (files wait for an idle reader): other pictures get a new engine.
  if (otherPictures) {
    makeViewer();
    emit viewerReplaced();
  } else {
    load();
  }
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
