#include "picture_grab.h"

#include <QMetaObject>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "vistel/imaging/image_source_manager.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/platform/clock.h"

namespace vistel {

GrabbedPicture grabPicture(const std::string& name, const std::string& folder, int timeoutMs) {
  GrabbedPicture out;
  std::mutex lock;
  std::condition_variable arrived;
  bool decoded = false;  // guarded by lock
  ImageSourceManager::Observers observers;
  observers.decoded = [&](const ImageSourceManager::DecodeEvent& event) {
    if (event.width <= 0 || !event.kept) return;
    std::lock_guard<std::mutex> guard(lock);
    decoded = true;
    arrived.notify_all();
  };
  ImageSourceManager manager(defaultThreadStarter(), ImageSourceManager::kDefaultEncodedLimitKiB,
                             ImageSourceManager::kDefaultDecodedLimitKiB, 1, streamReaderFactory(),
                             observers);
  manager.setFileBase(folder);
  SourceRequest* request = manager.acquire(name);
  if (request == nullptr) {
    out.error = "the name is reserved";
    return out;
  }
  manager.setFps(request, -1);
  {
    std::unique_lock<std::mutex> guard(lock);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!decoded) {
      if (request->source()->failed()) break;
      if (arrived.wait_until(guard, std::min(end, std::chrono::steady_clock::now() +
                                                      std::chrono::milliseconds(50))) ==
              std::cv_status::timeout &&
          std::chrono::steady_clock::now() >= end) {
        break;
      }
    }
  }
  if (const std::uint8_t* pixels = manager.currentFrame(request)) {
    out.width = manager.heldWidth(request);
    out.height = manager.heldHeight(request);
    if (out.width > 0 && out.height > 0) {
      out.pixels.assign(pixels, pixels + std::size_t(out.width) * std::size_t(out.height) * 4);
    } else {
      out.width = out.height = 0;
    }
    (void)manager.releaseFrame(request);
  }
  if (!out.ok()) {
    out.error = request->source()->failed()
                    ? "the camera sent no picture"
                    : "no picture within " + std::to_string(timeoutMs / 1000) + " s";
  }
  manager.release(request);
  return out;
}

bool writePictureJpeg(const GrabbedPicture& picture, const std::string& path) {
  if (!picture.ok()) return false;
  return encodeJpegFile(path.c_str(), picture.pixels.data(), picture.width, picture.height, 95);
}

BackgroundWork::~BackgroundWork() {
  for (Job& job : jobs_) job.thread.join();
}

bool BackgroundWork::start(std::function<void()> job, std::function<void()> done) {
  jobs_.emplace_back();
  const auto self = std::prev(jobs_.end());
  self->done = std::move(done);
  Thread thread = startThread([this, job = std::move(job), self] {
    job();
    {
      std::lock_guard<std::mutex> guard(finishedLock_);
      self->finished = true;
    }
    // Queued to this object: dropped when it is gone by then.
    QMetaObject::invokeMethod(this, "reapFinished", Qt::QueuedConnection);
  });
  if (!thread.joinable()) {
    jobs_.erase(self);
    return false;
  }
  self->thread = std::move(thread);
  ++running_;
  return true;
}

void BackgroundWork::reapFinished() {
  std::vector<std::function<void()>> done;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    bool finished = false;
    {
      std::lock_guard<std::mutex> guard(finishedLock_);
      finished = it->finished;
    }
    if (!finished) {
      ++it;
      continue;
    }
    it->thread.join();
    done.push_back(std::move(it->done));
    it = jobs_.erase(it);
    --running_;
  }
  // After the bookkeeping: a `done` may start the next job.
  for (auto& call : done) call();
}

}  // namespace vistel
