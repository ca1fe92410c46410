#pragma once

// Cameras fetched once per server. Every session has its own viewer engine
// and so its own image source manager, but cameras accept few clients: the
// hub sits below the managers and keeps one connection per camera address,
// whatever the number of sessions showing it. Each manager's reader pool is
// built by the hub's reader factory; its readers do not connect themselves
// but follow the hub's camera of the address they are started on, taking its
// latest picture (the JPEG bytes, decoded by each manager), marked ready by
// the stream reader's schedule for the rate their own manager asks for, and
// waking their manager's loader when there is a picture or a failure for it.
// The camera's one StreamReader probes, connects, backs off and falls silent
// as a desktop viewer's would, so a failing camera is asked as often as one
// viewer would ask it; each failure reaches every session's source with its
// reason (its view's placeholder says why). A camera with no reader left is
// disconnected after a grace period (a failing one also after its longest
// backoff, so that it keeps its backoff while its readers come back).
// The desktop viewer does not use the hub: its engine keeps its own readers.
//
// Thread-safety: readerFactory() and connectionsOpened() from any thread; the
// readers as SourceReader (their manager's loader thread). The hub must
// outlive every reader it made.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "vistel/imaging/source_reader.h"

namespace vistel::web {

class CameraHub {
 public:
  // How long a camera nobody reads stays connected.
  static constexpr std::uint32_t kIdleGraceMs = 3000;

  // `starter` starts the hub's camera threads and their stream readers.
  explicit CameraHub(ThreadStarter starter = defaultThreadStarter());
  // Disconnects every camera and joins its thread.
  ~CameraHub();
  CameraHub(const CameraHub&) = delete;
  CameraHub& operator=(const CameraHub&) = delete;

  // Makes readers for an engine (EngineEnvironment::readerFactory).
  [[nodiscard]] SourceReaderFactory readerFactory();

  // Cameras started since the hub was made (one per address that was read).
  [[nodiscard]] std::size_t camerasStarted() const;

  class Camera;
  // The camera of `url`, started when it is not there. Any thread.
  std::shared_ptr<Camera> attach(const std::string& url);

 private:
  void reapIdle();
  void reaper();

  ThreadStarter starter_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::shared_ptr<Camera>> cameras_;  // guarded by mutex_
  std::size_t started_ = 0;                                 // guarded by mutex_
  bool stop_ = false;                                       // guarded by mutex_
  Thread reaper_;  // last: started once everything above exists
};

}  // namespace vistel::web
