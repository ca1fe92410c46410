#pragma once

// One picture of a camera, taken the way a view takes its pictures (the image
// source manager with its stream readers, relative file:// names from the
// project's folder): for "Freeze", for the camera test's picture and for
// refining keys on still pictures. And a runner that does such slow work off
// the user-interface thread.
//
// Thread-safety: grabPicture and writePictureJpeg may run on any thread;
// BackgroundWork belongs to the Qt user-interface thread.

#include <QObject>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vistel/platform/thread.h"

namespace vistel {

struct GrabbedPicture {
  std::vector<std::uint8_t> pixels;  // width * height pixels, blue, green, red, 0
  std::int32_t width = 0;            // 0: no picture
  std::int32_t height = 0;
  std::string error;  // why there is none

  bool ok() const { return width > 0; }
};

// The first picture `name` delivers within `timeoutMs`; relative file://
// names are read from `folder`. Blocks.
GrabbedPicture grabPicture(const std::string& name, const std::string& folder, int timeoutMs);

// Writes the picture as a JPEG file of high quality; false when it cannot.
[[nodiscard]] bool writePictureJpeg(const GrabbedPicture& picture, const std::string& path);

// Runs jobs on their own threads and hands each result to the user-interface
// thread. Destroying it waits for the jobs still running; their results are
// dropped.
class BackgroundWork : public QObject {
  Q_OBJECT

 public:
  explicit BackgroundWork(QObject* parent = nullptr) : QObject(parent) {}
  ~BackgroundWork() override;

  // Runs `job` on a new thread, then `done` with its result on this object's
  // thread (not when this object went first). False when no thread could be
  // started (`done` is never called then).
  template <class Result>
  bool run(std::function<Result()> job, std::function<void(Result)> done) {
    auto result = std::make_shared<Result>();
    return start([job = std::move(job), result] { *result = job(); },
                 [done = std::move(done), result] { done(std::move(*result)); });
  }

  // Jobs not finished yet.
  int running() const { return running_; }

 private:
  struct Job {
    Thread thread;
    std::function<void()> done;
    bool finished = false;  // finishedLock_
  };

  bool start(std::function<void()> job, std::function<void()> done);
  // Joins the jobs that finished and calls their `done`. User-interface thread.
  Q_INVOKABLE void reapFinished();

  // The worker announces its end through our own lock, not through data carried
  // in a queued call: the hand-over inside Qt is invisible to the race checker.
  std::mutex finishedLock_;
  std::list<Job> jobs_;  // user-interface thread, except Job::finished
  int running_ = 0;      // user-interface thread
};

}  // namespace vistel
