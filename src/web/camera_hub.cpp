#include "vistel/web/camera_hub.h"

#include <atomic>
#include <condition_variable>
#include <vector>

#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/clock.h"

namespace vistel::web {

namespace {

// The camera thread's fallback poll; its reader wakes it when it has news.
constexpr std::uint32_t kPollMs = 10;

}  // namespace

// One camera address: a StreamReader fetching it on threads of its own, and a
// thread that keeps its latest picture and its failures for the hub's readers.
// The camera's health (failure reason, backoff) is the one of its own source,
// which its StreamReader records and obeys: however many sessions show the
// camera, it is asked as often as one viewer would ask it.
class CameraHub::Camera {
 public:
  Camera(std::string url, const ThreadStarter& starter)
      : url_(std::move(url)),
        owner_(std::make_shared<ImageSource>(url_, ImageKind::FromName, FrameRef{})),
        reader_(starter) {
    // Every picture: each hub reader paces itself for its own manager.
    reader_.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
    reader_.setWakeUp([this] {
      {
        std::lock_guard lock(mutex_);
        news_ = true;
      }
      wake_.notify_all();
    });
    thread_ = starter([this] { run(); }, 0);
  }

  ~Camera() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    reader_.shutdown();
    thread_.join();
    // The reader's threads outlive this body; they must not reach mutex_.
    reader_.setWakeUp({});
  }

  // What a hub reader sees of the camera.
  struct Snapshot {
    std::uint64_t pictures = 0;     // pictures received so far
    std::uint64_t failures = 0;     // attempts failed so far
    std::uint32_t pictureTime = 0;  // clock time at the end of the latest picture
    bool streaming = false;
    bool running = false;      // the reader has a job (or is waiting for the backoff to do it)
    SourceHealthState health;  // the camera's, as its reader recorded it
  };

  Snapshot snapshot() const {
    std::lock_guard lock(mutex_);
    return {pictures_, failures_, latestTime_, streaming_, running_, owner_->health().state()};
  }

  // The latest picture, its time and its number (the count of pictures when
  // it came); false before the first.
  bool latest(std::vector<std::uint8_t>& out, std::uint32_t& time, std::uint64_t& number) const {
    std::lock_guard lock(mutex_);
    if (pictures_ == 0) return false;
    out = latest_;
    time = latestTime_;
    number = pictures_;
    return true;
  }

  // A reader wants a picture newer than the ones it has (a still picture is
  // fetched again only when someone waits for it, and a failed camera only
  // as its backoff allows: its reader waits for that).
  void want() {
    {
      std::lock_guard lock(mutex_);
      wanted_ = true;
    }
    wake_.notify_all();
  }

  // A hub reader follows the camera from now on; `wakeUp` (may be empty) is
  // called on the camera thread when there is a picture or a failure for it.
  // Returns the key for removeReader.
  std::uint64_t addReader(std::function<void()> wakeUp) {
    std::lock_guard notify(notifyLock_);
    std::lock_guard lock(mutex_);
    ++readers_;
    const std::uint64_t key = nextKey_++;
    if (wakeUp) wakeUps_.emplace_back(key, std::move(wakeUp));
    return key;
  }

  // The reader of `key` follows the camera no more; its wake-up is not called
  // once this returns.
  void removeReader(std::uint64_t key) {
    std::lock_guard notify(notifyLock_);
    std::lock_guard lock(mutex_);
    std::erase_if(wakeUps_, [key](const auto& entry) { return entry.first == key; });
    if (--readers_ == 0) idleSince_ = nowMs();
  }

  // No reader for the grace period: the camera may go. A failing camera
  // stays as long as the longest backoff besides: its readers come back for
  // it by then, and a camera made again would forget its backoff.
  bool idle() const {
    std::lock_guard lock(mutex_);
    const SourceHealthState health = owner_->health().state();
    const std::uint32_t grace =
        kIdleGraceMs + (health.failures > 0 ? RetryBackoff::kMaxDelayMs : 0);
    return readers_ == 0 && elapsedMs(nowMs(), idleSince_) >= static_cast<std::int32_t>(grace);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (!running_ && wanted_) {
        wanted_ = false;
        running_ = true;
        lock.unlock();
        // Returns at once: the probe and every connection run on the
        // reader's fetch thread, after the camera's backoff.
        const auto result = reader_.start(owner_, url_, 0, StreamReader::ModeProbe);
        lock.lock();
        if (result == StreamReader::CouldNotStart) running_ = false;
        startedOnce_ = true;
        continue;
      }
      bool news = false;
      // Polled also when no job is thought to run: a stream that turned out
      // not to be one is probed again by the reader itself and may stream anew.
      if (startedOnce_) {
        lock.unlock();
        const std::int32_t state = reader_.pollState();
        std::vector<std::uint8_t> jpeg;
        const bool taken = state == StreamReader::StateReady && reader_.takeFrame(jpeg);
        const std::uint32_t time = reader_.lastPartTime();
        const bool streaming = reader_.lastProbe().mode == StreamReader::ModeStream;
        const std::int32_t failuresNow = owner_->health().state().failures;
        lock.lock();
        streaming_ = streaming;
        if (taken) {
          latest_ = std::move(jpeg);
          latestTime_ = time;
          ++pictures_;
          news = true;
        }
        // Each failed attempt counts once; the count restarts with a picture.
        if (failuresNow > healthFailuresSeen_) {
          ++failures_;
          news = true;
        }
        healthFailuresSeen_ = failuresNow;
        // A single picture is done once taken, a failed probe or picture once
        // reported; a stream reconnects by itself.
        if (state == StreamReader::StateIdle ||
            (!streaming &&
             (state == StreamReader::StateReady || state == StreamReader::StateFailed))) {
          running_ = false;
        }
      }
      if (news) {
        lock.unlock();
        notifyReaders();
        lock.lock();
        continue;
      }
      wake_.wait_for(lock, std::chrono::milliseconds(kPollMs),
                     [this] { return stop_ || news_ || (wanted_ && !running_); });
      news_ = false;
    }
  }

  void notifyReaders() {
    std::lock_guard notify(notifyLock_);
    for (const auto& entry : wakeUps_) entry.second();
  }

  const std::string url_;
  const std::shared_ptr<ImageSource> owner_;  // what the stream reader fetches for; its health
  StreamReader reader_;                       // its own threads; polled by thread_ only

  // Taken before mutex_ when both are; held while wake-ups run, so that a
  // reader removed is never woken afterwards.
  std::mutex notifyLock_;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> wakeUps_;  // guarded by both locks
  std::uint64_t nextKey_ = 0;                                             // guarded by both locks

  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool stop_ = false;
  bool wanted_ = false;
  bool running_ = false;
  bool streaming_ = false;
  bool news_ = false;         // the reader called its wake-up
  bool startedOnce_ = false;  // the reader was given a job
  std::vector<std::uint8_t> latest_;
  std::uint32_t latestTime_ = 0;
  std::uint64_t pictures_ = 0;
  std::uint64_t failures_ = 0;
  std::int32_t healthFailuresSeen_ = 0;
  int readers_ = 0;  // guarded by both locks
  std::uint32_t idleSince_ = nowMs();

  Thread thread_;  // last: started once everything above exists
};

namespace {

// A manager's reader that follows the hub's camera of its address. Pictures
// are marked ready by the same schedule as the stream reader's, for the rate
// its manager asks; the camera's failures reach the manager's source with
// their reason, so each session's view says why, and waits as it would wait
// for its own camera.
class HubReader final : public SourceReader {
 public:
  explicit HubReader(CameraHub& hub) : hub_(hub) {}
  ~HubReader() override { detach(); }

  std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url, std::size_t,
                     std::int32_t) override {
    if (shut_) return StreamReader::CouldNotStart;
    detach();
    owner_ = std::move(owner);
    camera_ = hub_.attach(std::string(url));
    key_ = camera_->addReader(wakeUp_);
    const CameraHub::Camera::Snapshot now = camera_->snapshot();
    // A stream already running has a picture to show at once; a still
    // picture is fetched anew for this request. A camera failing now says so
    // at once, not only after its next attempt.
    seenPictures_ = now.streaming && now.pictures > 0 ? now.pictures - 1 : now.pictures;
    seenFailures_ = now.health.failures > 0 && now.failures > 0 ? now.failures - 1 : now.failures;
    pacedPictures_ = seenPictures_;
    ready_ = false;
    // A new consumer: a rate of 0 marks its first picture again.
    pacer_ = {};
    pacer_.restart(nowMs());
    camera_->want();
    return StreamReader::Started;
  }

  void setFrameRate(std::int32_t selector, float value) override {
    if (selector == StreamReader::kFrameRateSelector) fps_ = value;
  }

  std::int32_t pollState() override {
    if (!camera_) return StreamReader::StateIdle;
    const CameraHub::Camera::Snapshot now = camera_->snapshot();
    if (now.pictures > seenPictures_) {
      // Each new picture once through the schedule; a mark stays until taken.
      if (now.pictures != pacedPictures_) {
        pacedPictures_ = now.pictures;
        if (pacer_.partStored(now.pictureTime, fps_)) ready_ = true;
      }
      if (ready_) return StreamReader::StateReady;
    }
    if (now.failures > seenFailures_) {
      seenFailures_ = now.failures;
      if (owner_)
        owner_->health().recordFailure(nowMs(), now.health.failure, now.health.httpStatus);
      // A stream's reader stays with it, as the manager keeps a stream's
      // reader, and has it asked again as the camera's backoff allows; a still
      // picture is asked for again by the manager, as the source's backoff
      // allows.
      if (!owner_ || owner_->kind() != ImageKind::MotionStream) detach();
      return StreamReader::StateFailed;
    }
    if (!now.running) camera_->want();
    return StreamReader::StateFetching;
  }

  bool takeFrame(std::vector<std::uint8_t>& out) override {
    out.clear();
    std::uint64_t number = 0;
    if (!camera_ || !camera_->latest(out, time_, number)) return false;
    seenPictures_ = number;
    pacedPictures_ = std::max(pacedPictures_, number);
    ready_ = false;
    if (owner_) owner_->health().recordPicture();
    // A still picture is one answer: the manager asks again when it wants one.
    if (!camera_->snapshot().streaming) detach();
    return true;
  }

  std::shared_ptr<ImageSource> owner() const override { return owner_; }
  std::uint32_t lastPartTime() const override { return time_; }
  void shutdown() override { shut_ = true; }
  void setWakeUp(std::function<void()> wakeUp) override { wakeUp_ = std::move(wakeUp); }

 private:
  void detach() {
    if (camera_) camera_->removeReader(key_);
    camera_.reset();
  }

  CameraHub& hub_;
  std::function<void()> wakeUp_;  // set before the first start
  std::shared_ptr<ImageSource> owner_;
  std::shared_ptr<CameraHub::Camera> camera_;
  std::uint64_t key_ = 0;            // of this reader at camera_
  std::uint64_t seenPictures_ = 0;   // the camera's count at the picture last taken
  std::uint64_t pacedPictures_ = 0;  // the camera's count at the picture last paced
  std::uint64_t seenFailures_ = 0;
  bool ready_ = false;  // a paced picture waits to be taken
  detail::FramePacer pacer_;
  std::uint32_t time_ = 0;
  float fps_ = -1.0f;
  std::atomic<bool> shut_{false};
};

}  // namespace

CameraHub::CameraHub(ThreadStarter starter) : starter_(std::move(starter)) {
  reaper_ = starter_([this] { reaper(); }, 0);
}

CameraHub::~CameraHub() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  reaper_.join();
  std::map<std::string, std::shared_ptr<Camera>> cameras;
  {
    std::lock_guard lock(mutex_);
    cameras.swap(cameras_);
  }
}

void CameraHub::reaper() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, std::chrono::milliseconds(kIdleGraceMs / 3));
    if (stop_) break;
    lock.unlock();
    reapIdle();
    lock.lock();
  }
}

SourceReaderFactory CameraHub::readerFactory() {
  return [this](const ThreadStarter&) -> std::unique_ptr<SourceReader> {
    return std::make_unique<HubReader>(*this);
  };
}

std::size_t CameraHub::camerasStarted() const {
  std::lock_guard lock(mutex_);
  return started_;
}

std::shared_ptr<CameraHub::Camera> CameraHub::attach(const std::string& url) {
  reapIdle();
  std::lock_guard lock(mutex_);
  auto& camera = cameras_[url];
  if (!camera) {
    camera = std::make_shared<Camera>(url, starter_);
    ++started_;
  }
  return camera;
}

void CameraHub::reapIdle() {
  std::vector<std::shared_ptr<Camera>> gone;  // destroyed outside the lock
  std::lock_guard lock(mutex_);
  for (auto it = cameras_.begin(); it != cameras_.end();) {
    if (it->second->idle() && it->second.use_count() == 1) {
      gone.push_back(std::move(it->second));
      it = cameras_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace vistel::web
