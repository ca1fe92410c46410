#pragma once

// An RTSP camera on 127.0.0.1 that shares no code with the viewer: GStreamer's
// RTSP server, run by tests/support/rtsp_camera.py under Debian's python3.
// It serves four coloured quarters (top left red, top right green, bottom left
// blue, bottom right white) with the frame number in the top-left corner
// (tools/frame_code.h), live, at /h264, /h265, /h265-slices (four slices a
// picture), /mjpeg and /vp8; or, for mounts given recordings, pictures
// encoded beforehand.
//
// Started by the constructor (on a free port unless one is given), ended and
// reaped by the destructor; it exits by itself after `lifetime` in any case.
//
// Thread-safety: construct, command and destroy on one thread; port(), url()
// and sent() may be called from any thread.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace vistel::test {

class RtspTestCamera {
 public:
  struct Options {
    int width = 320;
    int height = 240;
    int fps = 25;
    int keyInterval = 25;       // pictures from one key picture to the next
    std::uint16_t port = 0;     // 0: a free one
    std::string credentials{};  // "user:password" wanted from clients; empty: none
    bool basicAuth = false;     // Basic rather than Digest
    // Mounts ("/h264", "/h265") that send a recording made by recording()
    // instead of encoding, and the recording's file.
    std::map<std::string, std::string> recorded{};
    bool logSent = false;  // record when each picture went out (sent())
    std::chrono::seconds lifetime{120};
  };

  // True when Debian's python3 has the GStreamer RTSP server bindings.
  static bool available();

  // A recording of `frames` pictures of a moving scene with the frame code,
  // encoded as `codec` ("h264" or "h265") as the camera encodes, for
  // Options::recorded: made once into the system's temporary folder (which
  // may take minutes) and reused. Empty when it cannot be made.
  static std::string recording(std::string_view codec, int width, int height, int fps,
                               int keyInterval, int frames);

  explicit RtspTestCamera(Options options);
  ~RtspTestCamera();
  RtspTestCamera(const RtspTestCamera&) = delete;
  RtspTestCamera& operator=(const RtspTestCamera&) = delete;

  // True once the server listens.
  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // "rtsp://[userInfo@]127.0.0.1:<port>/<mount>"
  std::string url(std::string_view mount, std::string_view userInfo = {}) const;

  // Sends one command ("stall", "resume", "drop N") and waits for its
  // acknowledgement. False when the server did not acknowledge within 5 s.
  bool command(std::string_view line);

  // When picture `frame` of `mount` ("/h264", ...) first went out, on the
  // process's millisecond clock; none when it was not (yet) seen. Needs
  // Options::logSent.
  std::optional<std::uint32_t> sent(std::string_view mount, std::uint32_t frame) const;

 private:
  void readOutput();

  Options options_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::uint16_t port_ = 0;
  std::thread reader_;

  mutable std::mutex lock_;
  std::condition_variable changed_;
  int acknowledged_ = 0;                                                 // guarded by lock_
  bool portSeen_ = false;                                                // guarded by lock_
  bool ended_ = false;                                                   // guarded by lock_
  std::map<std::pair<std::string, std::uint32_t>, std::uint32_t> sent_;  // guarded by lock_
};

}  // namespace vistel::test
