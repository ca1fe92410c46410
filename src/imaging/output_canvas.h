#pragma once

// The renderer's output canvas as the image source manager sees it: the blank
// picture a view shows while its camera has delivered nothing (or has failed).
// Placeholder frames show that picture without copying it.
//
// Thread-safety: picture() is called on the manager's loader thread and on the
// thread that takes current frames, concurrently with whatever the renderer
// does; implementations must allow that.

#include <cstdint>
#include <memory>

namespace vistel {

// One consistent view of the canvas. The buffer holds width * (height + 1) * 4 + 4
// bytes in the picture layout (blue, green, red, 0; rows top first; one spare row
// and four spare bytes). Sharing the buffer lets a placeholder frame keep showing
// it after the renderer resizes and drops it.
struct CanvasPicture {
  std::shared_ptr<const std::uint8_t[]> pixels;  // null when the canvas has no picture
  std::int32_t width = 0;
  std::int32_t height = 0;
};

class OutputCanvas {
 public:
  virtual ~OutputCanvas() = default;
  // The current blank picture; empty (null pixels, zero size) before the first
  // resize. Any thread.
  virtual CanvasPicture picture() const = 0;
};

}  // namespace vistel
