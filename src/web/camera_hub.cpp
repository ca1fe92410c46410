#include "vistel/web/camera_hub.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <utility>
#include <vector>

#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/clock.h"

namespace vistel::web {

namespace {

// The camera thread's fallback poll; its reader wakes it when it has news.
constexpr std::uint32_t kPollMs = 10;

}  // namespace

// One camera address: its one reader (a StreamReader for HTTP cameras, an
// RTSP reader for rtsp:// ones) fetching it on threads of its own, and a
// thread that keeps its latest picture and its failures for the hub's
// readers. The camera's health (failure reason, backoff) is the one of its
// own source, which its reader records and obeys: however many sessions show
// the camera, it is asked as often as one viewer would ask it.
class CameraHub::Camera {
 public:
  Camera(std::string url, const ThreadStarter& starter, const SourceReaderFactory& rtspFactory,
         std::atomic<std::uint64_t>& decodes)
      : url_(std::move(url)),
        owner_(std::make_shared<ImageSource>(url_, ImageKind::FromName, FrameRef{})),
        decodes_(decodes) {
    auto wakeUp = [this] {
      {
        std::lock_guard lock(mutex_);
        news_ = true;
      }
      wake_.notify_all();
    };
    if (isRtspAddress(url_)) {
      // A stream for good: its reader connects again after every failure.
      streaming_ = true;
      if (rtspFactory) rtsp_ = rtspFactory(starter);
      if (rtsp_) {
        // Until a reader says otherwise, only the first picture is converted.
        rtsp_->setFrameRate(StreamReader::kFrameRateSelector, 0.0f);
        rtsp_->setWakeUp(std::move(wakeUp));
      }
    } else {
      http_ = std::make_unique<StreamReader>(starter);
      // Every picture: each hub reader paces itself for its own manager, and
      // only the pictures a reader takes are decoded.
      http_->setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
      http_->setWakeUp(std::move(wakeUp));
    }
    thread_ = starter([this] { run(); }, 0);
  }

  ~Camera() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (http_) http_->shutdown();
    if (rtsp_) rtsp_->shutdown();
    thread_.join();
    // The readers' threads outlive this body; they must not reach mutex_.
    if (http_) http_->setWakeUp({});
    if (rtsp_) rtsp_->setWakeUp({});
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

  // The latest picture, decoded (once for every reader that takes it), its
  // time and its number (the count of pictures when it came); false before
  // the first. A picture no row of which could be decoded gives a frame
  // without pixels. Any reader's thread.
  bool latest(FrameRef& out, std::uint32_t& time, std::uint64_t& number) {
    // Readers taking the same picture wait for the one decode of it.
    std::lock_guard decoding(decodeLock_);
    std::shared_ptr<const std::vector<std::uint8_t>> jpeg;
    {
      std::lock_guard lock(mutex_);
      if (pictures_ == 0) return false;
      time = latestTime_;
      number = pictures_;
      if (decodedNumber_ == pictures_ && decoded_) {
        out = decoded_;
        return true;
      }
      jpeg = latestJpeg_;
    }
    if (!jpeg) return false;
    FrameRef frame = Frame::decoded(jpeg->data(), jpeg->size(), time);
    decodes_.fetch_add(1, std::memory_order_relaxed);
    FrameRef old;  // freed outside the lock
    {
      std::lock_guard lock(mutex_);
      if (decodedNumber_ < number) {
        old = std::exchange(decoded_, frame);
        decodedNumber_ = number;
      }
    }
    out = std::move(frame);
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
  // Returns the key for removeReader and setRate.
  std::uint64_t addReader(std::function<void()> wakeUp) {
    std::lock_guard notify(notifyLock_);
    std::lock_guard lock(mutex_);
    ++readers_;
    const std::uint64_t key = nextKey_++;
    if (wakeUp) wakeUps_.emplace_back(key, std::move(wakeUp));
    rates_[key] = 0.0f;
    return key;
  }

  // The reader of `key` follows the camera no more; its wake-up is not called
  // once this returns.
  void removeReader(std::uint64_t key) {
    std::lock_guard notify(notifyLock_);
    std::lock_guard lock(mutex_);
    std::erase_if(wakeUps_, [key](const auto& entry) { return entry.first == key; });
    rates_.erase(key);
    if (--readers_ == 0) idleSince_ = nowMs();
  }

  // The rate the reader of `key` wants (as StreamReader's frame rate). An
  // RTSP camera converts pictures at the fastest rate wanted.
  void setRate(std::uint64_t key, float fps) {
    {
      std::lock_guard lock(mutex_);
      const auto it = rates_.find(key);
      if (it == rates_.end() || it->second == fps) return;
      it->second = fps;
    }
    wake_.notify_all();
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
  // Every picture when any reader wants every one, else the highest rate.
  float fastestRate() const {
    float fastest = 0.0f;
    for (const auto& entry : rates_) {
      if (entry.second < 0.0f) return -1.0f;
      fastest = std::max(fastest, entry.second);
    }
    return fastest;
  }

  void run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (rtsp_ && fastestRate() != appliedRate_) {
        appliedRate_ = fastestRate();
        const float rate = appliedRate_;
        lock.unlock();
        rtsp_->setFrameRate(StreamReader::kFrameRateSelector, rate);
        lock.lock();
      }
      if (!running_ && wanted_ && (http_ || rtsp_)) {
        wanted_ = false;
        running_ = true;
        lock.unlock();
        // Returns at once: the probe and every connection run on the
        // reader's own thread, after the camera's backoff.
        const auto result = http_ ? http_->start(owner_, url_, 0, StreamReader::ModeProbe)
                                  : rtsp_->start(owner_, url_, 0, StreamReader::ModeStream);
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
        const Poll poll = http_ ? pollHttp() : pollRtsp();
        const std::int32_t failuresNow = owner_->health().state().failures;
        FrameRef old;  // freed outside the lock
        lock.lock();
        streaming_ = poll.streaming;
        if (poll.taken) {
          ++pictures_;
          latestTime_ = poll.time;
          latestJpeg_ = poll.jpeg;
          if (poll.picture) {
            old = std::exchange(decoded_, poll.picture);
            decodedNumber_ = pictures_;
          }
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
        if (poll.state == StreamReader::StateIdle ||
            (!poll.streaming &&
             (poll.state == StreamReader::StateReady || poll.state == StreamReader::StateFailed))) {
          running_ = false;
        }
        if (old) {
          lock.unlock();
          old.reset();
          lock.lock();
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

  // One look at the camera's reader. Camera thread, without mutex_.
  struct Poll {
    std::int32_t state = StreamReader::StateIdle;
    bool taken = false;
    bool streaming = false;
    std::uint32_t time = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> jpeg;  // HTTP: not decoded yet
    FrameRef picture;                                       // RTSP: decoded by its reader
  };

  Poll pollHttp() {
    Poll poll;
    poll.state = http_->pollState();
    std::vector<std::uint8_t> jpeg;
    poll.taken = poll.state == StreamReader::StateReady && http_->takeFrame(jpeg);
    if (poll.taken) poll.jpeg = std::make_shared<const std::vector<std::uint8_t>>(std::move(jpeg));
    poll.time = http_->lastPartTime();
    poll.streaming = http_->lastProbe().mode == StreamReader::ModeStream;
    return poll;
  }

  Poll pollRtsp() {
    Poll poll;
    poll.state = rtsp_->pollState();
    poll.taken = poll.state == StreamReader::StateReady && rtsp_->takePicture(poll.picture);
    poll.time = poll.taken ? poll.picture->timestamp() : rtsp_->lastPartTime();
    // An RTSP camera is a stream for good: its reader connects again after
    // every failure.
    poll.streaming = true;
    return poll;
  }

  void notifyReaders() {
    std::lock_guard notify(notifyLock_);
    for (const auto& entry : wakeUps_) entry.second();
  }

  const std::string url_;
  const std::shared_ptr<ImageSource> owner_;  // what the reader fetches for; its health
  std::unique_ptr<StreamReader> http_;        // HTTP cameras; polled by thread_ only
  std::unique_ptr<SourceReader> rtsp_;        // rtsp:// cameras (null when none could be made)
  std::atomic<std::uint64_t>& decodes_;       // the hub's count

  // Taken before mutex_ when both are; held while wake-ups run, so that a
  // reader removed is never woken afterwards.
  std::mutex notifyLock_;
  std::vector<std::pair<std::uint64_t, std::function<void()>>> wakeUps_;  // guarded by both locks
  std::uint64_t nextKey_ = 0;                                             // guarded by both locks

  // Taken before mutex_; held by the reader that decodes the latest picture.
  std::mutex decodeLock_;

  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool stop_ = false;
  bool wanted_ = false;
  bool running_ = false;
  bool streaming_ = false;
  bool news_ = false;                                            // the reader called its wake-up
  bool startedOnce_ = false;                                     // the reader was given a job
  std::shared_ptr<const std::vector<std::uint8_t>> latestJpeg_;  // HTTP cameras' latest picture
  FrameRef decoded_;                 // the latest picture decoded, never written once here
  std::uint64_t decodedNumber_ = 0;  // the picture count decoded_ belongs to
  std::uint32_t latestTime_ = 0;
  std::uint64_t pictures_ = 0;
  std::uint64_t failures_ = 0;
  std::int32_t healthFailuresSeen_ = 0;
  std::map<std::uint64_t, float> rates_;  // each reader's wanted rate
  float appliedRate_ = 0.0f;              // the RTSP reader's rate as last set
  int readers_ = 0;                       // guarded by both locks
  std::uint32_t idleSince_ = nowMs();

  Thread thread_;  // last: started once everything above exists
};

namespace {

// A manager's reader that follows the hub's camera of its address. Pictures
// are marked ready by the same schedule as the stream reader's, for the rate
// its manager asks, and taken decoded, the same frame as every other
// session's reader of the camera; the camera's failures reach the manager's source with
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
    camera_->setRate(key_, fps_);
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
    if (selector != StreamReader::kFrameRateSelector) return;
    fps_ = value;
    if (camera_) camera_->setRate(key_, fps_);
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

  // The pictures come decoded, shared with every other session's reader of
  // the camera (takePicture).
  bool takeFrame(std::vector<std::uint8_t>& out) override {
    out.clear();
    return false;
  }

  bool takePicture(FrameRef& out) override {
    out.reset();
    std::uint64_t number = 0;
    if (!camera_ || !camera_->latest(out, time_, number)) return false;
    seenPictures_ = number;
    pacedPictures_ = std::max(pacedPictures_, number);
    ready_ = false;
    if (owner_) {
      owner_->health().recordPicture();
      // Bytes that are no picture at all say so, as the manager's own decode would.
      if (out->width() <= 0) owner_->health().recordFailure(nowMs(), SourceFailure::NoPictures, 0);
    }
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

CameraHub::CameraHub(ThreadStarter starter, SourceReaderFactory rtspFactory)
    : starter_(std::move(starter)), rtspFactory_(std::move(rtspFactory)) {
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
    camera = std::make_shared<Camera>(url, starter_, rtspFactory_, decoded_);
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
