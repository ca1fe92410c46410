#include "vistel/imaging/stream_reader.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/image_loader.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/multipart_cutter_p.h"
#include "vistel/imaging/stream_probe_p.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/http_session.h"

namespace vistel {

namespace {

constexpr auto kOpenFlags =
    HttpOpenFlags::Reload | HttpOpenFlags::NoCacheWrite | HttpOpenFlags::Binary;
constexpr std::uint32_t kIdlePollMs = 20;
// Longest real-time step of a wait for a backoff or of the watchdog's look at
// the clock: waits follow the process clock, which tests may step.
constexpr std::uint32_t kClockStepMs = 20;
constexpr std::uint32_t kWatchStepMs = 100;
constexpr auto kWatchdogLockWait = std::chrono::milliseconds(2000);
constexpr auto kWatchdogLockStep = std::chrono::milliseconds(5);
constexpr std::size_t kSingleReadStep = 32768;
// start() reserves the caller's initial slot size up to this much.
constexpr std::size_t kMaxInitialSlot = detail::kMaxBytesWithoutDelimiter;
// readerMode while the fetch thread asks the server which mode it serves.
constexpr std::int32_t kModeProbing = 3;

bool isSuccess(int status) { return status >= 200 && status < 300; }

// Why one attempt failed.
struct Failure {
  SourceFailure reason = SourceFailure::ConnectionLost;
  int status = 0;  // the answer's status; 0 without an answer
};

SourceFailure failureOfStatus(int status) {
  if (status == 401) return SourceFailure::PasswordRefused;
  if (status == 404) return SourceFailure::NotFound;
  return SourceFailure::ErrorStatus;
}

// An open that got no answer. Aborts are the watchdog's (silence) or the
// owner's (no failure then); the callers tell them apart.
SourceFailure failureOfOpen(HttpError error) {
  switch (error) {
    case HttpError::ConnectionLost:
      return SourceFailure::ConnectionLost;
    case HttpError::Protocol:
      return SourceFailure::NotACamera;
    case HttpError::Aborted:
      return SourceFailure::Silent;
    default:
      return SourceFailure::NotReachable;
  }
}

}  // namespace

struct StreamReader::Impl {
  explicit Impl(std::uint32_t watchdogMs) : watchdogTimeoutMs(watchdogMs) {}

  // ---- Fetch thread -------------------------------------------------------

  // What start() asked for, as the fetch thread copies it at the top of a pass.
  struct Job {
    std::int32_t mode = ModeIdle;
    std::string url;
    std::uint64_t generation = 0;
    std::shared_ptr<ImageSource> owner;  // keeps `health` alive
    SourceHealth* health = nullptr;
  };

  void fetchLoop();
  bool takeJob(Job& job);
  void runProbe(const Job& job);
  void runSingle(const Job& job);
  void runStream(const Job& job);
  void finishDelivered(std::uint64_t generation);
  bool isCurrent(const Job& job) const {
    return !abort.load(std::memory_order_acquire) &&
           jobGeneration.load(std::memory_order_acquire) == job.generation;
  }
  // Runs `change` under jobLock unless start() has begun another job since
  // `generation`: a late retry of an old job must not overwrite the new one.
  template <class Change>
  void ifCurrent(std::uint64_t generation, Change change) {
    std::lock_guard lock(jobLock);
    if (jobGeneration.load(std::memory_order_relaxed) == generation) change();
  }
  // Waits until the job's source may be asked again. False when the reader
  // is shutting down or was given another job meanwhile.
  bool waitUntilDue(const Job& job);
  // Records a failed attempt of a current job in its source's health (the
  // watchdog's end of a silent connection counting as silence). False when
  // the job is no longer current, so that nothing is recorded.
  bool failAttempt(const Job& job, Failure failure);
  // What ends a pause early besides the reader's destruction.
  enum class Wake { OnStop, OnWork };
  // Sleeps `ms`, waking early when the reader is destroyed or (Wake::OnWork)
  // given work. False when destruction began.
  bool pause(std::uint32_t ms, Wake wakeOn = Wake::OnStop);
  // Opens the job's url as `file`. On failure, what went wrong. The answer's
  // Content-Type goes to `contentType` when asked for, also for error statuses.
  bool openUrl(const Job& job, Failure& failure, std::string* contentType = nullptr);
  void closeFile();
  // A read behind the fileLock gate, watched by the watchdog: the count (> 0),
  // 0 at the end of the body (or without an open response), -1 on failure.
  std::int64_t guardedRead(std::uint8_t* buffer, std::size_t size);
  // 0 (unusable), 1 (single picture) or 2 (stream) from the server's answer;
  // records the boundary and the part-length hint for a stream.
  std::int32_t probe(const Job& job, Failure& failure);
  bool singleFetch(const Job& job, Failure& failure);
  // True when stopped (shut down or replaced), false when the connection failed.
  bool streamLoop(const Job& job, Failure& failure);
  void storePart(const Job& job, const std::uint8_t* data, std::size_t size);
  void notifyOwner();

  // The watchdog's view of a connection: begun (waiting for an answer or a
  // picture), progressing (a picture, or bytes of a single picture), ended.
  // endWatch is true when the watchdog ended the connection.
  void beginWatch();
  void progress();
  bool endWatch();

  // ---- Watchdog thread ----------------------------------------------------

  void watchdogLoop();
  // Takes fileLock when it comes free within `limit`.
  bool lockFileWithin(std::chrono::milliseconds limit);

  // ---- Any thread ---------------------------------------------------------

  void shutdown();

  const std::uint32_t watchdogTimeoutMs;
  HttpSession session;             // thread-safe
  std::uint32_t attemptStart = 0;  // fetch thread only: when the current attempt began

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
  // The open response (a probe's or a fetch's). Replaced only by the fetch
  // thread (under fileLock), which also reads through it without the lock;
  // other threads reach it only under fileLock.
  std::unique_ptr<HttpResponse> file;

  // Ends the fetch thread's open. Cancelled by shutdown() and start() (under
  // jobLock) and by the watchdog; reset under jobLock by the fetch thread as
  // it takes a job, after checking `abort`, so a shutdown is never undone.
  HttpCancel fetchCancel;

  // Guards the job set by start() and the stream hints.
  mutable std::mutex jobLock;
  std::shared_ptr<ImageSource> owner;  // guarded by jobLock
  std::string url;                     // guarded by jobLock
  std::int32_t attempts = 0;           // guarded by jobLock
  std::string boundary;                // guarded by jobLock; as the server gave it
  ProbeResult lastProbe;               // guarded by jobLock
  bool noLearn = false;                // guarded by jobLock
  SourceHealth ownHealth;              // thread-safe; the health of a null owner

  // The one-slot hand-over and the pacing of ready marks.
  std::mutex frameLock;
  std::vector<std::uint8_t> frame;  // guarded by frameLock
  detail::FramePacer pacer;         // guarded by frameLock

  // Wakes the fetch thread's pauses (destruction, new work).
  std::mutex wakeLock;
  std::condition_variable wake;
  bool workPosted = false;  // guarded by wakeLock

  std::mutex notifyLock;         // taken alone
  std::function<void()> wakeUp;  // guarded by notifyLock

  // What the watchdog watches. Reads and connections are stamped on the
  // process clock, so a test may step it.
  std::mutex watchLock;
  std::condition_variable watchChanged;
  std::uint64_t readSeq = 0;        // guarded by watchLock; counts reads begun
  std::uint64_t abortedSeq = 0;     // guarded by watchLock; the read last aborted as hanging
  bool reading = false;             // guarded by watchLock
  std::uint32_t readStartedAt = 0;  // guarded by watchLock
  bool watching = false;            // guarded by watchLock; a connection is watched
  std::uint32_t progressAt = 0;     // guarded by watchLock
  std::uint32_t silenceLimit = kSilenceLimitMs;  // guarded by watchLock
  bool watchdogFired = false;  // guarded by watchLock; ended the watched connection
  bool watchdogStop = false;   // guarded by watchLock

  Thread fetchThread;
  Thread watchdogThread;
};

// ---- Fetch thread ---------------------------------------------------------

bool StreamReader::Impl::pause(std::uint32_t ms, Wake wakeOn) {
  const bool wakeOnWork = wakeOn == Wake::OnWork;
  std::unique_lock lock(wakeLock);
  wake.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    return abort.load(std::memory_order_acquire) || (wakeOnWork && workPosted);
  });
  if (wakeOnWork) workPosted = false;
  return !abort.load(std::memory_order_acquire);
}

bool StreamReader::Impl::waitUntilDue(const Job& job) {
  for (;;) {
    if (!isCurrent(job)) return false;
    const std::uint32_t wait = job.health->waitMs(nowMs());
    if (wait == 0) return true;
    pause(std::min(wait, kClockStepMs), Wake::OnWork);
  }
}

bool StreamReader::Impl::failAttempt(const Job& job, Failure failure) {
  const bool ended = endWatch();
  if (!isCurrent(job)) return false;
  if (ended) failure.reason = SourceFailure::Silent;
  job.health->recordFailure(attemptStart, failure.reason, failure.status);
  return true;
}

void StreamReader::Impl::notifyOwner() {
  std::lock_guard lock(notifyLock);
  if (wakeUp) wakeUp();
}

void StreamReader::Impl::beginWatch() {
  bool wakeWatchdog = false;
  attemptStart = nowMs();
  {
    std::lock_guard lock(watchLock);
    wakeWatchdog = !reading;
    watching = true;
    watchdogFired = false;
    progressAt = attemptStart;
    silenceLimit = silenceLimitMs(frameRate.load(std::memory_order_relaxed));
  }
  if (wakeWatchdog) watchChanged.notify_all();
}

void StreamReader::Impl::progress() {
  std::lock_guard lock(watchLock);
  progressAt = nowMs();
  // The wanted rate may have changed since the connection began.
  silenceLimit = silenceLimitMs(frameRate.load(std::memory_order_relaxed));
}

bool StreamReader::Impl::endWatch() {
  std::lock_guard lock(watchLock);
  watching = false;
  return watchdogFired;
}

bool StreamReader::Impl::openUrl(const Job& job, Failure& failure, std::string* contentType) {
  closeFile();
  // The open itself runs outside the lock so that the watchdog and
  // destruction are never held up behind a slow server.
  HttpError error = HttpError::None;
  auto response = session.open(job.url, kOpenFlags, &error, &fetchCancel);
  if (!response) {
    lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
    failure.reason = failureOfOpen(error);
    return false;
  }
  failure.status = response->status();
  job.health->recordAnswer(failure.status);
  if (contentType) *contentType = response->header("Content-Type").value_or("");
  // An error page is not a picture or a stream.
  if (!isSuccess(failure.status)) {
    failure.reason = failureOfStatus(failure.status);
    return false;
  }
  std::lock_guard lock(fileLock);
  // Destruction sets `abort` before it takes the lock to abort `file`: a
  // response stored after that would never be aborted.
  if (abort.load(std::memory_order_acquire)) return false;
  file = std::move(response);
  return true;
}

void StreamReader::Impl::closeFile() {
  std::lock_guard lock(fileLock);
  if (file) file->close();
  file.reset();
}

std::int64_t StreamReader::Impl::guardedRead(std::uint8_t* buffer, std::size_t size) {
  if (abort.load(std::memory_order_acquire)) return 0;
  {
    // A gate: no read starts while the response is being swapped or aborted.
    std::lock_guard gate(fileLock);
  }
  bool wakeWatchdog = false;
  {
    std::lock_guard lock(watchLock);
    wakeWatchdog = !watching;
    ++readSeq;
    reading = true;
    readStartedAt = nowMs();
  }
  if (wakeWatchdog) watchChanged.notify_all();
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
  // A failed read cannot succeed on the same connection (the layer fails
  // every later read alike): the caller connects again, after the backoff.
  if (count < 0) lastError.store(static_cast<std::uint32_t>(error), std::memory_order_relaxed);
  return count;
}

std::int32_t StreamReader::Impl::probe(const Job& job, Failure& failure) {
  ProbeResult seen;
  // Whatever the outcome, what the server said is kept for lastProbe().
  struct Record {
    Impl& impl;
    const Job& job;
    ProbeResult& seen;
    ~Record() {
      impl.ifCurrent(job.generation, [&] { impl.lastProbe = std::move(seen); });
    }
  } record{*this, job, seen};
  const bool opened = openUrl(job, failure, &seen.contentType);
  seen.status = failure.status;
  if (!opened) return ModeIdle;
  std::string streamBoundary;
  const std::int32_t mode =
      detail::modeFromContentType(seen.contentType, streamBoundary, detail::kMaxDelimiterLength);
  seen.boundary = streamBoundary;
  if (mode != ModeStream) {
    closeFile();
    if (mode == ModeIdle) failure.reason = SourceFailure::NotACamera;
    seen.mode = mode;
    return mode;
  }

  // Whether the first part headers carry a length: only the text before the
  // first zero byte counts, so reading stops there (or at the sniff size, at
  // the end of the body, or after one watchdog period of a dripping server).
  std::vector<std::uint8_t> head(detail::kProbeSniffBytes);
  std::size_t have = 0;
  const std::uint32_t began = nowMs();
  while (have < head.size()) {
    const std::int64_t count = guardedRead(head.data() + have, head.size() - have);
    if (count <= 0) break;
    const std::uint8_t* from = head.data() + have;
    have += static_cast<std::size_t>(count);
    const std::uint8_t* to = head.data() + have;
    if (std::find(from, to, std::uint8_t{0}) != to) break;
    if (elapsedMs(nowMs(), began) > static_cast<std::int32_t>(watchdogTimeoutMs)) break;
  }
  closeFile();
  // Reads that shutdown() cut short decide nothing.
  if (abort.load(std::memory_order_acquire)) return ModeIdle;
  const bool lengths = detail::announcesPartLength(head.data(), have);
  seen.mode = ModeStream;
  ifCurrent(job.generation, [&] {
    boundary = std::move(streamBoundary);
    noLearn = lengths;
  });
  return ModeStream;
}

bool StreamReader::Impl::singleFetch(const Job& job, Failure& failure) {
  if (!openUrl(job, failure)) return false;
  std::vector<std::uint8_t> bytes(kSingleReadStep);
  std::size_t length = 0;
  std::int64_t count = guardedRead(bytes.data(), kSingleReadStep);
  while (count > 0) {
    progress();
    length += static_cast<std::size_t>(count);
    if (abort.load(std::memory_order_acquire)) return false;
    if (length > kMaxPictureBytes) {
      failure.reason = SourceFailure::NoPictures;
      return false;
    }
    if (bytes.size() - length < kSingleReadStep) bytes.resize(bytes.size() + kSingleReadStep);
    count = guardedRead(bytes.data() + length, bytes.size() - length);
  }
  closeFile();
  // A read that failed leaves a cut-off picture, and an empty body is none.
  if (count < 0 || length == 0) {
    failure.reason = SourceFailure::ConnectionLost;
    return false;
  }
  bytes.resize(length);
  bytes.shrink_to_fit();
  // Filled aside and handed over whole, so the owner thread never sees a
  // half-written slot.
  std::lock_guard lock(frameLock);
  if (jobGeneration.load(std::memory_order_relaxed) == job.generation) frame = std::move(bytes);
  return true;
}

void StreamReader::Impl::storePart(const Job& job, const std::uint8_t* data, std::size_t size) {
  bool ready = false;
  {
    std::lock_guard lock(frameLock);
    if (jobGeneration.load(std::memory_order_relaxed) != job.generation) return;
    // The previous picture, taken or not, is replaced: a slow consumer never
    // queues pictures.
    frame.assign(data, data + size);
    const std::uint32_t now = nowMs();
    if (pacer.partStored(now, frameRate.load(std::memory_order_relaxed))) {
      readerState.store(StateReady, std::memory_order_release);
      ready = true;
    }
    lastPartTime.store(pacer.lastPartTime(), std::memory_order_release);
  }
  progress();
  job.health->recordPicture();
  if (ready) notifyOwner();
}

bool StreamReader::Impl::streamLoop(const Job& job, Failure& failure) {
  std::string contentType;
  if (!openUrl(job, failure, &contentType)) return false;
  std::string ignored;
  if (detail::modeFromContentType(contentType, ignored, 0) != ModeStream) {
    // The camera serves something else now (an error page, single
    // pictures): it is asked afresh which mode it serves at the next attempt.
    closeFile();
    failure.reason = SourceFailure::NotACamera;
    ifCurrent(job.generation, [&] { readerMode.store(kModeProbing, std::memory_order_release); });
    return false;
  }
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
      [this, &job](const std::uint8_t* data, std::size_t size) { storePart(job, data, size); },
      [this, &job] { return !isCurrent(job); });
  closeFile();
  if (cutter.noLearn()) {
    std::lock_guard lock(jobLock);
    noLearn = true;
  }
  if (outcome == detail::MultipartCutter::Outcome::Stopped) return true;
  failure.reason = outcome == detail::MultipartCutter::Outcome::NoDelimiter
                       ? SourceFailure::NoPictures
                       : SourceFailure::ConnectionLost;
  return false;
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

bool StreamReader::Impl::takeJob(Job& job) {
  std::lock_guard lock(jobLock);
  if (abort.load(std::memory_order_acquire)) return false;
  // A cancel aimed at the previous job (or connection) must not end this one.
  fetchCancel.reset();
  job.mode = readerMode.load(std::memory_order_acquire);
  job.url = url;
  job.generation = jobGeneration.load(std::memory_order_relaxed);
  job.owner = owner;
  job.health = owner ? &owner->health() : &ownHealth;
  return true;
}

void StreamReader::Impl::runProbe(const Job& job) {
  if (!waitUntilDue(job)) return;
  beginWatch();
  Failure failure;
  const std::int32_t mode = probe(job, failure);
  if (mode == ModeIdle) {
    if (!failAttempt(job, failure)) return;
    ifCurrent(job.generation, [&] {
      readerState.store(StateFailed, std::memory_order_release);
      readerMode.store(ModeIdle, std::memory_order_release);
    });
    notifyOwner();
    return;
  }
  (void)endWatch();
  // The stream itself is read on a fresh connection, at the next pass.
  ifCurrent(job.generation, [&] { readerMode.store(mode, std::memory_order_release); });
}

void StreamReader::Impl::runSingle(const Job& job) {
  if (!waitUntilDue(job)) return;
  ifCurrent(job.generation, [&] {
    if (attempts > 0) readerState.store(StateRetryPending, std::memory_order_release);
    std::lock_guard lock(frameLock);
    frame.clear();
  });
  beginWatch();
  Failure failure;
  if (singleFetch(job, failure)) {
    (void)endWatch();
    job.health->recordPicture();
    finishDelivered(job.generation);
    notifyOwner();
    return;
  }
  if (!failAttempt(job, failure)) return;
  ifCurrent(job.generation, [&] {
    readerState.store(StateFailed, std::memory_order_release);
    // The second failure gives up; the state stays failed.
    if (++attempts > 1) readerMode.store(ModeIdle, std::memory_order_release);
  });
  notifyOwner();
}

void StreamReader::Impl::runStream(const Job& job) {
  if (!waitUntilDue(job)) return;
  ifCurrent(job.generation, [&] {
    {
      std::lock_guard lock(frameLock);
      frame.clear();
    }
    readerState.store(StateFetching, std::memory_order_release);
  });
  beginWatch();
  Failure failure;
  if (streamLoop(job, failure)) {
    (void)endWatch();
    finishDelivered(job.generation);
    return;
  }
  // The mode stays "stream": the connection is made again once the backoff allows.
  if (!failAttempt(job, failure)) return;
  ifCurrent(job.generation, [&] { readerState.store(StateFailed, std::memory_order_release); });
  notifyOwner();
}

void StreamReader::Impl::fetchLoop() {
  Job job;
  while (takeJob(job)) {
    switch (job.mode) {
      case kModeProbing:
        runProbe(job);
        break;
      case ModeSingle:
        runSingle(job);
        break;
      case ModeStream:
        runStream(job);
        break;
      default:
        pause(kIdlePollMs, Wake::OnWork);
        break;
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
    if (watchdogStop) return;
    const bool hangWatched = reading && readSeq != abortedSeq;
    if (!hangWatched && !watching) {
      watchChanged.wait(lock);
      continue;
    }
    // Woken by the clock's steps rather than a deadline, so that a stepped
    // test clock is followed as well as the system's.
    watchChanged.wait_for(lock, std::chrono::milliseconds(kWatchStepMs));
    if (watchdogStop) return;
    const std::uint32_t now = nowMs();
    const bool hangs = reading && readSeq != abortedSeq &&
                       elapsedMs(now, readStartedAt) > static_cast<std::int32_t>(watchdogTimeoutMs);
    const bool silent =
        watching && elapsedMs(now, progressAt) > static_cast<std::int32_t>(silenceLimit);
    if (!hangs && !silent) continue;
    // The connection hangs or brings nothing: end it so that its open or read
    // fails and the fetch thread connects again.
    if (watching) watchdogFired = true;
    watching = false;
    if (reading) abortedSeq = readSeq;
    lock.unlock();
    fetchCancel.cancel();
    if (lockFileWithin(kWatchdogLockWait)) {
      if (file) file->abort();
      fileLock.unlock();
    }
    lock.lock();
  }
}

// ---- Any thread -----------------------------------------------------------

void StreamReader::Impl::shutdown() {
  abort.store(true, std::memory_order_release);
  {
    std::lock_guard lock(jobLock);
    fetchCancel.cancel();
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
  impl->session.setConnectTimeout(kConnectTimeoutMs);
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
  // Without a fetch thread nothing would ever be fetched.
  if (!impl.fetchThread.joinable() || impl.abort.load(std::memory_order_acquire))
    return CouldNotStart;
  if (impl.readerState.load(std::memory_order_acquire) == StateFetching) return AlreadyFetching;
  if (mode != ModeProbe && mode != ModeSingle && mode != ModeStream) return CouldNotStart;
  {
    std::scoped_lock lock(impl.jobLock, impl.frameLock);
    impl.jobGeneration.fetch_add(1, std::memory_order_acq_rel);
    // The fetch thread may be connecting for the job being replaced.
    impl.fetchCancel.cancel();
    std::vector<std::uint8_t> fresh;
    fresh.reserve(std::min(initialBufferSize, kMaxInitialSlot));
    impl.frame = std::move(fresh);
    if (!owner) impl.ownHealth.reset();
    impl.owner = std::move(owner);
    impl.url = std::string(url);
    impl.attempts = 0;
    // A new job is a new consumer: its first picture is marked whatever the
    // rate, also 0 (one picture only) after a job that had pictures.
    impl.pacer = {};
    impl.pacer.restart(nowMs());
    impl.lastPartTime.store(impl.pacer.lastPartTime(), std::memory_order_release);
    impl.readerMode.store(mode == ModeProbe ? kModeProbing : mode, std::memory_order_release);
    impl.readerState.store(StateFetching, std::memory_order_release);
  }
  {
    std::lock_guard lock(impl.wakeLock);
    impl.workPosted = true;
  }
  impl.wake.notify_all();
  return Started;
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

void StreamReader::setWakeUp(std::function<void()> wakeUp) {
  std::lock_guard lock(impl_->notifyLock);
  impl_->wakeUp = std::move(wakeUp);
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

SourceHealthState StreamReader::health() const {
  std::lock_guard lock(impl_->jobLock);
  return impl_->owner ? impl_->owner->health().state() : impl_->ownHealth.state();
}

std::uint32_t StreamReader::lastError() const {
  return impl_->lastError.load(std::memory_order_relaxed);
}

}  // namespace vistel
