#pragma once

// Turns image names from the project into pictures the renderer can draw at
// any moment. The manager keeps a cache of ImageSources (one per name as
// written), lets views subscribe through SourceRequests carrying their frame
// rate, decides which source each idle reader of its pool fetches next, reads
// "file://" pictures itself, decodes every received JPEG once, and trims the
// cache to two byte budgets, least recently released sources first. A loader
// thread does all of this every 10 ms, and at once when a reader has a
// picture or a failure for it; it never waits on the network (the readers
// connect and probe on their own threads). The drawing thread only takes and
// gives back references to frames.
//
// A camera that fails is asked again only when its backoff allows
// (source_health.h), and keeps its last picture: the view shows that picture
// (as stale once it is old) rather than nothing. A view that has no picture at
// all has its camera asked again after failures whatever its frame rate. The budgets always hold
// the pictures being drawn: each is at least three times the largest picture of a source in use,
// however small it was configured.
//
// RTSP cameras ("rtsp://" names) have readers of their own, apart from the
// pool of HTTP readers so that they never take an HTTP camera's place: one per
// RTSP camera in use, made when the camera is first asked for (at most
// kMaxRtspReaders), each keeping its camera for good as an HTTP stream keeps
// its reader. They hand over decoded pictures, which the loader stores as they
// are.
//
// Thread-safety: acquire, release, prefetchHint, setOutputCanvas and the
// statistics may be called from any thread. currentFrame, releaseFrame and the
// held-frame accessors of one request are called by the one thread that draws
// with it, which must not release the request at the same time. Destruction
// must not race with any other call.
//
// Locks: requestLock guards the request list, sourceLock the source list and
// the use counts; the two are never held together. A source's own lock nests
// inside either of them (or is taken alone); counterLock is always innermost.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/imaging/frame.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/output_canvas.h"
#include "vistel/imaging/rtsp_source_reader.h"
#include "vistel/imaging/source_reader.h"
#include "vistel/imaging/source_request.h"
#include "vistel/imaging/stream_source_reader.h"
#include "vistel/platform/thread.h"

namespace vistel {

class ImageSourceManager {
 public:
  static constexpr std::int32_t kDefaultEncodedLimitKiB = 2048;
  static constexpr std::int32_t kDefaultDecodedLimitKiB = 4096;
  static constexpr std::int32_t kDefaultReaderCount = 2;
  // Pause between two passes of the loader thread.
  static constexpr std::uint32_t kLoaderPeriodMs = 10;
  // How long currentFrame waits for a source that has no picture at all.
  static constexpr std::uint32_t kPictureWaitMs = 20;

  // One decode of a received picture, as the loader thread saw it.
  struct DecodeEvent {
    const ImageSource* source = nullptr;  // valid during the call only
    std::uint32_t timestamp = 0;          // the picture's clock value
    std::uint32_t decodedAtMs = 0;        // clock when its decode finished
    std::int32_t encodedSize = 0;         // JPEG bytes
    std::int32_t width = 0;               // 0 when no row could be decoded
    std::int32_t height = 0;
    bool complete = false;  // every row decoded
    bool kept = false;      // became the source's picture (false: older than the current one)
  };

  // Optional notices from the loader thread, for tools and measurements. They
  // run on the loader thread with no lock of the manager held and must return
  // quickly; they must not call back into the manager.
  struct Observers {
    std::function<void(const DecodeEvent&)> decoded;
    // After every trim: the encoded and decoded bytes then held.
    std::function<void(std::int64_t encodedBytes, std::int64_t decodedBytes)> trimmed;
  };

  // One source list entry, for diagnostics and tests.
  struct SourceInfo {
    std::string url;
    ImageKind kind = ImageKind::MotionStream;
    std::int32_t encodedSize = -1;  // -1: no encoded frame
    std::int32_t decodedSize = -1;  // -1: no decoded frame
    std::uint32_t encodedTimestamp = 0;
    std::uint32_t decodedTimestamp = 0;
    int useCount = 0;
    bool busy = false;
    bool failed = false;
  };

  // Builds the reader pool (readerCount readers from `readerFactory`, each
  // given `starter`), then starts the loader thread through `starter`.
  // RTSP readers come from `rtspFactory` (with `starter`) as RTSP cameras are
  // asked for; none when it is empty. Budgets are in KiB; they grow while the
  // sources in use need more.
  ImageSourceManager(const ThreadStarter& starter,
                     std::int32_t encodedLimitKiB = kDefaultEncodedLimitKiB,
                     std::int32_t decodedLimitKiB = kDefaultDecodedLimitKiB,
                     std::int32_t readerCount = kDefaultReaderCount,
                     const SourceReaderFactory& readerFactory = streamReaderFactory(),
                     Observers observers = {},
                     SourceReaderFactory rtspFactory = rtspReaderFactory());
  // Stops the loader thread, then the readers (closing their connections),
  // then frees every request, frame and source. Requests handed out become
  // invalid.
  ~ImageSourceManager();
  ImageSourceManager(const ImageSourceManager&) = delete;
  ImageSourceManager& operator=(const ImageSourceManager&) = delete;

  // Subscribes to `name`, used exactly as written except that a relative
  // "file://" name is resolved against the file base (see setFileBase). With
  // FromName the kind comes from the name. Returns a request owned by the
  // manager, valid until release(); null for names starting with "#"
  // (reserved). Any thread.
  [[nodiscard]] SourceRequest* acquire(std::string_view name, ImageKind kind = ImageKind::FromName);

  // Gives a request back: its held frame is released and the request freed;
  // the source stays cached, most recently released first. Null is ignored.
  // Any thread, but not while the request's drawing thread uses it.
  void release(SourceRequest* request);

  // The folder that relative "file://" names (those whose path does not start
  // with "/") given to acquire and prefetchHint from now on are read from, so a
  // project's pictures can sit beside it; empty for the current directory.
  // Names already cached keep the file they were resolved to. Any thread.
  void setFileBase(std::string_view folder);

  // Says `name` will probably be acquired soon: a name that is not cached yet
  // gets an entry without requests, which the loader fetches when a reader has
  // nothing else to do. Empty names, names starting with "#" and cached names
  // are ignored. Any thread.
  void prefetchHint(std::string_view name, ImageKind kind = ImageKind::FromName);

  // Takes a reference on the request's current picture and returns its
  // pixels (valid until releaseFrame), or null when there is none. A frame
  // still held from an earlier call is released first. A source with no
  // picture at all is waited for once (kPictureWaitMs), then shown as a
  // placeholder of the output canvas; a failed one gives null at once.
  // Drawing thread.
  const std::uint8_t* currentFrame(SourceRequest* request);
  // Releases the held frame; false when none was held. Drawing thread.
  bool releaseFrame(SourceRequest* request);
  // The held frame's size, timestamp, width and height: -1, 0, -1, -1 when
  // none is held. Drawing thread.
  std::int32_t heldSize(const SourceRequest* request) const;
  std::uint32_t heldTimestamp(const SourceRequest* request) const;
  std::int32_t heldWidth(const SourceRequest* request) const;
  std::int32_t heldHeight(const SourceRequest* request) const;
  // Whether the held frame is a camera picture (not a placeholder). Drawing thread.
  bool heldIsPicture(const SourceRequest* request) const;

  // How a request's source stands, for its view to say so.
  struct PictureStatus {
    bool hasPicture = false;  // the source has a camera picture (not a placeholder)
    std::uint32_t ageMs = 0;  // how old that picture is
    bool stale = false;       // older than staleLimitMs of the request's frame rate
    SourceHealthState health;
  };
  // The status at clock time `now`, from the source's current picture and
  // health. Any thread (the request must not be released meanwhile).
  PictureStatus pictureStatus(const SourceRequest* request, std::uint32_t now) const;

  // The request's frame rate (0 until set; -1 every picture). Any thread.
  // A reader that is fetching the request's source is told the rate its
  // requests want at the loader's next poll: -1 when any wants every picture,
  // else the highest.
  float fps(const SourceRequest* request) const;
  void setFps(SourceRequest* request, float value);

  // The canvas placeholders show from now on; null for none. Any thread.
  void setOutputCanvas(std::shared_ptr<const OutputCanvas> canvas);

  // Bytes held in encoded and decoded frames of cached sources. Any thread.
  std::int64_t encodedBytes() const;
  std::int64_t decodedBytes() const;
  // The budgets as configured.
  std::int64_t encodedLimit() const { return encodedLimit_; }
  std::int64_t decodedLimit() const { return decodedLimit_; }
  // The budgets the last trim applied: the configured ones, raised to three
  // times the largest encoded and decoded picture of a source in use.
  std::int64_t encodedBudget() const;
  std::int64_t decodedBudget() const;
  // How many pictures (and of which size) a budget must hold at least.
  static constexpr std::int64_t kPicturesInBudget = 3;
  // The source list, front (most recently released) first. Any thread.
  std::vector<SourceInfo> sources() const;
  // Readers in the pool (those the factory built).
  std::int32_t readerCount() const { return static_cast<std::int32_t>(readers_.size()); }
  // RTSP readers made so far. Any thread.
  std::int32_t rtspReaderCount() const;
  // False when the loader thread could not be started (nothing is fetched then).
  bool loaderRunning() const { return loader_.joinable(); }

 private:
  struct ReaderSlot;
  struct Work;
  // Which readers serve a source: the HTTP pool (also files, read by the
  // loader) or the RTSP readers.
  enum class Pool { Http, Rtsp };
  static Pool poolOf(const ImageSource& source);

  void loaderLoop();
  void pollReaders();
  void pollReader(ReaderSlot& slot, Pool pool);
  // Makes RTSP readers for RTSP cameras that have none, within kMaxRtspReaders.
  void startRtspReaders();
  void followFrameRates();
  void assignWork(ReaderSlot& slot, Pool pool);
  void startWork(ReaderSlot& slot, const Work& work);
  bool chooseRequest(Work& work, Pool pool);
  bool chooseUnfetchedSource(Work& work, Pool pool);
  void readFile(ImageSource& source);
  void storePicture(ImageSource& source, std::vector<std::uint8_t> jpeg, std::uint32_t timestamp);
  // Whether a decode is news: a new picture is, one rebuilt from the bytes kept is not.
  enum class Decode { Quiet, Observed };
  void decodeSource(ImageSource& source, Decode kind);
  // Stores a picture a reader decoded itself as the source's picture.
  void storeDecoded(ImageSource& source, FrameRef decoded);
  // Makes `decoded` the source's picture unless the source was dropped or
  // holds a newer one; the picture it replaces goes to `old`, so that it is
  // freed after the source's lock. Loader thread.
  bool keepDecoded(ImageSource& source, FrameRef decoded, FrameRef& old);
  void failSource(ImageSource& source);
  void trim();
  // Raises the budgets to what the sources in use need. Under sourceLock_.
  void updateBudgets();
  void dropSource(ImageSource& source);
  void wakeLoader();
  bool heldByActiveReader(const ImageSource& source) const;
  FrameRef newPlaceholder() const;
  std::string resolveName(std::string_view name) const;
  void addBytes(std::int64_t encodedDelta, std::int64_t decodedDelta);

  const std::int64_t encodedLimit_;
  const std::int64_t decodedLimit_;
  const Observers observers_;

  mutable std::mutex requestLock_;
  std::list<std::unique_ptr<SourceRequest>>
      requests_;  // guarded by requestLock_; round-robin order

  mutable std::mutex sourceLock_;
  std::list<std::shared_ptr<ImageSource>> sources_;  // guarded by sourceLock_; front: last released

  mutable std::mutex counterLock_;
  std::int64_t encodedBytes_ = 0;  // guarded by counterLock_
  std::int64_t decodedBytes_ = 0;  // guarded by counterLock_
  std::int64_t encodedBudget_;     // guarded by counterLock_
  std::int64_t decodedBudget_;     // guarded by counterLock_

  // Ends the loader's pause early (a reader has news, or destruction). Taken alone.
  std::mutex loaderWakeLock_;
  std::condition_variable loaderWake_;
  bool loaderWoken_ = false;  // guarded by loaderWakeLock_

  mutable std::mutex fileBaseLock_;  // taken alone
  std::string fileBase_;             // guarded by fileBaseLock_

  mutable std::mutex canvasLock_;               // taken alone
  std::shared_ptr<const OutputCanvas> canvas_;  // guarded by canvasLock_

  std::vector<std::unique_ptr<ReaderSlot>> readers_;  // fixed after construction; loader thread
  const ThreadStarter starter_;                       // for RTSP readers made later
  const SourceReaderFactory rtspFactory_;
  // Guards rtspReaders_' growth (by the loader thread, which alone reads it
  // otherwise) against destruction's shutdown and rtspReaderCount(). Taken alone.
  mutable std::mutex rtspPoolLock_;
  std::vector<std::unique_ptr<ReaderSlot>> rtspReaders_;
  std::atomic<bool> stop_{false};
  Thread loader_;  // last member: started last, joined first
};

}  // namespace vistel
