// `vistel camera-sim`: the demo street's two cameras, live, on this machine,
// for trying the viewer without cameras and for breaking it on purpose.
#include "camera_sim.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "demo_scene.h"
#include "live_camera.h"

namespace vistel::cli {

const char* const kCameraSimHelp =
    "usage: vistel camera-sim [--listen ADDRESS:PORT] [--fps F] [--size WxH]\n"
    "                         [--layout [CAMERA=]LAYOUT]... [--fault [CAMERA=]FAULT]...\n"
    "                         [--credentials USER:PASSWORD] [--quality Q] [--duration S]\n"
    "\n"
    "Serves the demo street's two cameras (left and right) over HTTP, live, with\n"
    "two cars driving along the street: the cameras examples/demo-live/demo.xml\n"
    "names. Each camera has a port of its own and answers /video.mjpg (and /) in\n"
    "its layout and /snapshot.jpg with one picture. Every picture carries its frame\n"
    "number in black and white cells at its top-left corner and in a JPEG comment\n"
    "\"vistel-sim camera=NAME frame=N sent_ms=T\". Runs until interrupted.\n"
    "\n"
    "  --listen ADDRESS:PORT  left camera on PORT, right camera on PORT+1; port 0\n"
    "                         picks free ports (default 127.0.0.1:28471)\n"
    "  --fps F                pictures per second, 0.1 to 60 (default 15)\n"
    "  --size WxH             picture size, 320x240 to 1920x1080 (default 640x480)\n"
    "  --layout LAYOUT        before (default): boundary in the Content-Type, delimiter\n"
    "                         and Content-Length before each picture; after: delimiter\n"
    "                         after each picture, no lengths; no-boundary: no boundary\n"
    "                         in the Content-Type; quoted: boundary=\"...\"; single: one\n"
    "                         image/jpeg picture per request\n"
    "  --fault FAULT          none (default); stall: accept and say nothing;\n"
    "                         stall-body: the response head, then nothing; close: close\n"
    "                         in the middle of a picture; basic, digest: 401 unless the\n"
    "                         request has the credentials; 404; garbage: bytes that are\n"
    "                         no JPEG; wrong-type: an HTML page\n"
    "                         CAMERA= (left= or right=) sets one camera only\n"
    "  --credentials U:P      what basic and digest ask for (default admin:secret)\n"
    "  --quality Q            JPEG quality, 1 to 100 (default 85)\n"
    "  --duration S           stop after S seconds\n"
    "\n"
    "Prints each camera's address once it listens, and what each camera served when\n"
    "it stops. Exits with 0 after an interrupt or the duration, 1 when a port cannot\n"
    "be listened on, 2 on bad arguments.\n";

namespace {

bool parseDecimal(const std::string& text, double low, double high, double& out) {
  if (text.empty() || (text[0] != '.' && (text[0] < '0' || text[0] > '9'))) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value) ||
      value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

// "[CAMERA=]VALUE": the cameras it names (both without a prefix) and the value.
bool splitCamera(const std::string& text, bool (&cameras)[2], std::string& value) {
  const std::size_t equals = text.find('=');
  cameras[0] = cameras[1] = true;
  value = text;
  if (equals == std::string::npos) return true;
  const std::string name = text.substr(0, equals);
  value = text.substr(equals + 1);
  for (std::size_t i = 0; i < 2; ++i) {
    if (name == sim::CameraSimulator::cameraName(i)) {
      cameras[i] = true;
      cameras[1 - i] = false;
      return true;
    }
  }
  return false;
}

// Blocks the stop signals on this thread (and the simulator's threads, which
// inherit the mask) and restores the previous mask when it goes.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    sigaddset(&set_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
  }
  ~StopSignals() {
    // A signal that came in while stopping must not end the process now.
    timespec none{};
    while (sigtimedwait(&set_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits up to `ms` for a stop signal; true when one came.
  bool wait(long ms) {
    timespec limit{ms / 1000, (ms % 1000) * 1000000};
    return sigtimedwait(&set_, nullptr, &limit) > 0;
  }

 private:
  sigset_t set_;
  sigset_t previous_;
};

}  // namespace

int runCameraSim(const std::vector<std::string>& args, Io io) {
  constexpr const char* kName = "camera-sim";
  sim::SimulatorOptions options;
  options.firstPort = demo::kLiveDemoPorts[0];
  options.fps = demo::kLiveDemoFps;
  double duration = -1;
  CommandLine line(CommandLine::Dashes::Refused);
  line.option("--listen", "--listen needs ADDRESS:PORT, a port from 0 to 65534",
              [&options](const std::string& value) {
                const std::size_t colon = value.rfind(':');
                std::int64_t port = 0;
                if (colon == std::string::npos || colon == 0 ||
                    !parseWholeNumber(value.substr(colon + 1), 0, 65534, port)) {
                  return false;
                }
                options.address = value.substr(0, colon);
                options.firstPort = static_cast<std::uint16_t>(port);
                return true;
              });
  line.option("--fps", "--fps needs a number from 0.1 to 60", [&options](const std::string& value) {
    return parseDecimal(value, 0.1, 60, options.fps);
  });
  line.option("--size", "--size needs WxH from 320x240 to 1920x1080",
              [&options](const std::string& value) {
                const std::size_t x = value.find('x');
                std::int64_t w = 0, h = 0;
                if (x == std::string::npos ||
                    !parseWholeNumber(value.substr(0, x), sim::kMinPictureWidth,
                                      sim::kMaxPictureWidth, w) ||
                    !parseWholeNumber(value.substr(x + 1), sim::kMinPictureHeight,
                                      sim::kMaxPictureHeight, h)) {
                  return false;
                }
                options.width = static_cast<int>(w);
                options.height = static_cast<int>(h);
                return true;
              });
  // "[CAMERA=]NAME" for one camera or both.
  const auto perCamera = [](const std::string& value, const char* what, auto set) -> std::string {
    bool cameras[2];
    std::string name;
    if (!splitCamera(value, cameras, name)) {
      return std::string("--") + what + " names no camera (left= or right=)";
    }
    if (!set(name, cameras)) return std::string("unknown ") + what + " '" + name + "'";
    return "";
  };
  line.option("--layout", [&](const std::string& value) {
    return perCamera(value, "layout", [&options](const std::string& name, const bool* cameras) {
      const auto layout = sim::layoutFromName(name);
      for (std::size_t c = 0; layout && c < 2; ++c) {
        if (cameras[c]) options.layouts[c] = *layout;
      }
      return layout.has_value();
    });
  });
  line.option("--fault", [&](const std::string& value) {
    return perCamera(value, "fault", [&options](const std::string& name, const bool* cameras) {
      const auto fault = sim::faultFromName(name);
      for (std::size_t c = 0; fault && c < 2; ++c) {
        if (cameras[c]) options.faults[c] = *fault;
      }
      return fault.has_value();
    });
  });
  line.option("--credentials", "--credentials needs USER:PASSWORD",
              [&options](const std::string& value) {
                const std::size_t colon = value.find(':');
                if (colon == std::string::npos || colon == 0) return false;
                options.user = value.substr(0, colon);
                options.password = value.substr(colon + 1);
                return true;
              });
  line.option("--quality", "--quality needs a whole number from 1 to 100",
              [&options](const std::string& value) {
                std::int64_t quality = 0;
                if (!parseWholeNumber(value, 1, 100, quality)) return false;
                options.quality = static_cast<int>(quality);
                return true;
              });
  line.option(
      "--duration", "--duration needs a number of seconds above 0",
      [&duration](const std::string& value) { return parseDecimal(value, 0.001, 1e7, duration); });
  std::string error;
  if (!line.parse(args, error)) return usageError(io, kName, error);

  StopSignals signals;
  auto simulator = sim::CameraSimulator::start(options, error);
  if (!simulator) {
    io.err << "vistel camera-sim: " << error << "\n";
    return kExitFailure;
  }
  io.out << "vistel camera-sim: the demo street, " << options.width << "x" << options.height
         << " at " << options.fps << " fps\n";
  for (std::size_t c = 0; c < sim::CameraSimulator::kCameras; ++c) {
    io.out << sim::CameraSimulator::cameraName(c) << " camera: " << simulator->url(c) << " (layout "
           << sim::layoutName(options.layouts[c]) << ", fault " << sim::faultName(options.faults[c])
           << ")\n";
  }
  io.out.flush();

  const auto began = std::chrono::steady_clock::now();
  for (;;) {
    long waitMs = 500;
    if (duration > 0) {
      const double left =
          duration -
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      if (left <= 0) break;
      waitMs = std::min(waitMs, static_cast<long>(std::ceil(left * 1000)));
    }
    if (signals.wait(waitMs)) break;
  }
  simulator->stop();
  for (std::size_t c = 0; c < sim::CameraSimulator::kCameras; ++c) {
    const sim::CameraCounters n = simulator->counters(c);
    io.out << sim::CameraSimulator::cameraName(c) << " camera served " << n.connections
           << " connections, " << n.requests << " requests, " << n.partsSent << " pictures ("
           << n.framesMade << " made), " << n.unauthorized << " refused\n";
  }
  return kExitOk;
}

}  // namespace vistel::cli
