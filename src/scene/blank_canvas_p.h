#pragma once

// The renderer's blank picture as the image source manager reads it: the
// renderer publishes each blank frame it builds (or nothing after a resize),
// and placeholder frames take a shared reference to whatever was published
// last, so a picture stays alive while any frame still shows it.
//
// Thread-safety: publish is called by the renderer's thread, picture by any
// thread; one lock, private to this class, guards the published picture.

#include <mutex>

#include "vistel/imaging/output_canvas.h"

namespace vistel {

class BlankCanvas final : public OutputCanvas {
 public:
  CanvasPicture picture() const override;
  // Replaces the published picture; the pixels must never change afterwards.
  void publish(CanvasPicture picture);

 private:
  mutable std::mutex lock_;
  CanvasPicture picture_;  // guarded by lock_
};

}  // namespace vistel
