#pragma once

// Produces every output frame: the current view's camera picture stretched
// over the frame, or, while a link is travelled, the link's source and
// destination pictures warped through the transition homographies and
// cross-faded; lens distortion removed through the scene's displacement maps;
// then the shape outlines; then the frame goes to the sink. The pixel work is
// the warp core's (warp_raster.h); this class gathers its inputs.
//
// The renderer is also the output canvas of its image source manager: each
// blank frame it builds is published (shared, never changed) for placeholder
// frames to show.
//
// Thread-safety: every operation runs on the engine thread. Only the canvas it
// registers with the manager is read from other threads, through a snapshot
// under a lock of its own. The renderer's helper threads (its RasterPool) only
// ever run rows of the pixel work of a render in progress, while the engine
// thread waits for them inside that render; they never touch the scene.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vistel/imaging/image_source_manager.h"
#include "vistel/scene/frame_drawing.h"
#include "vistel/scene/frame_sink.h"
#include "vistel/scene/pixel_views.h"
#include "vistel/scene/scene.h"
#include "vistel/scene/warp_grid.h"
#include "vistel/scene/warp_raster.h"

namespace vistel {

class BlankCanvas;

class FrameRenderer {
 public:
  // Zoom 1, offsets 0, no frame (width and height 0). `sources` and `scene`
  // must outlive the renderer; `sink` (may be null) is called with
  // `sinkContext`. Registers the renderer's canvas with `sources`, replacing
  // any other. With a starter, starts RasterPool::defaultHelpers() helper
  // threads through it to share the pixel work; without one (or if they fail
  // to start) the engine thread renders alone, to the same bytes.
  FrameRenderer(void* sinkContext, FrameSink sink, ImageSourceManager& sources, Scene& scene,
                const ThreadStarter& starter = {});
  // Unregisters the canvas (placeholder frames keep what they show) and joins
  // the helpers.
  ~FrameRenderer();
  FrameRenderer(const FrameRenderer&) = delete;
  FrameRenderer& operator=(const FrameRenderer&) = delete;

  // A new frame size: nothing when it equals the current one or a side lies
  // outside 1..kMaxFrameSide; otherwise the frame (zero-filled) and the grid
  // are made anew and the blank frame is dropped.
  void resize(std::int32_t width, std::int32_t height);
  void setZoom(float zoom) { zoom_ = zoom; }
  void setOffset(float x, float y) {
    xOffset_ = x;
    yOffset_ = y;
  }
  float zoom() const { return zoom_; }
  float xOffset() const { return xOffset_; }
  float yOffset() const { return yOffset_; }

  // Copies a width x height RGB picture (3 bytes a pixel, rows top first) to
  // centre in blank frames from now on (the current blank frame is dropped);
  // null or an empty or oversized (a side above kMaxWarpPictureSide) picture
  // removes it.
  void setPlaceholder(const std::uint8_t* rgb, std::int32_t width, std::int32_t height);

  // The blank frame for the current size, built (with the placeholder) when
  // there is none; valid until the next resize or setPlaceholder. Empty before
  // the first resize.
  PictureView getBlankFrame();

  // A line into the frame (see frame_drawing.h); clipped per pixel.
  void drawLine(std::int32_t x0, std::int32_t y0, std::int32_t x1, std::int32_t y1,
                std::uint32_t colour);

  // Renders the scene into the frame and hands it to the sink; the sink's
  // result, or 0 without a sink or before the first resize (nothing rendered).
  // A view without a usable picture, or a place the current views leave empty,
  // shows the blank frame. The margins around the block area, which no
  // picture covers, are cleared to 0 before the outlines are drawn: outlines
  // may reach into them (flat shapes are fractions of the whole frame), and
  // nothing else would ever overwrite what one left there.
  [[nodiscard]] std::int32_t renderFrame();

  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }
  // Helper threads sharing the pixel work.
  int helperThreads() const { return pool_.helpers(); }
  // width() * height() pixels; valid until the next resize. Null before the first.
  const std::uint32_t* pixels() const { return frame_.empty() ? nullptr : frame_.data(); }

 private:
  enum class Path { Transition, SingleView };
  class HeldFrames;

  PictureView buildBlankFrame(bool withPlaceholder);
  // A blank frame with `caption` in the placeholder's place, kept while the
  // size and the caption last.
  PictureView captionFrame(const std::string& caption);
  // Writes a view's caption over its stale picture, at `centre` (frame fractions).
  void drawPictureCaption(const ViewInstance* view, Vec2 centre);
  WarpSource sourceOf(ViewInstance* view, Path path, HeldFrames& held);

  ImageSourceManager& sources_;
  Scene& scene_;
  void* const sinkContext_;
  const FrameSink sink_;
  std::vector<std::uint32_t> frame_;  // width_ * height_
  WarpGrid grid_;
  float zoom_ = 1;
  float xOffset_ = 0;
  float yOffset_ = 0;
  std::vector<std::uint8_t> placeholder_;  // placeholderWidth_ * placeholderHeight_ * 3
  std::int32_t placeholderWidth_ = 0;
  std::int32_t placeholderHeight_ = 0;
  std::shared_ptr<const std::vector<std::uint32_t>> blankFrame_;  // null until built
  std::vector<std::pair<std::string, std::vector<std::uint32_t>>> captionFrames_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  const std::shared_ptr<BlankCanvas> canvas_;
  RasterPool pool_;  // last: its helpers stop before anything they could read goes
};

}  // namespace vistel
