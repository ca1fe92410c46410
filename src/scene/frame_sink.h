#pragma once

// How a finished frame leaves the renderer: the sink a host gives the engine.
// Thread-safety: the sink runs on the engine thread (see FrameSink).

#include <cstdint>

namespace vistel {

// The part of the frame handed over: always the whole frame.
struct FrameRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// Receives each finished frame: `pixels` holds rect.width * rect.height pixels
// (layout of pixel_views.h) valid during the call only; `flags` is 0. Runs on
// the engine thread; its result becomes renderFrame's.
using FrameSink = std::int32_t (*)(void* context, const std::uint32_t* pixels, std::int32_t flags,
                                   const FrameRect& rect);

}  // namespace vistel
