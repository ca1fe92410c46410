#include "vistel/imaging/rtsp_source_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "vistel/imaging/frame.h"
#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/rtsp_stream_p.h"
#include "vistel/imaging/source_health.h"
#include "vistel/platform/clock.h"

namespace vistel {

namespace {

using detail::RtspResult;

// The longest pause between looks at the backoff, so that a stepped test
// clock is followed too.
constexpr std::uint32_t kBackoffStepMs = 50;

}  // namespace

struct RtspSourceReader::Impl {
  explicit Impl(int threads) : decoderThreads(threads) {}

  struct Job {
    std::uint64_t generation = 0;
    std::shared_ptr<ImageSource> owner;
    std::string url;
  };

  void fetchLoop();
  // Waits for work; false when shutting down.
  bool takeJob(Job& job);
  bool isCurrent(const Job& job) const {
    return !abort.load(std::memory_order_acquire) &&
           generation.load(std::memory_order_acquire) == job.generation;
  }
  // One attempt: connect, then pictures until the connection ends.
  void runAttempt(const Job& job, const RtspAddress& address);
  void deliver(const Job& job, DecodedPicture picture, std::uint32_t timestamp);
  void fail(const Job& job, std::uint32_t attemptStart, RtspResult result);
  // Sleeps up to `ms`, waking early for new work or shutdown.
  void pause(std::uint32_t ms);
  void notifyOwner();

  const int decoderThreads;
  detail::RtspStream stream;  // fetch thread; stop(), cancel() and the silence limit any thread

  std::atomic<bool> abort{false};
  std::atomic<std::uint64_t> generation{0};
  std::atomic<std::int32_t> state{StreamReader::StateIdle};
  std::atomic<float> frameRate{0.0f};
  std::atomic<std::uint32_t> lastPartTime{0};
  std::atomic<std::int32_t> connections{0};

  mutable std::mutex jobLock;
  std::shared_ptr<ImageSource> owner;  // guarded by jobLock
  std::string url;                     // guarded by jobLock
  bool workPosted = false;             // guarded by jobLock
  std::condition_variable wake;        // with jobLock

  std::mutex frameLock;
  FrameRef frame;            // guarded by frameLock: the one-slot hand-over
  detail::FramePacer pacer;  // guarded by frameLock

  std::mutex notifyLock;         // taken alone
  std::function<void()> wakeUp;  // guarded by notifyLock

  Thread fetchThread;
};

bool RtspSourceReader::Impl::takeJob(Job& job) {
  std::unique_lock lock(jobLock);
  wake.wait(lock, [&] {
    return abort.load(std::memory_order_acquire) || workPosted ||
           (owner && generation.load(std::memory_order_relaxed) != job.generation);
  });
  if (abort.load(std::memory_order_acquire)) return false;
  workPosted = false;
  job.generation = generation.load(std::memory_order_relaxed);
  job.owner = owner;
  job.url = url;
  // start() cancelled the previous camera's connection under this lock; the
  // new one may connect. A later start() cancels again after this.
  stream.clearCancel();
  return true;
}

void RtspSourceReader::Impl::pause(std::uint32_t ms) {
  std::unique_lock lock(jobLock);
  wake.wait_for(lock, std::chrono::milliseconds(ms),
                [&] { return abort.load(std::memory_order_acquire) || workPosted; });
}

void RtspSourceReader::Impl::notifyOwner() {
  std::lock_guard lock(notifyLock);
  if (wakeUp) wakeUp();
}

void RtspSourceReader::Impl::fetchLoop() {
  Job job;
  while (takeJob(job)) {
    RtspAddress address;
    const bool usable = parseRtspAddress(job.url, address);
    while (isCurrent(job)) {
      const std::uint32_t wait = job.owner->health().waitMs(nowMs());
      if (wait > 0) {
        pause(std::min(wait, kBackoffStepMs));
        continue;
      }
      if (!usable) {
        fail(job, nowMs(), RtspResult::BadAddress);
        continue;
      }
      runAttempt(job, address);
    }
  }
  stream.close();
  state.store(StreamReader::StateEnded, std::memory_order_release);
}

void RtspSourceReader::Impl::runAttempt(const Job& job, const RtspAddress& address) {
  {
    std::lock_guard lock(frameLock);
    frame.reset();
  }
  std::int32_t expected = StreamReader::StateFailed;
  state.compare_exchange_strong(expected, StreamReader::StateFetching, std::memory_order_acq_rel);
  const std::uint32_t attemptStart = nowMs();
  stream.setSilenceLimit(silenceLimitMs(frameRate.load(std::memory_order_relaxed)));
  detail::RtspOptions options;
  options.decoderThreads = decoderThreads;
  connections.fetch_add(1, std::memory_order_relaxed);
  RtspResult result = stream.open(address, options);
  if (result == RtspResult::Ok) {
    job.owner->health().recordAnswer(200);
    {
      std::lock_guard lock(frameLock);
      pacer.restart(attemptStart);
    }
    while ((result = stream.nextPicture()) == RtspResult::Ok) {
      job.owner->health().recordPicture();
      const std::uint32_t now = nowMs();
      bool marked;
      {
        std::lock_guard lock(frameLock);
        marked = pacer.partStored(now, frameRate.load(std::memory_order_relaxed));
        lastPartTime.store(pacer.lastPartTime(), std::memory_order_release);
      }
      // Every picture is decoded (later ones are predicted from it); only
      // those handed over are converted.
      if (marked) deliver(job, stream.convert(), stream.picture().receivedMs);
      stream.setSilenceLimit(silenceLimitMs(frameRate.load(std::memory_order_relaxed)));
    }
  }
  stream.close();
  fail(job, attemptStart, result);
}

void RtspSourceReader::Impl::deliver(const Job& job, DecodedPicture picture,
                                     std::uint32_t timestamp) {
  if (!picture.pixels) return;
  FrameRef decoded = Frame::decoded(std::move(picture), timestamp);
  {
    std::lock_guard lock(frameLock);
    if (!isCurrent(job)) return;
    frame = std::move(decoded);
    state.store(StreamReader::StateReady, std::memory_order_release);
  }
  notifyOwner();
}

void RtspSourceReader::Impl::fail(const Job& job, std::uint32_t attemptStart, RtspResult result) {
  // A camera left for another, or shutdown: nothing to record.
  if (result == RtspResult::Stopped || !isCurrent(job)) return;
  job.owner->health().recordFailure(attemptStart, detail::sourceFailureOf(result),
                                    result == RtspResult::ErrorStatus ||
                                            result == RtspResult::NotFound ||
                                            result == RtspResult::PasswordRefused
                                        ? stream.info().httpStatus
                                        : 0);
  {
    std::lock_guard lock(frameLock);
    if (!isCurrent(job)) return;
    frame.reset();
    state.store(StreamReader::StateFailed, std::memory_order_release);
  }
  notifyOwner();
}

RtspSourceReader::RtspSourceReader(const ThreadStarter& starter, int decoderThreads)
    : impl_(std::make_unique<Impl>(decoderThreads)) {
  Impl* impl = impl_.get();
  if (starter) impl->fetchThread = starter([impl] { impl->fetchLoop(); }, 0);
}

RtspSourceReader::~RtspSourceReader() {
  shutdown();
  impl_->fetchThread.join();
}

std::int32_t RtspSourceReader::start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                     std::size_t, std::int32_t) {
  Impl& impl = *impl_;
  if (!impl.fetchThread.joinable() || !owner || impl.abort.load(std::memory_order_acquire))
    return StreamReader::CouldNotStart;
  {
    std::scoped_lock lock(impl.jobLock, impl.frameLock);
    impl.generation.fetch_add(1, std::memory_order_acq_rel);
    impl.stream.cancel();
    impl.owner = std::move(owner);
    impl.url = std::string(url);
    impl.workPosted = true;
    impl.frame.reset();
    impl.pacer.restart(nowMs());
    impl.lastPartTime.store(impl.pacer.lastPartTime(), std::memory_order_release);
    impl.state.store(StreamReader::StateFetching, std::memory_order_release);
  }
  impl.wake.notify_all();
  return StreamReader::Started;
}

void RtspSourceReader::setFrameRate(std::int32_t selector, float value) {
  if (selector != StreamReader::kFrameRateSelector) return;
  impl_->frameRate.store(value, std::memory_order_relaxed);
  impl_->stream.setSilenceLimit(silenceLimitMs(value));
}

std::int32_t RtspSourceReader::pollState() { return impl_->state.load(std::memory_order_acquire); }

bool RtspSourceReader::takeFrame(std::vector<std::uint8_t>& out) {
  out.clear();
  return false;
}

bool RtspSourceReader::takePicture(FrameRef& out) {
  Impl& impl = *impl_;
  std::lock_guard lock(impl.frameLock);
  if (!impl.frame) {
    out.reset();
    return false;
  }
  out = std::move(impl.frame);
  impl.frame.reset();
  // Back to reading; a failure reported since is left for the next poll.
  std::int32_t expected = StreamReader::StateReady;
  impl.state.compare_exchange_strong(expected, StreamReader::StateFetching,
                                     std::memory_order_acq_rel);
  return true;
}

std::shared_ptr<ImageSource> RtspSourceReader::owner() const {
  std::lock_guard lock(impl_->jobLock);
  return impl_->owner;
}

std::uint32_t RtspSourceReader::lastPartTime() const {
  return impl_->lastPartTime.load(std::memory_order_acquire);
}

void RtspSourceReader::shutdown() {
  Impl& impl = *impl_;
  {
    std::lock_guard lock(impl.jobLock);
    impl.abort.store(true, std::memory_order_release);
  }
  impl.stream.stop();
  impl.wake.notify_all();
}

void RtspSourceReader::setWakeUp(std::function<void()> wakeUp) {
  std::lock_guard lock(impl_->notifyLock);
  impl_->wakeUp = std::move(wakeUp);
}

std::int32_t RtspSourceReader::connections() const {
  return impl_->connections.load(std::memory_order_relaxed);
}

SourceReaderFactory rtspReaderFactory(int decoderThreads) {
  return [decoderThreads](const ThreadStarter& starter) -> std::unique_ptr<SourceReader> {
    return std::make_unique<RtspSourceReader>(starter, decoderThreads);
  };
}

}  // namespace vistel
