#pragma once

// ffmpeg's multipart JPEG muxer as a camera on 127.0.0.1: an implementation
// of multipart/x-mixed-replace that shares no code with the reader under test.
//
// ffmpeg's HTTP server (-listen 1) serves one connection and exits, while a
// reader connects twice (probe, then stream) and again after failures. So the
// camera listens itself and, for every connection it accepts, starts a fresh
// ffmpeg on a port of its own, hands it the request and passes its answer on
// byte for byte. Every ffmpeg runs under `timeout` (bounded even if the test
// dies) and is ended and reaped when its connection ends or the camera goes.
//
// Thread-safety: construct and destroy on one thread; the accessors may be
// called from any thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace vistel::test {

class FfmpegCamera {
 public:
  struct Options {
    int width = 640;
    int height = 480;
    int rate = 25;                      // pictures per second, sent in real time (-re)
    std::string boundary = "ffmpeg";    // named in the Content-Type
    std::chrono::seconds lifetime{60};  // of each ffmpeg process at most
  };

  // True when an ffmpeg executable is on the PATH.
  static bool available();

  FfmpegCamera() : FfmpegCamera(Options{}) {}
  explicit FfmpegCamera(Options options);
  ~FfmpegCamera();
  FfmpegCamera(const FfmpegCamera&) = delete;
  FfmpegCamera& operator=(const FfmpegCamera&) = delete;

  bool ok() const;
  // "http://127.0.0.1:<port>/cam.mjpg"
  std::string url() const;
  // Connections accepted so far.
  int connections() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vistel::test
