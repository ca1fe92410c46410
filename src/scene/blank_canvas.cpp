#include <utility>

#include "vistel/scene/blank_canvas_p.h"

namespace vistel {

CanvasPicture BlankCanvas::picture() const {
  std::lock_guard<std::mutex> guard(lock_);
  return picture_;
}

void BlankCanvas::publish(CanvasPicture picture) {
  CanvasPicture old;
  {
    std::lock_guard<std::mutex> guard(lock_);
    old = std::exchange(picture_, std::move(picture));
  }
  // The old picture, if this was its last reference, is freed outside the lock.
}

}  // namespace vistel
