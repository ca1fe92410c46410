// The camera pipeline end to end: two ffmpeg test cameras streaming 640x480
// MJPEG at 25 pictures/s over loopback, fetched by the image source manager's
// reader pool and decoded on its loader thread, for 10 s. Reported: CPU time
// of this process per delivered picture, the delay from a part's last byte
// (the reader's part time) to its decoded frame, and peak resident memory
// (over the process's resident size before the manager started).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vistel/imaging/image_source_manager.h"
#include "vistel/platform/clock.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using vistel::ImageSourceManager;

bool haveFfmpeg() { return std::system("ffmpeg -version >/dev/null 2>&1") == 0; }

// A free port on 127.0.0.1 (bound, then released).
int freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// One test camera: ffmpeg with -listen 1 serves a single connection and
// exits, so it is started again for every connection (the reader's probe,
// then its stream) until the camera is stopped.
class FfmpegCamera {
 public:
  explicit FfmpegCamera(int port) : port_(port), thread_([this] { run(); }) {}
  ~FfmpegCamera() {
    stop_ = true;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cam.mjpg"; }

 private:
  void run() {
    const std::string listen = "http://127.0.0.1:" + std::to_string(port_) + "/cam.mjpg";
    std::vector<std::string> args = {"ffmpeg",
                                     "-loglevel",
                                     "quiet",
                                     "-nostdin",
                                     "-re",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc=size=640x480:rate=25",
                                     "-f",
                                     "mpjpeg",
                                     "-content_type",
                                     "multipart/x-mixed-replace;boundary=ffmpeg",
                                     "-listen",
                                     "1",
                                     listen};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    while (!stop_) {
      pid_t pid = 0;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (stop_) break;
        if (posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ) != 0) break;
        pid_ = pid;
      }
      int status = 0;
      ::waitpid(pid, &status, 0);
      std::lock_guard<std::mutex> guard(lock_);
      pid_ = 0;
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  const int port_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  pid_t pid_ = 0;  // guarded by lock_
  std::thread thread_;
};

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM).
long statusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Starts the peak-RSS mark afresh (Linux: writing 5 to clear_refs).
void resetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

double percentile(std::vector<std::int32_t> values, double fraction) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const auto index =
      static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

void BM_CameraPipeline(benchmark::State& state) {
  if (!haveFfmpeg()) {
    state.SkipWithError("ffmpeg is not installed");
    return;
  }
  constexpr auto kMeasure = 10s;
  for (auto _ : state) {
    FfmpegCamera first(freePort());
    FfmpegCamera second(freePort());
    std::this_thread::sleep_for(500ms);  // both ffmpegs listening

    std::mutex lock;
    bool measuring = false;            // guarded by lock, as the rest
    std::vector<std::int32_t> delays;  // ms from part end to decoded frame
    int delivered[2] = {0, 0};
    ImageSourceManager::Observers observers;
    const std::string urls[2] = {first.url(), second.url()};
    observers.decoded = [&](const ImageSourceManager::DecodeEvent& event) {
      std::lock_guard<std::mutex> guard(lock);
      const int camera = event.source->url() == urls[0] ? 0 : 1;
      ++delivered[camera];
      if (measuring && event.width > 0) {
        delays.push_back(vistel::elapsedMs(event.decodedAtMs, event.timestamp));
      }
    };

    const long baselineKiB = statusKiB("VmRSS");
    resetPeakRss();
    vistel::ImageSourceManager manager(
        vistel::defaultThreadStarter(), vistel::ImageSourceManager::kDefaultEncodedLimitKiB,
        vistel::ImageSourceManager::kDefaultDecodedLimitKiB,
        vistel::ImageSourceManager::kDefaultReaderCount, vistel::streamReaderFactory(), observers);
    vistel::SourceRequest* requests[2] = {manager.acquire(urls[0]), manager.acquire(urls[1])};
    for (auto* request : requests) manager.setFps(request, static_cast<float>(state.range(0)));

    // Both streams running (each may need a reconnect while its ffmpeg restarts).
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(lock);
        if (delivered[0] >= 5 && delivered[1] >= 5) {
          measuring = true;
          delivered[0] = delivered[1] = 0;
          break;
        }
      }
      if (std::chrono::steady_clock::now() > deadline) {
        state.SkipWithError("the cameras delivered no pictures");
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    const double cpuBefore = cpuSeconds();
    std::this_thread::sleep_for(kMeasure);
    const double cpu = cpuSeconds() - cpuBefore;
    std::vector<std::int32_t> measured;
    int pictures = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      measuring = false;
      measured = delays;
      pictures = delivered[0] + delivered[1];
    }
    const long peakKiB = statusKiB("VmHWM");
    for (auto* request : requests) manager.release(request);

    state.counters["pictures"] = pictures;
    state.counters["pictures_per_s"] = pictures / std::chrono::duration<double>(kMeasure).count();
    state.counters["cpu_ms_per_picture"] = pictures ? cpu * 1000.0 / pictures : -1;
    state.counters["delay_median_ms"] = percentile(measured, 0.5);
    state.counters["delay_p95_ms"] = percentile(measured, 0.95);
    state.counters["delay_max_ms"] =
        measured.empty() ? -1 : *std::max_element(measured.begin(), measured.end());
    state.counters["peak_rss_MiB"] = peakKiB / 1024.0;
    state.counters["baseline_rss_MiB"] = baselineKiB / 1024.0;
    // Budgets (2 + 4 MiB) plus a fixed 16 MiB over what the process held before.
    state.counters["rss_limit_MiB"] = (baselineKiB / 1024.0) + 6 + 16;
    state.counters["rss_within_limit"] = (peakKiB / 1024.0) <= (baselineKiB / 1024.0) + 6 + 16;
  }
}
// The argument is the views' frame rate: the cameras' own 25, and -1 (every
// picture). The readers pace by a schedule of one picture per 1000 / fps ms,
// so at exactly the camera's rate every picture is taken.
BENCHMARK(BM_CameraPipeline)
    ->Arg(25)
    ->Arg(-1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
