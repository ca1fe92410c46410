// A long run of the viewer against simulated cameras, for checking by hand that
// memory stays flat and cameras recover: two 1280 x 720 cameras at 25 fps shown
// by one engine (the live demo's link between them), and a third camera, shown
// by a second engine, that fails every few minutes (each fault for 30 s, in
// turn). Prints a line a minute: elapsed time, resident memory, frames each
// engine rendered, pictures each camera sent and the connections it saw.
//
//   camera_soak [SECONDS] [DEMO.XML]   (default 3600 s, examples/demo-live/demo.xml)
//
// Run it at low priority (nice) on a shared machine: it keeps about one core busy.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "camera_sim.h"
#include "vistel/engine/viewer_engine.h"

namespace {

using namespace std::chrono_literals;
using vistel::sim::CameraFault;

std::int32_t countFrame(void* context, const std::uint32_t*, std::int32_t,
                        const vistel::FrameRect&) {
  ++*static_cast<std::atomic<long>*>(context);
  return 0;
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::unique_ptr<vistel::ViewerEngine> showProject(std::atomic<long>& frames, const std::string& xml,
                                                  int width, int height) {
  auto engine = vistel::ViewerEngine::create(&frames, vistel::defaultThreadStarter(), &countFrame);
  engine->postEvent(vistel::kEventShow, 1, 0);
  engine->postEvent(vistel::kEventSize, width, height);
  if (!engine->loadProject(xml.data(), xml.size())) return nullptr;
  return engine;
}

}  // namespace

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::stol(argv[1]) : 3600;
  const std::string demoPath = argc > 2 ? argv[2] : VISTEL_LIVE_DEMO;
  std::stringstream demoText;
  demoText << std::ifstream(demoPath).rdbuf();
  std::string demo = demoText.str();

  std::string error;
  vistel::sim::SimulatorOptions street;
  street.width = 1280;
  street.height = 720;
  street.fps = 25;
  const auto cameras = vistel::sim::CameraSimulator::start(street, error);
  vistel::sim::SimulatorOptions flaky;
  flaky.fps = 15;
  const auto failing = vistel::sim::CameraSimulator::start(flaky, error);
  if (!cameras || !failing) {
    std::fprintf(stderr, "camera_soak: the simulator did not start: %s\n", error.c_str());
    return 1;
  }
  replaceAll(demo, "http://127.0.0.1:28471/video.mjpg", cameras->url(0));
  replaceAll(demo, "http://127.0.0.1:28472/video.mjpg", cameras->url(1));
  replaceAll(demo, "fps=\"15\"", "fps=\"25\"");
  const std::string single = "<quilo startview='a'><view id='a' src='" + failing->url(0) +
                             "' fps='15' lens='none'/></quilo>";

  std::atomic<long> streetFrames{0}, failingFrames{0};
  const auto streetEngine = showProject(streetFrames, demo, 1024, 576);
  const auto failingEngine = showProject(failingFrames, single, 640, 480);
  if (!streetEngine || !failingEngine) {
    std::fprintf(stderr, "camera_soak: a project did not load\n");
    return 1;
  }

  const CameraFault faults[] = {CameraFault::Stall,    CameraFault::CloseMidPart,
                                CameraFault::NotFound, CameraFault::BasicAuth,
                                CameraFault::Garbage,  CameraFault::WrongContentType};
  const auto began = std::chrono::steady_clock::now();
  std::printf(
      "minute rss_kib street_frames failing_frames left_sent right_sent failing_sent "
      "left_conn right_conn failing_conn fault\n");
  for (long minute = 0; minute * 60 < seconds; ++minute) {
    // Each third minute: 30 s of the next fault, then the camera works again.
    const bool faulty = minute % 3 == 2;
    const CameraFault fault = faults[(minute / 3) % std::size(faults)];
    if (faulty) failing->setFault(0, fault);
    std::this_thread::sleep_until(began + std::chrono::seconds(minute * 60 + (faulty ? 30 : 0)));
    if (faulty) failing->setFault(0, CameraFault::None);
    std::this_thread::sleep_until(began + std::chrono::seconds(minute * 60 + 60));
    const auto left = cameras->counters(0), right = cameras->counters(1),
               other = failing->counters(0);
    std::printf("%ld %ld %ld %ld %llu %llu %llu %llu %llu %llu %s\n", minute + 1, residentKiB(),
                streetFrames.load(), failingFrames.load(),
                static_cast<unsigned long long>(left.partsSent),
                static_cast<unsigned long long>(right.partsSent),
                static_cast<unsigned long long>(other.partsSent),
                static_cast<unsigned long long>(left.connections),
                static_cast<unsigned long long>(right.connections),
                static_cast<unsigned long long>(other.connections),
                faulty ? std::string(vistel::sim::faultName(fault)).c_str() : "-");
    std::fflush(stdout);
  }
  return 0;
}
