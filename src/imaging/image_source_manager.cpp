#include "vistel/imaging/image_source_manager.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <optional>
#include <utility>

#include "vistel/imaging/rtsp_address.h"
#include "vistel/platform/clock.h"

namespace vistel {

namespace {

constexpr std::string_view kFilePrefix = "file://";

bool isReserved(std::string_view name) { return !name.empty() && name.front() == '#'; }

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads a whole regular file; false on open failure, a failed seek, an
// unknown, empty or oversized length, or a short read.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>& out) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return false;
  const long length = std::ftell(file.get());
  if (length <= 0 || static_cast<unsigned long>(length) > kMaxEncodedFrameBytes) return false;
  if (std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(length));
  if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
  out = std::move(bytes);
  return true;
}

std::int32_t sizeOf(const FrameRef& frame) { return frame ? frame->size() : 0; }

// How long ago a source's picture was last known current: taken at `taken`,
// and perhaps confirmed unchanged since. Negative after the clock went back.
std::int32_t currentAge(std::uint32_t now, std::uint32_t taken,
                        std::optional<std::uint32_t> confirmed) {
  const std::int32_t age = elapsedMs(now, taken);
  return confirmed ? std::min(age, elapsedMs(now, *confirmed)) : age;
}

// A camera picture, as opposed to nothing or a placeholder.
bool isPicture(const FrameRef& frame) {
  return frame && frame->kind() == Frame::Kind::Decoded && frame->width() > 0;
}

}  // namespace

// One reader of the pool, with the source it was last given while it has not
// gone back to idle, and the frame rate last passed to it. Loader thread only.
struct ImageSourceManager::ReaderSlot {
  explicit ReaderSlot(std::unique_ptr<SourceReader> r) : reader(std::move(r)) {}
  std::unique_ptr<SourceReader> reader;
  std::shared_ptr<ImageSource> active;
  std::optional<float> frameRate;  // none until the first setFrameRate
};

// What an idle reader (or the loader thread, for files) fetches next.
struct ImageSourceManager::Work {
  std::shared_ptr<ImageSource> source;
  bool fromRequest = false;
  float fps = 0.0f;  // of the chosen request, copied while the request list was locked
};

ImageSourceManager::ImageSourceManager(const ThreadStarter& starter, std::int32_t encodedLimitKiB,
                                       std::int32_t decodedLimitKiB, std::int32_t readerCount,
                                       const SourceReaderFactory& readerFactory,
                                       Observers observers, SourceReaderFactory rtspFactory)
    : encodedLimit_(std::int64_t{encodedLimitKiB} * 1024),
      decodedLimit_(std::int64_t{decodedLimitKiB} * 1024),
      observers_(std::move(observers)),
      encodedBudget_(encodedLimit_),
      decodedBudget_(decodedLimit_),
      starter_(starter),
      rtspFactory_(std::move(rtspFactory)) {
  for (std::int32_t i = 0; i < readerCount && readerFactory; ++i) {
    if (auto reader = readerFactory(starter)) {
      reader->setWakeUp([this] { wakeLoader(); });
      readers_.push_back(std::make_unique<ReaderSlot>(std::move(reader)));
    }
  }
  if (starter) loader_ = starter([this] { loaderLoop(); }, 0);
}

ImageSourceManager::~ImageSourceManager() {
  stop_.store(true, std::memory_order_release);
  wakeLoader();
  // Readers end their connection attempts and reads at once.
  for (auto& slot : readers_) {
    if (slot->reader) slot->reader->shutdown();
  }
  {
    // The loader makes no RTSP reader once stop_ is set (it checks under this lock).
    std::lock_guard<std::mutex> guard(rtspPoolLock_);
    for (auto& slot : rtspReaders_) slot->reader->shutdown();
  }
  loader_.join();
  rtspReaders_.clear();
  // Readers close their connections on destruction; they are the last users
  // of the sources they fetched besides the lists below.
  readers_.clear();
  std::list<std::unique_ptr<SourceRequest>> requests;
  {
    std::lock_guard<std::mutex> guard(requestLock_);
    requests.swap(requests_);
  }
  requests.clear();
  std::lock_guard<std::mutex> guard(sourceLock_);
  for (const auto& source : sources_) dropSource(*source);
  sources_.clear();
}

// ---- Requests ---------------------------------------------------------------

void ImageSourceManager::setFileBase(std::string_view folder) {
  std::lock_guard<std::mutex> guard(fileBaseLock_);
  fileBase_.assign(folder);
}

std::string ImageSourceManager::resolveName(std::string_view name) const {
  if (!name.starts_with(kFilePrefix)) return std::string(name);
  const std::string_view path = name.substr(kFilePrefix.size());
  if (path.empty() || path.front() == '/') return std::string(name);
  std::lock_guard<std::mutex> guard(fileBaseLock_);
  if (fileBase_.empty()) return std::string(name);
  std::string resolved(kFilePrefix);
  resolved += fileBase_;
  if (resolved.back() != '/') resolved += '/';
  resolved += path;
  return resolved;
}

SourceRequest* ImageSourceManager::acquire(std::string_view name, ImageKind kind) {
  if (isReserved(name)) return nullptr;
  const std::string url = resolveName(name);
  if (kind == ImageKind::FromName) kind = imageKindFromName(url);
  FrameRef placeholder = newPlaceholder();

  std::shared_ptr<ImageSource> source;
  bool needsDecode = false;
  {
    std::lock_guard<std::mutex> guard(sourceLock_);
    for (const auto& entry : sources_) {
      if (entry->url() == url) {
        source = entry;
        break;
      }
    }
    if (source) {
      ++source->useCount_;
      needsDecode = !source->decoded();
    } else {
      source = std::make_shared<ImageSource>(url, kind, std::move(placeholder));
      source->useCount_ = 1;
      sources_.push_back(source);
    }
  }
  // A cached source whose picture was trimmed gets it back from its JPEG bytes.
  if (needsDecode) decodeSource(*source, Decode::Quiet);

  auto request = std::make_unique<SourceRequest>(std::move(source));
  SourceRequest* result = request.get();
  std::lock_guard<std::mutex> guard(requestLock_);
  requests_.push_back(std::move(request));
  return result;
}

void ImageSourceManager::release(SourceRequest* request) {
  if (request == nullptr) return;
  std::unique_ptr<SourceRequest> owned;
  {
    std::lock_guard<std::mutex> guard(requestLock_);
    for (auto it = requests_.begin(); it != requests_.end(); ++it) {
      if (it->get() == request) {
        owned = std::move(*it);
        requests_.erase(it);
        break;
      }
    }
  }
  if (!owned) return;  // not one of ours
  {
    std::lock_guard<std::mutex> guard(sourceLock_);
    ImageSource* source = owned->source().get();
    --source->useCount_;
    for (auto it = sources_.begin(); it != sources_.end(); ++it) {
      if (it->get() == source) {
        sources_.splice(sources_.begin(), sources_, it);
        break;
      }
    }
  }
  owned->held_.reset();
}

void ImageSourceManager::prefetchHint(std::string_view name, ImageKind kind) {
  if (name.empty() || isReserved(name)) return;
  const std::string url = resolveName(name);
  if (kind == ImageKind::FromName) kind = imageKindFromName(url);
  FrameRef placeholder = newPlaceholder();
  std::lock_guard<std::mutex> guard(sourceLock_);
  for (const auto& entry : sources_) {
    if (entry->url() == url) return;
  }
  // At the front, where trimming reaches it last; the fallback scan of an
  // idle reader finds it because it has no picture yet.
  sources_.push_front(std::make_shared<ImageSource>(url, kind, std::move(placeholder)));
}

const std::uint8_t* ImageSourceManager::currentFrame(SourceRequest* request) {
  if (request == nullptr) return nullptr;
  request->held_.reset();
  const ImageSource& source = *request->source();
  FrameRef frame = source.decoded();
  if (!frame) {
    if (source.failed()) return nullptr;
    request->waiting_.store(true, std::memory_order_release);
    sleepMs(kPictureWaitMs);
    frame = source.decoded();
    if (!frame) frame = newPlaceholder();
    request->waiting_.store(false, std::memory_order_release);
  }
  request->held_ = std::move(frame);
  return request->held_->data();
}

bool ImageSourceManager::releaseFrame(SourceRequest* request) {
  if (request == nullptr || !request->held_) return false;
  request->held_.reset();
  return true;
}

std::int32_t ImageSourceManager::heldSize(const SourceRequest* request) const {
  return request && request->held_ ? request->held_->size() : -1;
}

std::uint32_t ImageSourceManager::heldTimestamp(const SourceRequest* request) const {
  return request && request->held_ ? request->held_->timestamp() : 0;
}

std::int32_t ImageSourceManager::heldWidth(const SourceRequest* request) const {
  return request && request->held_ ? request->held_->width() : -1;
}

std::int32_t ImageSourceManager::heldHeight(const SourceRequest* request) const {
  return request && request->held_ ? request->held_->height() : -1;
}

bool ImageSourceManager::heldIsPicture(const SourceRequest* request) const {
  return request && isPicture(request->held_);
}

ImageSourceManager::PictureStatus ImageSourceManager::pictureStatus(const SourceRequest* request,
                                                                    std::uint32_t now) const {
  PictureStatus status;
  if (request == nullptr) return status;
  const ImageSource& source = *request->source();
  status.health = source.health().state();
  const FrameRef picture = source.decoded();
  if (!isPicture(picture)) return status;
  status.hasPicture = true;
  const std::int32_t age = currentAge(now, picture->timestamp(), source.confirmedMs());
  status.ageMs = age > 0 ? static_cast<std::uint32_t>(age) : 0;
  const std::uint32_t limit = staleLimitMs(request->fps());
  status.stale = limit > 0 && status.ageMs > limit;
  return status;
}

float ImageSourceManager::fps(const SourceRequest* request) const {
  return request ? request->fps() : 0.0f;
}

void ImageSourceManager::setFps(SourceRequest* request, float value) {
  if (request) request->setFps(value);
}

void ImageSourceManager::setOutputCanvas(std::shared_ptr<const OutputCanvas> canvas) {
  std::lock_guard<std::mutex> guard(canvasLock_);
  canvas_ = std::move(canvas);
}

// ---- Statistics -------------------------------------------------------------

std::int64_t ImageSourceManager::encodedBytes() const {
  std::lock_guard<std::mutex> guard(counterLock_);
  return encodedBytes_;
}

std::int64_t ImageSourceManager::decodedBytes() const {
  std::lock_guard<std::mutex> guard(counterLock_);
  return decodedBytes_;
}

std::vector<ImageSourceManager::SourceInfo> ImageSourceManager::sources() const {
  std::vector<SourceInfo> result;
  std::lock_guard<std::mutex> guard(sourceLock_);
  for (const auto& source : sources_) {
    SourceInfo info;
    info.url = source->url();
    info.kind = source->kind();
    info.useCount = source->useCount_;
    info.busy = source->busy();
    info.failed = source->failed();
    std::lock_guard<std::mutex> frames(source->lock_);
    if (source->encoded_) {
      info.encodedSize = source->encoded_->size();
      info.encodedTimestamp = source->encoded_->timestamp();
    }
    if (source->decoded_) {
      info.decodedSize = source->decoded_->size();
      info.decodedTimestamp = source->decoded_->timestamp();
    }
    result.push_back(std::move(info));
  }
  return result;
}

// ---- Loader thread ----------------------------------------------------------

void ImageSourceManager::loaderLoop() {
  while (!stop_.load(std::memory_order_acquire)) {
    pollReaders();
    if (stop_.load(std::memory_order_acquire)) break;
    trim();
    // The period stays the fallback; a reader with a picture ends the pause
    // at once, so a picture does not wait up to a period to be decoded.
    std::unique_lock<std::mutex> lock(loaderWakeLock_);
    loaderWake_.wait_for(lock, std::chrono::milliseconds(kLoaderPeriodMs),
                         [this] { return loaderWoken_; });
    loaderWoken_ = false;
  }
}

void ImageSourceManager::wakeLoader() {
  {
    std::lock_guard<std::mutex> guard(loaderWakeLock_);
    loaderWoken_ = true;
  }
  loaderWake_.notify_one();
}

ImageSourceManager::Pool ImageSourceManager::poolOf(const ImageSource& source) {
  return isRtspAddress(source.url()) ? Pool::Rtsp : Pool::Http;
}

std::int32_t ImageSourceManager::rtspReaderCount() const {
  std::lock_guard<std::mutex> guard(rtspPoolLock_);
  return static_cast<std::int32_t>(rtspReaders_.size());
}

void ImageSourceManager::pollReaders() {
  for (const auto& slot : readers_) {
    if (stop_.load(std::memory_order_acquire)) return;
    pollReader(*slot, Pool::Http);
  }
  for (const auto& slot : rtspReaders_) {
    if (stop_.load(std::memory_order_acquire)) return;
    pollReader(*slot, Pool::Rtsp);
  }
  startRtspReaders();
  followFrameRates();
}

void ImageSourceManager::pollReader(ReaderSlot& slot, Pool pool) {
  SourceReader& reader = *slot.reader;
  switch (reader.pollState()) {
    case StreamReader::StateIdle:
      slot.active.reset();
      assignWork(slot, pool);
      break;
    case StreamReader::StateReady: {
      const std::shared_ptr<ImageSource> owner = reader.owner();
      FrameRef picture;
      std::vector<std::uint8_t> jpeg;
      // Readers that decode hand over pictures, the others JPEG bytes.
      const bool decoded = reader.takePicture(picture);
      const bool taken = decoded || reader.takeFrame(jpeg);
      if (!owner) break;
      // Cleared before the picture is published, so that nobody sees the new
      // picture of a source that still reads as failed.
      if (decoded) {
        owner->failed_.store(false, std::memory_order_release);
        storeDecoded(*owner, std::move(picture));
      } else if (taken) {
        owner->failed_.store(false, std::memory_order_release);
        storePicture(*owner, std::move(jpeg), reader.lastPartTime());
      } else {
        // A fetch that ended without a picture (an empty body) is a failed one.
        owner->failed_.store(true, std::memory_order_release);
      }
      // A motion stream keeps its reader, so its source stays busy.
      if (owner->kind() != ImageKind::MotionStream) {
        owner->busy_.store(false, std::memory_order_release);
      }
      break;
    }
    case StreamReader::StateFailed:
      if (const std::shared_ptr<ImageSource> owner = reader.owner()) {
        owner->failed_.store(true, std::memory_order_release);
        owner->busy_.store(false, std::memory_order_release);
        failSource(*owner);
      }
      break;
    default:
      break;
  }
}

void ImageSourceManager::startRtspReaders() {
  while (rtspFactory_ && rtspReaders_.size() < static_cast<std::size_t>(kMaxRtspReaders)) {
    Work work;
    if (!chooseRequest(work, Pool::Rtsp) && !chooseUnfetchedSource(work, Pool::Rtsp)) return;
    std::unique_ptr<SourceReader> reader = rtspFactory_(starter_);
    if (!reader) return;
    reader->setWakeUp([this] { wakeLoader(); });
    auto slot = std::make_unique<ReaderSlot>(std::move(reader));
    ReaderSlot& started = *slot;
    {
      std::lock_guard<std::mutex> guard(rtspPoolLock_);
      // Destruction has shut the readers down: this one would never be.
      if (stop_.load(std::memory_order_acquire)) return;
      rtspReaders_.push_back(std::move(slot));
    }
    startWork(started, work);
  }
}

// Views subscribe first and set their frame rate afterwards, and may change it
// at any time, while a reader is given its rate only when it is given work; a
// stream keeps its reader for good. Without this a stream assigned between
// acquire and setFps would pace at rate 0 for ever: one picture, then nothing.
void ImageSourceManager::followFrameRates() {
  std::vector<ReaderSlot*> slots;
  for (const auto& slot : readers_) slots.push_back(slot.get());
  for (const auto& slot : rtspReaders_) slots.push_back(slot.get());
  std::vector<std::optional<float>> wanted(slots.size());
  {
    std::lock_guard<std::mutex> guard(requestLock_);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const ImageSource* source = slots[i]->active.get();
      if (source == nullptr) continue;
      std::optional<float>& rate = wanted[i];
      for (const auto& request : requests_) {
        if (request->source().get() != source) continue;
        const float fps = request->fps();
        if (fps < 0.0f) {
          rate = -1.0f;  // every picture: nothing asks for more
          break;
        }
        rate = std::max(rate.value_or(0.0f), fps);
      }
    }
  }
  // No request holds the source: the reader keeps pacing as it did.
  for (std::size_t i = 0; i < slots.size(); ++i) {
    ReaderSlot& slot = *slots[i];
    if (!wanted[i] || slot.frameRate == wanted[i]) continue;
    slot.reader->setFrameRate(StreamReader::kFrameRateSelector, *wanted[i]);
    slot.frameRate = wanted[i];
  }
}

void ImageSourceManager::assignWork(ReaderSlot& slot, Pool pool) {
  Work work;
  if (!chooseRequest(work, pool) && !chooseUnfetchedSource(work, pool)) return;
  if (work.source->url().starts_with(kFilePrefix)) {
    readFile(*work.source);
    return;
  }
  startWork(slot, work);
}

void ImageSourceManager::startWork(ReaderSlot& slot, const Work& work) {
  ImageSource& source = *work.source;
  source.busy_.store(true, std::memory_order_release);
  if (work.fromRequest) {
    slot.reader->setFrameRate(StreamReader::kFrameRateSelector, work.fps);
    slot.frameRate = work.fps;
  }
  slot.active = work.source;
  // The reader probes the server for single-image or stream mode. A refused
  // start shows up as the failed state at the next poll.
  (void)slot.reader->start(work.source, source.url(), 0, StreamReader::ModeProbe);
}

bool ImageSourceManager::chooseRequest(Work& work, Pool pool) {
  std::lock_guard<std::mutex> guard(requestLock_);
  auto pick = [&work](const SourceRequest& request) {
    work.source = request.source();
    work.fromRequest = true;
    work.fps = request.fps();
    return true;
  };
  const std::uint32_t now = nowMs();
  // A camera in its backoff waits, and so does one whose streaming reader
  // connects again by itself: a second reader would only double the attempts.
  auto mayAsk = [&](const ImageSource& source) {
    return poolOf(source) == pool && !source.busy() && source.health().waitMs(now) == 0 &&
           !heldByActiveReader(source);
  };
  auto idle = [&](const ImageSource& source) { return mayAsk(source) && !source.failed(); };

  for (const auto& request : requests_) {
    if (request->waiting() && idle(*request->source())) return pick(*request);
  }
  // A view still waiting for its first picture is asked again after a
  // failure too, whatever its frame rate, as its backoff allows.
  for (const auto& request : requests_) {
    if (mayAsk(*request->source()) && !request->source()->encoded()) return pick(*request);
  }
  for (auto it = requests_.begin(); it != requests_.end(); ++it) {
    const SourceRequest& request = **it;
    if (!mayAsk(*request.source())) continue;
    const float fps = request.fps();
    if (fps == 0.0f) continue;
    const FrameRef encoded = request.source()->encoded();
    const std::int32_t age =
        currentAge(now, encoded ? encoded->timestamp() : 0, request.source()->confirmedMs());
    if (fps == -1.0f || age < 0 || fps * static_cast<float>(age) > 1000.0f) {
      pick(request);
      // Round robin: the next due request goes first next time.
      requests_.splice(requests_.end(), requests_, it);
      return true;
    }
  }
  return false;
}

bool ImageSourceManager::chooseUnfetchedSource(Work& work, Pool pool) {
  std::lock_guard<std::mutex> guard(sourceLock_);
  for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
    const ImageSource& source = **it;
    if (poolOf(source) == pool && !source.busy() && !source.failed() && !source.encoded() &&
        !heldByActiveReader(source)) {
      work.source = *it;
      work.fromRequest = false;
      return true;
    }
  }
  return false;
}

void ImageSourceManager::readFile(ImageSource& source) {
  std::vector<std::uint8_t> bytes;
  const std::uint32_t now = nowMs();
  const std::string path = source.url().substr(kFilePrefix.size());
  // Taken before the read: a file that changes during it differs next time.
  std::optional<FileStamp> stamp = fileStampOf(path);
  if (stamp && stamp == source.fileStamp_ && isPicture(source.decoded())) {
    // The picture on screen is still the file's: decoding and drawing it again
    // at every interval of the view's rate would cost a still project the same
    // as a live camera. It only counts as current again.
    source.confirmed_.store(ImageSource::kConfirmed | now, std::memory_order_release);
    return;
  }
  source.fileStamp_.reset();
  if (!readWholeFile(path, bytes)) {
    // A file that appears later is read then; until then not on every poll.
    source.health().recordFailure(now, SourceFailure::FileUnreadable, 0);
    source.failed_.store(true, std::memory_order_release);
    return;
  }
  source.fileStamp_ = stamp;
  source.health().recordPicture();
  source.failed_.store(false, std::memory_order_release);
  storePicture(source, std::move(bytes), now);
  source.busy_.store(false, std::memory_order_release);
}

void ImageSourceManager::storePicture(ImageSource& source, std::vector<std::uint8_t> jpeg,
                                      std::uint32_t timestamp) {
  FrameRef frame = Frame::encoded(std::move(jpeg), timestamp);
  if (!frame) return;
  FrameRef old;
  {
    std::lock_guard<std::mutex> guard(source.lock_);
    if (source.dropped_) return;
    addBytes(sizeOf(frame) - sizeOf(source.encoded_), 0);
    old = std::exchange(source.encoded_, std::move(frame));
  }
  decodeSource(source, Decode::Observed);
}

void ImageSourceManager::decodeSource(ImageSource& source, Decode kind) {
  FrameRef encoded = source.encoded();
  if (!encoded) return;
  FrameRef decoded = Frame::decoded(encoded->data(), static_cast<std::size_t>(encoded->size()),
                                    encoded->timestamp());
  DecodeEvent event;
  event.source = &source;
  event.timestamp = decoded->timestamp();
  event.decodedAtMs = nowMs();
  event.encodedSize = encoded->size();
  event.width = decoded->width();
  event.height = decoded->height();
  event.complete = decoded->complete();
  encoded.reset();

  FrameRef old;
  event.kept = keepDecoded(source, std::move(decoded), old);
  // Bytes that are no picture at all say so, for the view and `vistel probe`.
  const bool notify = kind == Decode::Observed;
  if (notify && event.width <= 0)
    source.health().recordFailure(event.decodedAtMs, SourceFailure::NoPictures, 0);
  if (notify && observers_.decoded) observers_.decoded(event);
}

bool ImageSourceManager::keepDecoded(ImageSource& source, FrameRef decoded, FrameRef& old) {
  std::lock_guard<std::mutex> guard(source.lock_);
  if (source.dropped_ ||
      (source.decoded_ && isOlderFrame(decoded->timestamp(), source.decoded_->timestamp()))) {
    return false;
  }
  addBytes(0, sizeOf(decoded) - sizeOf(source.decoded_));
  old = std::exchange(source.decoded_, std::move(decoded));
  return true;
}

void ImageSourceManager::storeDecoded(ImageSource& source, FrameRef decoded) {
  if (!decoded) return;
  DecodeEvent event;
  event.source = &source;
  event.timestamp = decoded->timestamp();
  event.decodedAtMs = nowMs();
  event.width = decoded->width();
  event.height = decoded->height();
  event.complete = decoded->complete();
  FrameRef old;
  event.kept = keepDecoded(source, std::move(decoded), old);
  if (observers_.decoded) observers_.decoded(event);
}

void ImageSourceManager::failSource(ImageSource& source) {
  FrameRef placeholder = newPlaceholder();
  FrameRef old;
  std::lock_guard<std::mutex> guard(source.lock_);
  if (source.dropped_) return;
  // A picture the camera delivered stays: a short drop does not blank the
  // view, and a long one shows the picture as stale, with its age. Without
  // one the view shows the canvas, as it is now.
  if (source.decoded_ && source.decoded_->kind() == Frame::Kind::Decoded &&
      source.decoded_->width() > 0) {
    return;
  }
  addBytes(0, sizeOf(placeholder) - sizeOf(source.decoded_));
  old = std::exchange(source.decoded_, std::move(placeholder));
}

void ImageSourceManager::updateBudgets() {
  std::int64_t encoded = 0, decoded = 0;
  for (const auto& source : sources_) {
    if (source->useCount_ == 0) continue;
    std::lock_guard<std::mutex> frames(source->lock_);
    encoded = std::max<std::int64_t>(encoded, sizeOf(source->encoded_));
    decoded = std::max<std::int64_t>(decoded, sizeOf(source->decoded_));
  }
  std::lock_guard<std::mutex> guard(counterLock_);
  encodedBudget_ = std::max(encodedLimit_, kPicturesInBudget * encoded);
  decodedBudget_ = std::max(decodedLimit_, kPicturesInBudget * decoded);
}

std::int64_t ImageSourceManager::encodedBudget() const {
  std::lock_guard<std::mutex> guard(counterLock_);
  return encodedBudget_;
}

std::int64_t ImageSourceManager::decodedBudget() const {
  std::lock_guard<std::mutex> guard(counterLock_);
  return decodedBudget_;
}

void ImageSourceManager::trim() {
  {
    std::lock_guard<std::mutex> guard(counterLock_);
    if (encodedBytes_ < encodedLimit_ && decodedBytes_ < decodedLimit_) return;
  }
  {
    std::lock_guard<std::mutex> guard(sourceLock_);
    updateBudgets();
    const std::int64_t encodedLimit = encodedBudget();
    const std::int64_t decodedLimit = decodedBudget();
    // Whole sources go first, least recently released (the back) first.
    for (auto it = sources_.end(); it != sources_.begin() && encodedBytes() > encodedLimit;) {
      const auto entry = std::prev(it);
      ImageSource& source = **entry;
      if (source.useCount_ != 0 || source.busy() || heldByActiveReader(source)) {
        it = entry;
        continue;
      }
      dropSource(source);
      it = sources_.erase(entry);
    }
    // Then pictures of sources nobody draws; their JPEG bytes stay for a later acquire.
    for (auto it = sources_.end(); it != sources_.begin() && decodedBytes() > decodedLimit;) {
      --it;
      ImageSource& source = **it;
      if (source.useCount_ != 0) continue;
      std::lock_guard<std::mutex> frames(source.lock_);
      if (!source.decoded_) continue;
      addBytes(0, -sizeOf(source.decoded_));
      source.decoded_.reset();
    }
  }
  if (observers_.trimmed) observers_.trimmed(encodedBytes(), decodedBytes());
}

void ImageSourceManager::dropSource(ImageSource& source) {
  std::lock_guard<std::mutex> guard(source.lock_);
  source.dropped_ = true;
  addBytes(-sizeOf(source.encoded_), -sizeOf(source.decoded_));
  source.encoded_.reset();
  source.decoded_.reset();
}

bool ImageSourceManager::heldByActiveReader(const ImageSource& source) const {
  for (const auto& slot : readers_) {
    if (slot->active.get() == &source) return true;
  }
  for (const auto& slot : rtspReaders_) {
    if (slot->active.get() == &source) return true;
  }
  return false;
}

FrameRef ImageSourceManager::newPlaceholder() const {
  std::shared_ptr<const OutputCanvas> canvas;
  {
    std::lock_guard<std::mutex> guard(canvasLock_);
    canvas = canvas_;
  }
  return Frame::placeholder(canvas ? canvas->picture() : CanvasPicture{});
}

void ImageSourceManager::addBytes(std::int64_t encodedDelta, std::int64_t decodedDelta) {
  std::lock_guard<std::mutex> guard(counterLock_);
  encodedBytes_ += encodedDelta;
  decodedBytes_ += decodedDelta;
}

}  // namespace vistel
