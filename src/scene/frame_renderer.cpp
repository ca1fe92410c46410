#include "vistel/scene/frame_renderer.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string_view>

#include "vistel/scene/blank_canvas_p.h"
#include "vistel/scene/caption.h"
#include "vistel/scene/shape_drawing.h"

namespace vistel {

// The frames taken from requests for one render, given back when it ends.
class FrameRenderer::HeldFrames {
 public:
  explicit HeldFrames(ImageSourceManager& sources) : sources_(sources) {}
  ~HeldFrames() {
    for (SourceRequest* request : requests_) {
      if (request) (void)sources_.releaseFrame(request);
    }
  }
  HeldFrames(const HeldFrames&) = delete;
  HeldFrames& operator=(const HeldFrames&) = delete;

  // The current picture of `request`; empty when it has none.
  PictureView take(SourceRequest* request) {
    const std::uint8_t* pixels = sources_.currentFrame(request);
    requests_[count_++] = request;
    return {pixels, sources_.heldWidth(request), sources_.heldHeight(request)};
  }

 private:
  ImageSourceManager& sources_;
  SourceRequest* requests_[2] = {};  // a render draws at most two views
  int count_ = 0;
};

FrameRenderer::FrameRenderer(void* sinkContext, FrameSink sink, ImageSourceManager& sources,
                             Scene& scene)
    : sources_(sources),
      scene_(scene),
      sinkContext_(sinkContext),
      sink_(sink),
      canvas_(std::make_shared<BlankCanvas>()) {
  sources_.setOutputCanvas(canvas_);
}

FrameRenderer::~FrameRenderer() { sources_.setOutputCanvas(nullptr); }

void FrameRenderer::resize(std::int32_t width, std::int32_t height) {
  if (width == width_ && height == height_) return;
  if (width < 1 || height < 1 || width > kMaxFrameSide || height > kMaxFrameSide) return;
  width_ = width;
  height_ = height;
  grid_.resize(width, height);
  frame_ = std::vector<std::uint32_t>(std::size_t(width) * std::size_t(height), 0);
  blankFrame_.reset();
  captionFrames_.clear();
  canvas_->publish({});
}

void FrameRenderer::setPlaceholder(const std::uint8_t* rgb, std::int32_t width,
                                   std::int32_t height) {
  const bool usable = rgb != nullptr && width > 0 && height > 0 && width <= kMaxWarpPictureSide &&
                      height <= kMaxWarpPictureSide;
  if (usable) {
    placeholder_.assign(rgb, rgb + std::size_t(width) * std::size_t(height) * 3);
    placeholderWidth_ = width;
    placeholderHeight_ = height;
  } else {
    placeholder_.clear();
    placeholderWidth_ = placeholderHeight_ = 0;
  }
  blankFrame_.reset();
  canvas_->publish({});
}

PictureView FrameRenderer::buildBlankFrame(bool withPlaceholder) {
  const RgbPicture placeholder{placeholder_.data(), placeholderWidth_, placeholderHeight_};
  const bool hasPlaceholder = withPlaceholder && !placeholder_.empty();
  auto blank = std::make_shared<const std::vector<std::uint32_t>>(
      makeBlankFrame(width_, height_, hasPlaceholder ? &placeholder : nullptr));
  if (blank->empty()) return {};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(blank->data());
  // Placeholder frames share the buffer; it is never written again.
  canvas_->publish({std::shared_ptr<const std::uint8_t[]>(blank, bytes), width_, height_});
  blankFrame_ = std::move(blank);
  return {bytes, width_, height_};
}

PictureView FrameRenderer::captionFrame(const std::string& caption) {
  auto found = std::find_if(captionFrames_.begin(), captionFrames_.end(),
                            [&](const auto& entry) { return entry.first == caption; });
  if (found == captionFrames_.end()) {
    // Two views, a few captions each: a handful of frames at most.
    if (captionFrames_.size() >= 4) captionFrames_.clear();
    const std::int32_t width = captionBoxWidth(caption);
    const std::vector<std::uint8_t> rgb = captionPicture(caption, width, kCaptionHeight);
    const RgbPicture picture{rgb.data(), width, kCaptionHeight};
    captionFrames_.emplace_back(caption, makeBlankFrame(width_, height_, &picture));
    found = std::prev(captionFrames_.end());
  }
  return {reinterpret_cast<const std::uint8_t*>(found->second.data()), width_, height_};
}

void FrameRenderer::drawPictureCaption(const ViewInstance* view, Vec2 centre) {
  if (!view || view->caption().empty() || !view->captionOverPicture()) return;
  if (!std::isfinite(centre.x) || !std::isfinite(centre.y)) return;
  // Kept whole inside the frame, wherever the picture's centre lies.
  const float half = 0.5f * static_cast<float>(captionBoxWidth(view->caption()));
  const float x = std::clamp(centre.x * static_cast<float>(width_), half,
                             std::max(half, static_cast<float>(width_) - half));
  const float y = std::clamp(
      centre.y * static_cast<float>(height_), 0.5f * kCaptionHeight,
      std::max(0.5f * kCaptionHeight, static_cast<float>(height_) - 0.5f * kCaptionHeight));
  drawCaption({frame_.data(), width_, height_}, view->caption(), static_cast<std::int32_t>(x),
              static_cast<std::int32_t>(y));
}

PictureView FrameRenderer::getBlankFrame() {
  if (!blankFrame_) return buildBlankFrame(true);
  return {reinterpret_cast<const std::uint8_t*>(blankFrame_->data()), width_, height_};
}

void FrameRenderer::drawLine(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1,
                             std::uint32_t colour) {
  vistel::drawLine({frame_.data(), width_, height_}, x0, y0, x1, y1, colour);
}

WarpSource FrameRenderer::sourceOf(ViewInstance* view, Path path, HeldFrames& held) {
  PictureView picture;
  std::string_view lens = "none";
  if (view) {
    if (const std::string* name = view->scope().getText("lens")) lens = *name;
    if (SourceRequest* request = view->request()) {
      picture = held.take(request);
      // A camera that failed before its first picture says why, in the
      // placeholder's place.
      if (!view->caption().empty() && !view->captionOverPicture() &&
          !sources_.heldIsPicture(request)) {
        picture = captionFrame(view->caption());
        lens = "none";
      }
    }
  }
  if (!pictureUsable(picture)) {
    if (path == Path::Transition) {
      picture = getBlankFrame();
    } else {
      // A single view without a picture shows a blank frame that, when it has
      // to be made here, lacks the placeholder, and is never lens-corrected.
      picture = blankFrame_ ? getBlankFrame() : buildBlankFrame(false);
      lens = "none";
    }
  }
  LensMapCache& maps = scene_.lensMaps();
  const DisplacementMap* map = maps.getMap(lens, picture.width, picture.height);
  if (map == nullptr) map = maps.getMap("none", picture.width, picture.height);
  return {picture, map};
}

std::int32_t FrameRenderer::renderFrame() {
  if (frame_.empty()) return 0;
  const FrameView frame{frame_.data(), width_, height_};
  if (LinkTraversal* link = scene_.currentLink()) {
    const std::unique_ptr<TransitionFrame> tf = scene_.transitionAt(*link);
    ViewInstance* source = scene_.currentView(0);
    ViewInstance* destination = scene_.currentView(1);
    {
      HeldFrames held(sources_);
      const WarpSource a = sourceOf(source, Path::Transition, held);
      const WarpSource b = sourceOf(destination, Path::Transition, held);
      (void)renderTransitionPixels(frame, grid_, *tf, {zoom_, xOffset_, yOffset_}, a, b);
    }
    clearOutsideBlocks(frame);
    if (source && scene_.showsSourceButtons(*link)) {
      for (const auto& shape : source->shapes()) drawProjected(*this, *shape, tf->srcH);
    }
    if (destination && scene_.showsDestinationButtons(*link)) {
      for (const auto& shape : destination->shapes()) drawProjected(*this, *shape, tf->dstH);
    }
    // A stale picture's age over the middle of that picture, for the view
    // that dominates the blend.
    const Vec2 half{0.5f, 0.5f};
    if (tf->t < 0.5f) {
      drawPictureCaption(source, applyToPoint(inverse(tf->srcH), Vec2{0, 0}) + half);
    } else {
      drawPictureCaption(destination, applyToPoint(inverse(tf->dstH), Vec2{0, 0}) + half);
    }
  } else {
    ViewInstance* view = scene_.currentView(0);
    {
      HeldFrames held(sources_);
      (void)renderSingleViewPixels(frame, grid_, sourceOf(view, Path::SingleView, held));
    }
    clearOutsideBlocks(frame);
    if (view) {
      for (const auto& shape : view->shapes()) drawFlat(*this, *shape);
    }
    drawPictureCaption(view, Vec2{0.5f, 0.5f});
  }
  return sink_ ? sink_(sinkContext_, frame_.data(), 0, {0, 0, width_, height_}) : 0;
}

}  // namespace vistel
