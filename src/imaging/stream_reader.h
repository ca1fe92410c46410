#pragma once

// Fetches JPEG pictures from one camera URL at a time over HTTP: either one
// picture per request (single-image mode) or a kept-open
// multipart/x-mixed-replace stream cut into its JPEG parts (stream mode). The
// latest complete picture waits in a one-slot hand-over; a picture not taken
// yet is replaced by the next one, so a slow consumer never queues frames.
// Pictures are marked ready by a schedule of the requested frame rate.
//
// Each reader owns a fetch thread (started through the owner's ThreadStarter)
// and a watchdog thread. All network work happens on the fetch thread,
// including the probe that decides between the two modes, so the owner never
// waits on a camera. The watchdog ends a read hanging longer than the
// watchdog time-out, and a connection that brings no picture (or, while
// connecting, no answer) for the silence limit (source_health.h): the camera
// is then "silent". Every failed attempt is recorded in the source's
// SourceHealth with its reason, and the next attempt on that source (a
// stream's reconnection, a single picture's retry) waits for its backoff; a
// picture ends the backoff. A stream reconnects without limit; a single
// picture is tried twice. Responses with a status other than 2xx count as
// failed connections. More than 1 MiB without a part delimiter ends a
// connection; a single picture may have at most kMaxPictureBytes
// (image_loader.h).
//
// Thread-safety: start, setFrameRate, pollState, takeFrame and the accessors
// are called by one owner thread (the image source manager's loader thread);
// the reader's own threads run concurrently with them. shutdown(),
// setHttpTimeouts() and setWakeUp() may be called from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/imaging/source_health.h"
#include "vistel/platform/thread.h"

namespace vistel {

class ImageSource;

class StreamReader {
 public:
  enum Mode : std::int32_t { ModeIdle = 0, ModeSingle = 1, ModeStream = 2 };
  // ModeProbe asks start() to find the mode from the server's Content-Type.
  static constexpr std::int32_t ModeProbe = 0;

  enum State : std::int32_t {
    StateIdle = 0,
    StateFetching = 1,
    StateRetryPending = 2,
    StateReady = 3,  // a picture is ready (stream) or the single fetch is done
    StateFailed = 4,
    StateEnded = 6,  // the fetch thread has ended
  };

  enum StartResult : std::int32_t { Started = 0, AlreadyFetching = 1, CouldNotStart = 2 };

  // setFrameRate selector for the wanted pictures per second.
  static constexpr std::int32_t kFrameRateSelector = 1;
  static constexpr std::uint32_t kDefaultWatchdogTimeoutMs = 60000;
  // The HTTP session's connect time-out: shorter than the silence limit, so
  // that a camera nobody answers for is "not reachable", one that takes the
  // connection and says nothing "silent".
  static constexpr std::uint32_t kConnectTimeoutMs = 5000;

  // Starts the fetch thread through `starter` and the watchdog thread. Tests may
  // shorten the watchdog time-out.
  explicit StreamReader(const ThreadStarter& starter,
                        std::uint32_t watchdogTimeoutMs = kDefaultWatchdogTimeoutMs);
  // Stops both threads (shutdown() first): returns within about a second, also
  // while a connection is being opened or a read blocks.
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  // Begins fetching `url` for `owner` (kept alive by the reader for as long as
  // it may deliver to it: until the fetch thread leaves the job, at once after
  // the next start, or destruction) and returns at once. With ModeProbe the fetch thread first asks
  // the server which mode it serves; a probe that fails shows as StateFailed at a later poll. The
  // first attempt waits for the owner's backoff (a null owner has a backoff of its own, begun
  // afresh by each start). Starting another job ends the fetch thread's connection attempt for the
  // previous one. Returns Started, AlreadyFetching or CouldNotStart (an unknown mode, no fetch
  // thread, or after shutdown()).
  [[nodiscard]] std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                   std::size_t initialBufferSize, std::int32_t mode);

  // With kFrameRateSelector stores `value` as the wanted pictures per second
  // (negative: every picture; 0: only the first); other selectors do nothing.
  void setFrameRate(std::int32_t selector, float value);

  // The current state; StateReady and StateFailed are consumed by this poll
  // (reset to StateIdle) unless the reader streams.
  [[nodiscard]] std::int32_t pollState();

  // Moves the slot's JPEG bytes into `out` and empties the slot; false (and
  // `out` emptied) when the slot is empty.
  [[nodiscard]] bool takeFrame(std::vector<std::uint8_t>& out);

  // Connect and receive time-outs of the reader's HTTP session
  // (kConnectTimeoutMs and HttpSession::kDefaultTimeoutMs unless set); they
  // apply from the next connection on. Any thread.
  void setHttpTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs);

  // `wakeUp` is called on the fetch thread, with no lock of the reader held,
  // whenever the state the owner polls changed for a reason of the reader's
  // own (a picture marked ready, an attempt failed), so that the owner need
  // not wait for its next poll. It must return at once. Empty for none. Any
  // thread.
  void setWakeUp(std::function<void()> wakeUp);

  // Ends the reader's work for good: the fetch thread's connection attempt,
  // probe or read gives up within about 100 ms; later starts return
  // CouldNotStart. The destructor calls it. Any thread; repeated calls do
  // nothing more.
  void shutdown();

  // The source being fetched, or null before the first start.
  std::shared_ptr<ImageSource> owner() const;
  // Clock time at the end of the latest stream part (or of the start): the
  // timestamp of the picture taken with takeFrame.
  std::uint32_t lastPartTime() const;
  // Error code of the last HTTP failure (an HttpError value), 0 when none.
  std::uint32_t lastError() const;

  // What the latest probe saw, for tools that describe a camera: the mode it
  // chose (ModeIdle when it failed or none ran yet), the answer's status (0
  // without an answer), the response's Content-Type value and the boundary
  // that value named (both empty when absent). Any thread.
  struct ProbeResult {
    std::int32_t mode = ModeIdle;
    int status = 0;
    std::string contentType;
    std::string boundary;
  };
  ProbeResult lastProbe() const;
  // The health of the source being fetched (the owner's, or the reader's own
  // for a null owner): the last failure's reason and the last status. Any thread.
  SourceHealthState health() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistel
