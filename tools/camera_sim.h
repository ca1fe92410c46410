#pragma once

// A live camera simulator: serves the demo street's two cameras over HTTP on
// 127.0.0.1 (or another local address) the way network cameras do, with
// traffic moving along the street, so the viewer, its tests and benchmarks
// have real cameras to talk to.
//
// Each camera listens on a port of its own and answers
//   GET /video.mjpg   its pictures in the camera's layout (below)
//   GET /             the same
//   GET /snapshot.jpg one picture (image/jpeg), whatever the layout
// and 404 to anything else. Pictures are made on a fixed schedule (frame n is
// due n / fps seconds after the start, a late frame skips the slots it
// missed), only while somebody watches, and sent to every client of the
// camera; a client that reads slowly gets the newest picture next, never a
// queue. Frame n carries n in a cell code in its top-left corner
// (frame_code.h) and in a JPEG comment "vistel-sim camera=NAME frame=n
// sent_ms=T" (T: the clock of platform/clock.h when the frame was due).
//
// Both cameras run on one schedule, so frame n of the left camera and frame n
// of the right camera show the traffic at the same moment.
//
// Faults can be set at start and switched at run time, per camera, and affect
// connections open at the time as well as new ones.
//
// Thread-safety: every member may be called from any thread. Each client is
// served on a thread of its own; the part hook runs on those threads.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vistel::sim {

// How a camera frames its pictures.
enum class StreamLayout {
  DelimiterBefore,  // boundary named in the Content-Type; each part opens with the
                    // delimiter and carries a Content-Length (ffmpeg, most cameras)
  DelimiterAfter,   // boundary named; no lengths; the delimiter and headers of the
                    // next part follow each picture at once
  NoBoundary,       // the Content-Type names no boundary; delimiter before each
                    // part, no lengths, the same part headers every time
  QuotedBoundary,   // boundary="..." in quotes; otherwise as DelimiterBefore
  Single,           // one image/jpeg response per request
};

// What goes wrong, on demand.
enum class CameraFault {
  None,
  Stall,             // accepts the connection and says nothing
  StallBody,         // sends the response head, then nothing
  CloseMidPart,      // sends the head and half a picture, then closes
  BasicAuth,         // 401 with a Basic challenge unless the request has the credentials
  DigestAuth,        // 401 with a Digest (MD5) challenge unless answered with them
  NotFound,          // 404 to every request
  Garbage,           // the layout's framing around bytes that are no JPEG
  WrongContentType,  // 200 with an HTML page
};

// Names used on the command line: "before", "after", "no-boundary", "quoted",
// "single"; "none", "stall", "stall-body", "close", "basic", "digest", "404",
// "garbage", "wrong-type".
std::string_view layoutName(StreamLayout layout);
std::optional<StreamLayout> layoutFromName(std::string_view name);
std::string_view faultName(CameraFault fault);
std::optional<CameraFault> faultFromName(std::string_view name);

// The boundary the simulator's streams use (also the NoBoundary delimiter).
inline constexpr std::string_view kBoundary = "vistelsimboundary";
// The realm of its challenges.
inline constexpr std::string_view kRealm = "vistel-sim";

// One picture written whole to a client.
struct PartSent {
  std::size_t camera = 0;
  std::uint32_t frameNumber = 0;
  std::uint32_t sentMs = 0;                        // the frame's due time, as in its JPEG comment
  std::chrono::steady_clock::time_point lastByte;  // when its last byte was handed to the socket
  std::uint32_t lastByteMs = 0;                    // the same on the clock of platform/clock.h
};

// The parts a simulator sent, for looking up when a frame went out (a
// benchmark that sees frame n on screen asks when n's last byte was written).
// Keeps, per camera, the first sending of each of the latest `capacity`
// frames. Thread-safe.
class PartLog {
 public:
  explicit PartLog(std::size_t capacity = 4096) : capacity_(capacity) {}

  void add(const PartSent& part);
  // The first time frame `frameNumber` of `camera` was written whole to a
  // client; nothing when it was not (or has left the log).
  std::optional<PartSent> find(std::size_t camera, std::uint32_t frameNumber) const;
  // A hook for SimulatorOptions::onPartSent that adds to this log, which must
  // outlive the simulator.
  std::function<void(const PartSent&)> hook() {
    return [this](const PartSent& part) { add(part); };
  }

 private:
  const std::size_t capacity_;
  mutable std::mutex lock_;
  std::array<std::map<std::uint32_t, PartSent>, 2> parts_;  // guarded by lock_, per camera
};

struct CameraCounters {
  std::uint64_t connections = 0;   // accepted
  std::uint64_t requests = 0;      // request heads read
  std::uint64_t partsSent = 0;     // pictures written whole (PartSent hooks)
  std::uint64_t unauthorized = 0;  // 401 answers
  std::uint64_t framesMade = 0;    // pictures rendered and encoded
  std::uint32_t openConnections = 0;
};

struct SimulatorOptions {
  // IPv4 address to listen on; 127.0.0.1 unless told otherwise.
  std::string address = "127.0.0.1";
  // Camera i listens on firstPort + i; 0 gives every camera a free port.
  std::uint16_t firstPort = 0;
  int width = 640;   // kMinPictureWidth..kMaxPictureWidth (live_camera.h)
  int height = 480;  // kMinPictureHeight..kMaxPictureHeight
  double fps = 15;   // pictures per second, 0.1 to 60
  int quality = 85;  // JPEG quality, 1 to 100
  // Per camera (left, right).
  std::array<StreamLayout, 2> layouts{StreamLayout::DelimiterBefore, StreamLayout::DelimiterBefore};
  std::array<CameraFault, 2> faults{CameraFault::None, CameraFault::None};
  // The credentials the BasicAuth and DigestAuth faults ask for.
  std::string user = "admin";
  std::string password = "secret";
  // Called for every picture written whole, on the client's thread; must be
  // thread-safe and quick.
  std::function<void(const PartSent&)> onPartSent;
};

class CameraSimulator {
 public:
  static constexpr std::size_t kCameras = 2;

  // Renders the street for both cameras (cached per size within a process),
  // opens the listening sockets and starts serving. Null, with the reason in
  // `error`, on bad options or when a port cannot be listened on.
  [[nodiscard]] static std::unique_ptr<CameraSimulator> start(SimulatorOptions options,
                                                              std::string& error);

  // Stops (see stop()).
  ~CameraSimulator();
  CameraSimulator(const CameraSimulator&) = delete;
  CameraSimulator& operator=(const CameraSimulator&) = delete;

  // "left" or "right".
  static std::string_view cameraName(std::size_t camera);

  std::uint16_t port(std::size_t camera) const;
  // "http://ADDRESS:PORT" + path.
  std::string url(std::size_t camera, std::string_view path = "/video.mjpg") const;
  // The same with "user:password@" before the address.
  std::string urlWithCredentials(std::size_t camera, std::string_view user,
                                 std::string_view password,
                                 std::string_view path = "/video.mjpg") const;

  // Switches a camera's behaviour: open connections follow at their next
  // picture (a stalled one at once), new ones from their request on.
  void setFault(std::size_t camera, CameraFault fault);
  CameraFault fault(std::size_t camera) const;
  // Switches the layout for requests from now on; open streams keep theirs.
  void setLayout(std::size_t camera, StreamLayout layout);
  StreamLayout layout(std::size_t camera) const;

  CameraCounters counters(std::size_t camera) const;

  // Stops accepting, closes every connection, ends and joins all threads;
  // returns within a few milliseconds plus the picture being encoded, also
  // with clients connected. Repeated calls do nothing more.
  void stop();

  struct Impl;

 private:
  explicit CameraSimulator(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistel::sim
