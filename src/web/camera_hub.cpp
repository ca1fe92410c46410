#include "vistel/web/camera_hub.h"

#include <atomic>
#include <condition_variable>
#include <vector>

#include "vistel/imaging/image_source.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/clock.h"

namespace vistel::web {

namespace {

constexpr std::uint32_t kPollMs = 10;

}  // namespace

// One camera address: a StreamReader fetching it on a thread of its own,
// keeping the latest picture for the hub's readers.
class CameraHub::Camera {
 public:
  Camera(std::string url, const ThreadStarter& starter)
      : url_(std::move(url)),
        owner_(std::make_shared<ImageSource>(url_, ImageKind::FromName, FrameRef{})),
        reader_(starter) {
    // Every picture: each hub reader paces itself for its own manager.
    reader_.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
    thread_ = starter([this] { run(); }, 0);
  }

  ~Camera() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      wake_.notify_all();
    }
    reader_.shutdown();
    thread_.join();
  }

  // What a hub reader sees of the camera.
  struct Snapshot {
    std::uint64_t pictures = 0;  // pictures received so far
    std::uint64_t failures = 0;  // fetches failed so far
    bool streaming = false;
  };

  Snapshot snapshot() const {
    std::lock_guard lock(mutex_);
    return {pictures_, failures_, streaming_};
  }

  // The latest picture; false before the first.
  bool latest(std::vector<std::uint8_t>& out, std::uint32_t& time) const {
    std::lock_guard lock(mutex_);
    if (pictures_ == 0) return false;
    out = latest_;
    time = latestTime_;
    return true;
  }

  // A reader wants a picture newer than the ones it has (a still picture is
  // fetched again only when someone waits for it).
  void want() {
    std::lock_guard lock(mutex_);
    wanted_ = true;
    wake_.notify_all();
  }

  void addReader(int delta) {
    std::lock_guard lock(mutex_);
    readers_ += delta;
    if (readers_ == 0) idleSince_ = nowMs();
  }

  // No reader for the grace period: the camera may go.
  bool idle() const {
    std::lock_guard lock(mutex_);
    return readers_ == 0 &&
           elapsedMs(nowMs(), idleSince_) >= static_cast<std::int32_t>(kIdleGraceMs);
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      if (!running_ && wanted_) {
        wanted_ = false;
        running_ = true;
        lock.unlock();
        // Blocks while the camera is asked for its kind of answer.
        const auto result = reader_.start(owner_, url_, 0, StreamReader::ModeProbe);
        const bool streaming = reader_.lastProbe().mode == StreamReader::ModeStream;
        lock.lock();
        streaming_ = streaming;
        if (result != StreamReader::Started) {
          running_ = false;
          ++failures_;
        }
        continue;
      }
      if (running_) {
        lock.unlock();
        const std::int32_t state = reader_.pollState();
        std::vector<std::uint8_t> jpeg;
        const bool taken = state == StreamReader::StateReady && reader_.takeFrame(jpeg);
        const std::uint32_t time = reader_.lastPartTime();
        lock.lock();
        if (taken) {
          latest_ = std::move(jpeg);
          latestTime_ = time;
          ++pictures_;
        }
        if (state == StreamReader::StateFailed ||
            (state == StreamReader::StateReady && !taken && !streaming_)) {
          ++failures_;
        }
        // A single picture is done once taken; a failed fetch is retried
        // when a reader asks again.
        if (state == StreamReader::StateIdle || state == StreamReader::StateFailed ||
            (state == StreamReader::StateReady && !streaming_)) {
          running_ = false;
        }
      }
      wake_.wait_for(lock, std::chrono::milliseconds(kPollMs));
    }
  }

  const std::string url_;
  const std::shared_ptr<ImageSource> owner_;  // what the stream reader fetches for
  StreamReader reader_;                       // its own threads; polled by thread_ only

  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  bool stop_ = false;
  bool wanted_ = false;
  bool running_ = false;
  bool streaming_ = false;
  std::vector<std::uint8_t> latest_;
  std::uint32_t latestTime_ = 0;
  std::uint64_t pictures_ = 0;
  std::uint64_t failures_ = 0;
  int readers_ = 0;
  std::uint32_t idleSince_ = nowMs();

  Thread thread_;  // last: started once everything above exists
};

namespace {

// A manager's reader that follows the hub's camera of its address.
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
    camera_->addReader(1);
    const CameraHub::Camera::Snapshot now = camera_->snapshot();
    // A stream already running has a picture to show at once; a still
    // picture is fetched anew for this request.
    seenPictures_ = now.streaming && now.pictures > 0 ? now.pictures - 1 : now.pictures;
    seenFailures_ = now.failures;
    delivered_ = false;
    camera_->want();
    return StreamReader::Started;
  }

  void setFrameRate(std::int32_t selector, float value) override {
    if (selector == StreamReader::kFrameRateSelector) fps_ = value;
  }

  std::int32_t pollState() override {
    if (!camera_) return StreamReader::StateIdle;
    const CameraHub::Camera::Snapshot now = camera_->snapshot();
    if (now.pictures > seenPictures_ && paceAllows()) return StreamReader::StateReady;
    if (now.failures > seenFailures_) {
      seenFailures_ = now.failures;
      detach();
      return StreamReader::StateFailed;
    }
    if (!now.streaming) camera_->want();
    return StreamReader::StateFetching;
  }

  bool takeFrame(std::vector<std::uint8_t>& out) override {
    out.clear();
    if (!camera_ || !camera_->latest(out, time_)) return false;
    seenPictures_ = camera_->snapshot().pictures;
    lastDeliveredMs_ = nowMs();
    delivered_ = true;
    // A still picture is one answer: the manager asks again when it wants one.
    if (!camera_->snapshot().streaming) detach();
    return true;
  }

  std::shared_ptr<ImageSource> owner() const override { return owner_; }
  std::uint32_t lastPartTime() const override { return time_; }
  void shutdown() override {
    shut_ = true;
    detach();
  }

 private:
  // Pictures per second as the manager asked: negative every picture, 0 only
  // the first.
  bool paceAllows() const {
    if (!delivered_ || fps_ < 0) return true;
    if (fps_ == 0) return false;
    return elapsedMs(nowMs(), lastDeliveredMs_) >= static_cast<std::int32_t>(1000.0f / fps_);
  }

  void detach() {
    if (camera_) camera_->addReader(-1);
    camera_.reset();
  }

  CameraHub& hub_;
  std::shared_ptr<ImageSource> owner_;
  std::shared_ptr<CameraHub::Camera> camera_;
  std::uint64_t seenPictures_ = 0;
  std::uint64_t seenFailures_ = 0;
  std::uint32_t time_ = 0;
  std::uint32_t lastDeliveredMs_ = 0;
  bool delivered_ = false;
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
    wake_.notify_all();
  }
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
