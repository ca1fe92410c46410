#pragma once

// A view's subscription to an image source: made by
// ImageSourceManager::acquire, given back with release. It carries the view's
// frame rate and the frame the renderer currently draws.
//
// Thread-safety: waiting and fps are atomic (set by the drawing thread, read
// by the loader thread). The held frame belongs to the one thread that draws
// with this request (currentFrame/releaseFrame and the held-frame accessors of
// the manager); that thread is also the one that releases the request.

#include <atomic>
#include <memory>

#include "vistel/imaging/frame.h"
#include "vistel/imaging/image_source.h"

namespace vistel {

class SourceRequest {
 public:
  explicit SourceRequest(std::shared_ptr<ImageSource> source) : source_(std::move(source)) {}
  SourceRequest(const SourceRequest&) = delete;
  SourceRequest& operator=(const SourceRequest&) = delete;

  // The source this request holds; never null. Any thread.
  const std::shared_ptr<ImageSource>& source() const { return source_; }
  // Set while the drawing thread waits for the first picture. Any thread.
  bool waiting() const { return waiting_.load(std::memory_order_acquire); }
  // Pictures per second wanted: 0 until set; -1 every picture. Any thread.
  float fps() const { return fps_.load(std::memory_order_acquire); }
  void setFps(float value) { fps_.store(value, std::memory_order_release); }

 private:
  friend class ImageSourceManager;

  const std::shared_ptr<ImageSource> source_;
  std::atomic<bool> waiting_{false};
  std::atomic<float> fps_{0.0f};
  FrameRef held_;  // owned by the drawing thread
};

}  // namespace vistel
