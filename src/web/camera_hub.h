#pragma once

// Cameras fetched once per server. Every session has its own viewer engine
// and so its own image source manager, but cameras accept few clients: the
// hub sits below the managers and keeps one connection per camera address,
// whatever the number of sessions showing it, and decodes each of its
// pictures at most once. Each manager's reader pools (HTTP and RTSP) are built
// by the hub's reader factory; its readers do not connect themselves but
// follow the hub's camera of the address they are started on, marking its
// pictures ready by the stream reader's schedule for the rate their own
// manager asks for, and waking their manager's loader when there is a picture
// or a failure for it. A picture is decoded when the first reader takes it
// (so only when some session wants it, as often as the fastest one does);
// every other reader taking it gets the same decoded frame, which is never
// written once made (Frame's pixels are fixed by its factory and shared by
// reference count). An HTTP camera's one StreamReader probes, connects, backs
// off and falls silent as a desktop viewer's would; an RTSP camera's one
// RtspSourceReader decodes every picture and converts those due at the
// fastest rate its readers ask for. Either way a failing camera is asked as
// often as one viewer would ask it; each failure reaches every session's
// source with its reason (its view's placeholder says why). A camera with no
// reader left is disconnected after a grace period (a failing one also after
// its longest backoff, so that it keeps its backoff while its readers come
// back). The desktop viewer does not use the hub: its engine keeps its own
// readers and decodes for itself.
//
// Thread-safety: readerFactory(), camerasStarted(), picturesDecoded() and
// attach() from any thread; the readers as SourceReader (their manager's
// loader thread). The hub must outlive every reader it made.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vistel/imaging/rtsp_source_reader.h"
#include "vistel/imaging/source_reader.h"

namespace vistel::web {

class CameraHub {
 public:
  // How long a camera nobody reads stays connected.
  static constexpr std::uint32_t kIdleGraceMs = 3000;

  // `starter` starts the hub's camera threads and their readers; the readers
  // of rtsp:// cameras come from `rtspFactory` (with `starter`).
  explicit CameraHub(ThreadStarter starter = defaultThreadStarter(),
                     SourceReaderFactory rtspFactory = rtspReaderFactory());
  // Disconnects every camera and joins its thread.
  ~CameraHub();
  CameraHub(const CameraHub&) = delete;
  CameraHub& operator=(const CameraHub&) = delete;

  // Makes readers for an engine, for both of its pools
  // (EngineEnvironment::readerFactory and rtspReaderFactory).
  [[nodiscard]] SourceReaderFactory readerFactory();

  // Cameras started since the hub was made (one per address that was read).
  [[nodiscard]] std::size_t camerasStarted() const;
  // JPEG pictures decoded since the hub was made, over all cameras.
  [[nodiscard]] std::uint64_t picturesDecoded() const {
    return decoded_.load(std::memory_order_relaxed);
  }

  class Camera;
  // The camera of `url`, started when it is not there. Any thread.
  std::shared_ptr<Camera> attach(const std::string& url);

 private:
  void reapIdle();
  void reaper();

  ThreadStarter starter_;
  const SourceReaderFactory rtspFactory_;
  std::atomic<std::uint64_t> decoded_{0};  // counted by the cameras
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<Camera>> cameras_;  // guarded by mutex_
  std::size_t started_ = 0;                                 // guarded by mutex_
  bool stop_ = false;                                       // guarded by mutex_
  Thread reaper_;  // last: started once everything above exists
};

}  // namespace vistel::web
