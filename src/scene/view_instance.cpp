#include "vistel/scene/view_instance.h"

#include "vistel/platform/clock.h"
#include "vistel/scene/source_caption.h"

namespace vistel {

ViewInstance::ViewInstance(const ViewElement& view, Instance& root, const ProjectDocument& document,
                           ImageSourceManager& sources)
    : Instance(view, &root, &view.scripts), sources_(sources) {
  edges_.reserve(view.edges.size());
  for (const auto& edge : view.edges) edges_.push_back(std::make_unique<Instance>(*edge, this));
  shapes_.reserve(view.shapes.size());
  for (const auto& shape : view.shapes)
    shapes_.push_back(std::make_unique<ShapeInstance>(*shape, *this));
  for (const std::string& id : view.preload) {
    const ViewElement* other = document.findView(id);
    const std::string* src = other ? other->findAttribute("src") : nullptr;
    if (src) preloadSources_.push_back(*src);
  }
}

ViewInstance::~ViewInstance() { releaseSource(); }

std::string ViewInstance::currentSrc() {
  const std::string* src = scope().getText("src");
  return src ? *src : std::string();
}

void ViewInstance::acquire() {
  request_ = rememberedSrc_.empty() ? nullptr : sources_.acquire(rememberedSrc_);
}

void ViewInstance::subscribe() {
  releaseSource();
  rememberedSrc_ = currentSrc();
  acquire();
  if (request_) sources_.setFps(request_, static_cast<float>(scope().getNumber("fps")));
  for (const std::string& name : preloadSources_) sources_.prefetchHint(name);
}

void ViewInstance::releaseSource() {
  sources_.release(request_);
  request_ = nullptr;
  caption_.clear();
}

bool ViewInstance::update() {
  bool changed = false;
  if (std::string src = currentSrc(); src != rememberedSrc_) {
    rememberedSrc_ = std::move(src);
    releaseSource();
    acquire();
    changed = true;
  }
  if (request_ == nullptr) return changed;
  const float fps = static_cast<float>(scope().getNumber("fps"));
  if (fps != sources_.fps(request_)) sources_.setFps(request_, fps);
  (void)sources_.currentFrame(request_);
  const std::uint32_t timestamp = sources_.heldTimestamp(request_);
  (void)sources_.releaseFrame(request_);
  if (timestamp != lastTimestamp_) {
    lastTimestamp_ = timestamp;
    changed = true;
  }
  // Pictures are stamped on the process clock, so their age is taken on it too.
  const ImageSourceManager::PictureStatus status = sources_.pictureStatus(request_, nowMs());
  std::string caption = sourceCaption(status);
  if (caption != caption_) {
    caption_ = std::move(caption);
    changed = true;
  }
  captionOverPicture_ = status.hasPicture;
  return changed;
}

}  // namespace vistel
