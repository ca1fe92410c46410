#include "vistel/imaging/stream_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "vistel/imaging/frame_pacer_p.h"
#include "vistel/imaging/image_loader.h"
#include "vistel/imaging/multipart_cutter_p.h"
#include "vistel/imaging/stream_probe_p.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/http_session.h"

namespace vistel {

namespace {

constexpr auto kOpenFlags =
    HttpOpenFlags::Reload | HttpOpenFlags::NoCacheWrite | HttpOpenFlags::Binary;
constexpr std::uint32_t kIdlePollMs = 20;
constexpr std::uint32_t kRetryPauseMs = 500;
constexpr auto kWatchdogLockWait = std::chrono::milliseconds(2000);
constexpr auto kWatchdogLockStep = std::chrono::milliseconds(5);
constexpr std::size_t kSingleReadStep = 32768;
// start() reserves the caller's initial slot size up to this much.
constexpr std::size_t kMaxInitialSlot = detail::kMaxBytesWithoutDelimiter;

bool isSuccess(int status) { return status >= 200 && status < 300; }

}  // namespace

struct StreamReader::Impl {
  explicit Impl(std::uint32_t watchdogMs) : watchdogTimeoutMs(watchdogMs) {}

  // ---- Fetch thread -------------------------------------------------------

  // What start() asked for, as the fetch thread copies it at the top of a pass.
  struct Job {
    std::int32_t mode = ModeIdle;
    std::string url;
    std::uint64_t generation = 0;
  };

  void fetchLoop();
  void finishDelivered(std::uint64_t generation);
  bool singleFetch(const Job& job);
  bool streamLoop(const Job& job);
  // Runs `change` under jobLock unless start() has begun another job since
  // `generation`: a late retry of an old job must not overwrite the new one.
  template <class Change>
  void ifCurrent(std::uint64_t generation, Change change) {
    std::lock_guard lock(jobLock);
    if (jobGeneration.load(std::memory_order_relaxed) == generation) change();
  }
  // Sleeps `ms`, waking early when the reader is destroyed or (for the idle
  // poll) given work. False when destruction began.
  bool pause(std::uint32_t ms, bool wakeOnWork = false);
  bool openUrl(const std::string& url);
  // Up to two attempts, each behind the fileLock gate and watched by the
  // watchdog; a failed attempt is followed by a watchdogTimeout pause. The
  // count (> 0), 0 at the end of the body (or without an open response), or
  // -1 when both attempts failed.
  std::int64_t guardedRead(std::uint8_t* buffer, std::size_t size);
  void storePart(std::uint64_t generation, const std::uint8_t* data, std::size_t size);

  // ---- Watchdog thread ----------------------------------------------------

  void watchdogLoop();
  // Takes fileLock when it comes free within `limit`.
  bool lockFileWithin(std::chrono::milliseconds limit);

  // ---- Owner thread -------------------------------------------------------

  // 0 (unusable), 1 (single picture) or 2 (stream) from the server's answer;
  // records the boundary and the part-length hint for a stream.
  std::int32_t probe(const std::string& url);

  // ---- Any thread ---------------------------------------------------------

  void shutdown();

  const std::uint32_t watchdogTimeoutMs;
  HttpSession session;  // thread-safe

  // Plain words polled across threads.
  std::atomic<std::int32_t> readerMode{ModeIdle};
  std::atomic<std::int32_t> readerState{StateIdle};
  std::atomic<bool> abort{false};  // set once, by shutdown()
  std::atomic<std::uint32_t> lastError{0};
  std::atomic<std::uint32_t> lastPartTime{0};  // mirrors pacer's, for the owner thread
  std::atomic<float> frameRate{0.0f};
  // Bumped by start() under both jobLock and frameLock; read under either.
  std::atomic<std::uint64_t> jobGeneration{0};

  // Serialises replacing `file` against the watchdog's and destruction's
  // abort() (HttpResponse::abort must not meet the response's destruction).
  std::mutex fileLock;
  // The open response. Replaced only by the fetch thread (under fileLock),
  // which also reads through it without the lock; other threads reach it
  // only under fileLock.
  std::unique_ptr<HttpResponse> file;

  // Ends the fetch thread's open. Cancelled under jobLock by shutdown() and by
  // start() when it replaces the job; reset under jobLock by the fetch thread
  // as it takes a job, after checking `abort`, so a shutdown is never undone.
  HttpCancel fetchCancel;
  // Ends the probe's open; cancelled by shutdown() only, never reset.
  HttpCancel probeCancel;
  // Serialises the probe's publishing of its response against shutdown()'s abort().
  std::mutex probeLock;
  HttpResponse* probeResponse = nullptr;  // guarded by probeLock; owned by the probe

  // Guards the job set by start() and the stream hints.
  std::mutex jobLock;
  std::shared_ptr<ImageSource> owner;  // guarded by jobLock
  std::string url;                     // guarded by jobLock
  std::int32_t attempts = 0;           // guarded by jobLock
  std::string boundary;                // guarded by jobLock; as the server gave it
  ProbeResult lastProbe;               // guarded by jobLock
  bool noLearn = false;                // guarded by jobLock

  // The one-slot hand-over and the pacing of ready marks.
  std::mutex frameLock;
  std::vector<std::uint8_t> frame;  // guarded by frameLock
  detail::FramePacer pacer;         // guarded by frameLock

  // Wakes the fetch thread's pauses (destruction, new work).
  std::mutex wakeLock;
  std::condition_variable wake;
  bool workPosted = false;  // guarded by wakeLock

  // The watchdog's view of reads (in place of two auto-reset events, which
  // can lose a start when a read begins before the watchdog consumed the
  // previous one).
  std::mutex watchLock;
  std::condition_variable watchChanged;
  std::uint64_t readSeq = 0;  // guarded by watchLock; counts reads begun
  bool reading = false;       // guarded by watchLock
  bool watchdogStop = false;  // guarded by watchLock

  Thread fetchThread;
  Thread watchdogThread;
};

// ---- Fetch thread ---------------------------------------------------------

bool StreamReader::Impl::pause(std::uint32_t ms, bool wakeOnWork) {
  std::unique_lock lock(wakeLock);
  wake.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return abort.load(std::memory_order_acquire) || (wakeOnWork && workPosted);
  });
  if (wakeOnWork) workPosted = false;
  return !abort.load(std::memory_order_acquire);
}

bool StreamReader::Impl::openUrl(const std::string& target) {
  {
    std::lock_guard lock(fileLock);
    if (file) file->close();
    file.reset();
  }
  // The open itself runs outside the lock so that the watchdog and
  // destruction are never held up behind a slow server.
  HttpError error = HttpError::None;
  auto response = session.open(target, kOpenFlags, &error, &fetchCancel);
  if (!response) {
    lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
    return false;
  }
  // An error page is not a picture or a stream.
  if (!isSuccess(response->status())) return false;
  std::lock_guard lock(fileLock);
  // Destruction sets `abort` before it takes the lock to abort `file`: a
  // response stored after that would never be aborted.
  if (abort.load(std::memory_order_acquire)) return false;
  file = std::move(response);
  return true;
}

std::int64_t StreamReader::Impl::guardedRead(std::uint8_t* buffer, std::size_t size) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (abort.load(std::memory_order_acquire)) return 0;
    {
      // A gate: no read starts while the response is being swapped or aborted.
      std::lock_guard gate(fileLock);
    }
    {
      std::lock_guard lock(watchLock);
      ++readSeq;
      reading = true;
    }
    watchChanged.notify_all();
    std::int64_t count = 0;
    HttpError error = HttpError::None;
    if (file && file->isOpen()) {
      count = file->read(buffer, size);
      if (count < 0) error = file->error();
    }
    {
      std::lock_guard lock(watchLock);
      reading = false;
    }
    watchChanged.notify_all();
    if (count >= 0) return count;
    lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
    if (!pause(watchdogTimeoutMs)) return 0;
  }
  return -1;
}

bool StreamReader::Impl::singleFetch(const Job& job) {
  if (!openUrl(job.url)) return false;
  std::vector<std::uint8_t> bytes(kSingleReadStep);
  std::size_t length = 0;
  std::int64_t count = guardedRead(bytes.data(), kSingleReadStep);
  while (count > 0) {
    length += static_cast<std::size_t>(count);
    if (abort.load(std::memory_order_acquire) || length > kMaxPictureBytes) return false;
    if (bytes.size() - length < kSingleReadStep) bytes.resize(bytes.size() + kSingleReadStep);
    count = guardedRead(bytes.data() + length, bytes.size() - length);
  }
  // A read that failed leaves a cut-off picture, and an empty body is none.
  if (count < 0 || length == 0) return false;
  bytes.resize(length);
  bytes.shrink_to_fit();
  // Filled aside and handed over whole, so the owner thread never sees a
  // half-written slot.
  std::lock_guard lock(frameLock);
  if (jobGeneration.load(std::memory_order_relaxed) == job.generation) frame = std::move(bytes);
  return true;
}

void StreamReader::Impl::storePart(std::uint64_t generation, const std::uint8_t* data,
                                   std::size_t size) {
  std::lock_guard lock(frameLock);
  if (jobGeneration.load(std::memory_order_relaxed) != generation) return;
  // The previous picture, taken or not, is replaced: a slow consumer never
  // queues pictures.
  frame.assign(data, data + size);
  const std::uint32_t now = nowMs();
  if (pacer.partStored(now, frameRate.load(std::memory_order_relaxed)))
    readerState.store(StateReady, std::memory_order_release);
  lastPartTime.store(pacer.lastPartTime(), std::memory_order_release);
}

bool StreamReader::Impl::streamLoop(const Job& job) {
  if (!openUrl(job.url)) return false;
  std::string serverBoundary;
  bool learnOff = false;
  {
    std::lock_guard lock(jobLock);
    serverBoundary = boundary;
    learnOff = noLearn;
  }
  detail::MultipartCutter cutter(serverBoundary, learnOff);
  const auto outcome = cutter.run(
      [this](std::uint8_t* buffer, std::size_t size) -> std::size_t {
        const std::int64_t count = guardedRead(buffer, size);
        return count > 0 ? static_cast<std::size_t>(count) : 0;
      },
      [this, &job](const std::uint8_t* data, std::size_t size) {
        storePart(job.generation, data, size);
      },
      [this, &job] {
        return abort.load(std::memory_order_acquire) ||
               jobGeneration.load(std::memory_order_relaxed) != job.generation;
      });
  if (cutter.noLearn()) {
    std::lock_guard lock(jobLock);
    noLearn = true;
  }
  return outcome == detail::MultipartCutter::Outcome::Stopped;
}

// A job that handed over its last picture leaves the reader idle and ready.
void StreamReader::Impl::finishDelivered(std::uint64_t generation) {
  ifCurrent(generation, [&] {
    {
      std::lock_guard lock(frameLock);
      pacer.singleFetched(nowMs());
    }
    readerMode.store(ModeIdle, std::memory_order_release);
    readerState.store(StateReady, std::memory_order_release);
  });
}

void StreamReader::Impl::fetchLoop() {
  while (!abort.load(std::memory_order_acquire)) {
    Job job;
    {
      std::lock_guard lock(jobLock);
      if (abort.load(std::memory_order_acquire)) break;
      // A cancel aimed at the previous job must not end this one.
      fetchCancel.reset();
      job.mode = readerMode.load(std::memory_order_acquire);
      job.url = url;
      job.generation = jobGeneration.load(std::memory_order_relaxed);
    }
    if (job.mode == ModeSingle) {
      ifCurrent(job.generation, [&] {
        std::lock_guard lock(frameLock);
        frame.clear();
      });
      if (singleFetch(job)) {
        finishDelivered(job.generation);
        continue;
      }
      ifCurrent(job.generation, [&] { readerState.store(StateFailed, std::memory_order_release); });
      if (!pause(kRetryPauseMs)) break;
      ifCurrent(job.generation, [&] {
        if (++attempts > 1) {
          readerMode.store(ModeIdle, std::memory_order_release);  // the state stays failed
        } else {
          readerState.store(StateRetryPending, std::memory_order_release);
        }
      });
    } else if (job.mode == ModeStream) {
      ifCurrent(job.generation, [&] {
        {
          std::lock_guard lock(frameLock);
          frame.clear();
        }
        readerState.store(StateFetching, std::memory_order_release);
      });
      if (streamLoop(job)) {
        finishDelivered(job.generation);
        continue;
      }
      // The mode stays "stream": the connection is made again after the pause.
      ifCurrent(job.generation, [&] { readerState.store(StateFailed, std::memory_order_release); });
      if (!pause(kRetryPauseMs)) break;
    } else {
      pause(kIdlePollMs, true);
    }
  }
  readerState.store(StateEnded, std::memory_order_release);
}

// ---- Watchdog thread --------------------------------------------------------

bool StreamReader::Impl::lockFileWithin(std::chrono::milliseconds limit) {
  // Tried in short steps rather than with a timed mutex, whose clock-based
  // lock the thread sanitizer does not follow.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!fileLock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kWatchdogLockStep);
  }
  return true;
}

void StreamReader::Impl::watchdogLoop() {
  std::unique_lock lock(watchLock);
  for (;;) {
    watchChanged.wait(lock, [&] { return watchdogStop || reading; });
    if (watchdogStop) return;
    const std::uint64_t seq = readSeq;
    const bool finished =
        watchChanged.wait_for(lock, std::chrono::milliseconds(watchdogTimeoutMs),
                              [&] { return watchdogStop || !reading || readSeq != seq; });
    if (watchdogStop) return;
    if (!finished) {
      // The read hangs: end its transfer so that it fails and the fetch
      // thread reconnects.
      lock.unlock();
      if (lockFileWithin(kWatchdogLockWait)) {
        if (file) file->abort();
        fileLock.unlock();
      }
      lock.lock();
      // This read is dealt with (or given up on): wait for the next one.
      watchChanged.wait(lock, [&] { return watchdogStop || !reading || readSeq != seq; });
    }
  }
}

// ---- Owner thread -----------------------------------------------------------

std::int32_t StreamReader::Impl::probe(const std::string& target) {
  // The probe has a connection of its own: the fetch thread may still be
  // reading through `file` (a single-picture retry).
  ProbeResult seen;
  // Whatever the outcome, what the server said is kept for lastProbe().
  struct Record {
    Impl& impl;
    ProbeResult& seen;
    ~Record() {
      std::lock_guard lock(impl.jobLock);
      impl.lastProbe = std::move(seen);
    }
  } record{*this, seen};
  HttpError error = HttpError::None;
  const auto response = session.open(target, kOpenFlags, &error, &probeCancel);
  if (!response) {
    lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
    return ModeIdle;
  }
  seen.contentType = response->header("Content-Type").value_or("");
  if (!response->isOpen() || !isSuccess(response->status())) return ModeIdle;
  std::string streamBoundary;
  const std::int32_t mode =
      detail::modeFromContentType(seen.contentType, streamBoundary, detail::kMaxDelimiterLength);
  seen.boundary = streamBoundary;
  if (mode != ModeStream) {
    seen.mode = mode;
    return mode;
  }
  {
    // The reads below may block; shutdown() aborts them through this pointer.
    // It sets `abort` before it takes the lock: a response published after
    // that would never be aborted.
    std::lock_guard lock(probeLock);
    if (abort.load(std::memory_order_acquire)) return ModeIdle;
    probeResponse = response.get();
  }

  // Whether the first part headers carry a length: only the text before the
  // first zero byte counts, so reading stops there (or at the sniff size, at
  // the end of the body, or after one watchdog period of a dripping server).
  std::vector<std::uint8_t> head(detail::kProbeSniffBytes);
  std::size_t have = 0;
  const std::uint32_t began = nowMs();
  while (have < head.size()) {
    const std::int64_t count = response->read(head.data() + have, head.size() - have);
    if (count <= 0) break;
    const std::uint8_t* from = head.data() + have;
    have += static_cast<std::size_t>(count);
    const std::uint8_t* to = head.data() + have;
    if (std::find(from, to, std::uint8_t{0}) != to) break;
    if (elapsedMs(nowMs(), began) > static_cast<std::int32_t>(watchdogTimeoutMs)) break;
  }
  {
    std::lock_guard lock(probeLock);
    probeResponse = nullptr;
  }
  // Reads that shutdown() cut short decide nothing.
  if (abort.load(std::memory_order_acquire)) return ModeIdle;
  const bool lengths = detail::announcesPartLength(head.data(), have);
  response->close();
  seen.mode = ModeStream;
  std::lock_guard lock(jobLock);
  boundary = std::move(streamBoundary);
  noLearn = lengths;
  return ModeStream;
}

// ---- Any thread -----------------------------------------------------------

void StreamReader::Impl::shutdown() {
  abort.store(true, std::memory_order_release);
  {
    std::lock_guard lock(jobLock);
    fetchCancel.cancel();
  }
  probeCancel.cancel();
  {
    std::lock_guard lock(probeLock);
    if (probeResponse) probeResponse->abort();
  }
  { std::lock_guard lock(wakeLock); }
  wake.notify_all();
  // A read blocked in the fetch thread returns within about 100 ms.
  std::lock_guard lock(fileLock);
  if (file) file->abort();
}

// ---- StreamReader -----------------------------------------------------------

StreamReader::StreamReader(const ThreadStarter& starter, std::uint32_t watchdogTimeoutMs)
    : impl_(std::make_unique<Impl>(watchdogTimeoutMs)) {
  Impl* impl = impl_.get();
  impl->session.setConnectTimeout(HttpSession::kDefaultTimeoutMs);
  impl->session.setReceiveTimeout(HttpSession::kDefaultTimeoutMs);
  if (starter) impl->fetchThread = starter([impl] { impl->fetchLoop(); }, 0);
  impl->watchdogThread =
      startThread([impl] { impl->watchdogLoop(); }, ThreadOptions{0, ThreadPriority::BelowNormal});
}

StreamReader::~StreamReader() {
  Impl& impl = *impl_;
  impl.shutdown();
  impl.fetchThread.join();
  {
    std::lock_guard lock(impl.watchLock);
    impl.watchdogStop = true;
  }
  impl.watchChanged.notify_all();
  impl.watchdogThread.join();
  impl.file.reset();
}

std::int32_t StreamReader::start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                 std::size_t initialBufferSize, std::int32_t mode) {
  Impl& impl = *impl_;
  if (impl.readerState.load(std::memory_order_acquire) == StateFetching) return AlreadyFetching;
  // Without a fetch thread nothing would ever be fetched.
  if (!impl.fetchThread.joinable() || impl.abort.load(std::memory_order_acquire))
    return CouldNotStart;
  const std::string target(url);
  for (;;) {
    {
      std::scoped_lock lock(impl.jobLock, impl.frameLock);
      impl.jobGeneration.fetch_add(1, std::memory_order_relaxed);
      // The fetch thread may be connecting for the job being replaced.
      impl.fetchCancel.cancel();
      std::vector<std::uint8_t> fresh;
      fresh.reserve(std::min(initialBufferSize, kMaxInitialSlot));
      impl.frame = std::move(fresh);
      impl.owner = owner;
      impl.url = target;
      impl.attempts = 0;
      if (mode == ModeSingle || mode == ModeStream) {
        impl.pacer.restart(nowMs());
        impl.lastPartTime.store(impl.pacer.lastPartTime(), std::memory_order_release);
        impl.readerMode.store(mode, std::memory_order_release);
        impl.readerState.store(StateFetching, std::memory_order_release);
      }
    }
    if (mode == ModeSingle || mode == ModeStream) {
      {
        std::lock_guard lock(impl.wakeLock);
        impl.workPosted = true;
      }
      impl.wake.notify_all();
      return Started;
    }
    if (mode != ModeProbe) return CouldNotStart;
    mode = impl.probe(target);
    if (mode == ModeIdle) {
      std::lock_guard lock(impl.jobLock);
      impl.readerState.store(StateFailed, std::memory_order_release);
      impl.readerMode.store(ModeIdle, std::memory_order_release);
      return CouldNotStart;
    }
  }
}

void StreamReader::setFrameRate(std::int32_t selector, float value) {
  if (selector == kFrameRateSelector) impl_->frameRate.store(value, std::memory_order_relaxed);
}

std::int32_t StreamReader::pollState() {
  Impl& impl = *impl_;
  std::int32_t state = impl.readerState.load(std::memory_order_acquire);
  if ((state == StateReady || state == StateFailed) &&
      impl.readerMode.load(std::memory_order_acquire) != ModeStream) {
    // Consumed by this poll, unless the fetch thread moved on meanwhile.
    std::int32_t expected = state;
    impl.readerState.compare_exchange_strong(expected, StateIdle, std::memory_order_acq_rel);
  }
  return state;
}

bool StreamReader::takeFrame(std::vector<std::uint8_t>& out) {
  Impl& impl = *impl_;
  std::lock_guard lock(impl.frameLock);
  if (impl.frame.empty()) {
    out.clear();
    return false;
  }
  out = std::move(impl.frame);
  impl.frame = {};
  if (impl.readerMode.load(std::memory_order_acquire) == ModeStream) {
    // Back to fetching; a failure reported since is left for the next poll.
    std::int32_t expected = StateReady;
    impl.readerState.compare_exchange_strong(expected, StateFetching, std::memory_order_acq_rel);
  }
  return true;
}

void StreamReader::shutdown() { impl_->shutdown(); }

void StreamReader::setHttpTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) {
  impl_->session.setConnectTimeout(connectMs);
  impl_->session.setReceiveTimeout(receiveMs);
}

std::shared_ptr<ImageSource> StreamReader::owner() const {
  std::lock_guard lock(impl_->jobLock);
  return impl_->owner;
}

std::uint32_t StreamReader::lastPartTime() const {
  return impl_->lastPartTime.load(std::memory_order_acquire);
}

StreamReader::ProbeResult StreamReader::lastProbe() const {
  std::lock_guard lock(impl_->jobLock);
  return impl_->lastProbe;
}

std::uint32_t StreamReader::lastError() const {
  return impl_->lastError.load(std::memory_order_relaxed);
}

}  // namespace vistel
