// RTSP cameras' decoding: processor time per picture of the viewer's H.264
// and H.265 decoding (libavcodec set up as for a camera, over a recording of
// the stream) beside the ffmpeg command's own decode of the same recording
// with the same decoder threads, and the conversion of a picture into the
// picture layout.
//
// The recordings (10 s of ffmpeg's testsrc2 pattern at 25 pictures a second,
// a key picture every 2 s, no B-pictures, encoded with libx264 / libx265
// "veryfast") are made once with ffmpeg into the system's temporary folder.
//
// Counters: cpu_ms_per_picture (ours: processor time of every thread of the
// process while decoding), ffmpeg_cpu_ms_per_picture (user + system time of
// `ffmpeg -benchmark ... -f null -` over the same pictures, its start-up
// included), ratio (ours over ffmpeg's; the target is at most 1.2), and
// wall_ms_per_picture.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "vistel/imaging/rtsp_stream_p.h"

namespace {

using vistel::detail::RtspOptions;
using vistel::detail::RtspResult;
using vistel::detail::RtspStream;

constexpr int kSeconds = 10;
constexpr int kRate = 25;

double processCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double wallMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The recording for `encoder` at `height` lines (16:9), made on first use;
// empty when ffmpeg cannot make it.
std::string recording(const std::string& encoder, int height) {
  const int width = height * 16 / 9;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vistel-bench-rtsp";
  std::filesystem::create_directories(dir);
  const std::filesystem::path path =
      dir / (encoder + "-" + std::to_string(width) + "x" + std::to_string(height) + ".mkv");
  if (std::filesystem::exists(path)) return path.string();
  const std::string params =
      encoder == "libx265" ? " -x265-params log-level=none:bframes=0" : " -bf 0";
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
      std::to_string(height) + ":rate=" + std::to_string(kRate) + " -t " +
      std::to_string(kSeconds) + " -pix_fmt yuv420p -c:v " + encoder + " -preset veryfast -g 50" +
      params + " -f matroska '" + path.string() + ".part' && mv '" + path.string() + ".part' '" +
      path.string() + "'";
  if (std::system(command.c_str()) != 0) return {};
  return path.string();
}

// ffmpeg's processor time per picture decoding `path` with `threads` decoder
// threads of `threadType` ("slice" or "frame"), or a negative value.
double ffmpegCpuMsPerPicture(const std::string& path, int threads, const char* threadType) {
  static std::map<std::string, double> cache;
  const std::string key = path + "/" + std::to_string(threads) + threadType;
  if (const auto it = cache.find(key); it != cache.end()) return it->second;
  const std::string command = "ffmpeg -nostdin -hide_banner -benchmark -threads " +
                              std::to_string(threads) + " -thread_type " + threadType + " -i '" +
                              path + "' -f null - 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return -1;
  double user = -1, system = -1;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    // "bench: utime=0.532s stime=0.012s rtime=0.560s"
    std::sscanf(line, "bench: utime=%lfs stime=%lfs", &user, &system);
  }
  ::pclose(pipe);
  const double result = user < 0 ? -1 : (user + system) * 1000.0 / (kSeconds * kRate);
  cache[key] = result;
  return result;
}

// Args: 0 H.264 / 1 H.265, height, decoder threads, 1 for frame threads.
void BM_RtspDecode(benchmark::State& state) {
  const std::string encoder = state.range(0) == 0 ? "libx264" : "libx265";
  const std::string path = recording(encoder, static_cast<int>(state.range(1)));
  if (path.empty()) {
    state.SkipWithError("ffmpeg could not make the recording");
    return;
  }
  RtspOptions options;
  options.decoderThreads = static_cast<int>(state.range(2));
  options.frameThreads = state.range(3) != 0;
  double cpu = 0, wall = 0;
  std::int64_t pictures = 0;
  for (auto _ : state) {
    RtspStream stream;
    if (stream.openRecording(path, options) != RtspResult::Ok) {
      state.SkipWithError("cannot open the recording");
      return;
    }
    const double cpu0 = processCpuMs(), wall0 = wallMs();
    while (stream.nextPicture() == RtspResult::Ok) ++pictures;
    cpu += processCpuMs() - cpu0;
    wall += wallMs() - wall0;
    state.SetIterationTime((wallMs() - wall0) / 1000.0);
  }
  if (pictures == 0) {
    state.SkipWithError("no picture decoded");
    return;
  }
  const double ours = cpu / static_cast<double>(pictures);
  const double theirs =
      ffmpegCpuMsPerPicture(path, options.decoderThreads, options.frameThreads ? "frame" : "slice");
  state.counters["pictures"] =
      static_cast<double>(pictures) / static_cast<double>(state.iterations());
  state.counters["cpu_ms_per_picture"] = ours;
  state.counters["wall_ms_per_picture"] = wall / static_cast<double>(pictures);
  state.counters["ffmpeg_cpu_ms_per_picture"] = theirs;
  if (theirs > 0) state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_RtspDecode)
    ->ArgNames({"h265", "height", "threads", "frame"})
    ->Args({0, 720, 1, 0})
    ->Args({0, 1080, 1, 0})
    ->Args({1, 720, 1, 0})
    ->Args({1, 1080, 1, 0})
    ->Args({0, 1080, 2, 0})
    ->Args({0, 1080, 2, 1})
    ->Args({1, 1080, 2, 0})
    ->Args({1, 1080, 2, 1})
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Converting one decoded 1280x720 / 1920x1080 H.264 picture into the picture layout.
void BM_RtspConvert(benchmark::State& state) {
  const std::string path = recording("libx264", static_cast<int>(state.range(0)));
  RtspStream stream;
  if (path.empty() || stream.openRecording(path) != RtspResult::Ok ||
      stream.nextPicture() != RtspResult::Ok) {
    state.SkipWithError("no recording");
    return;
  }
  for (auto _ : state) {
    auto picture = stream.convert();
    benchmark::DoNotOptimize(picture.pixels.get());
  }
}
BENCHMARK(BM_RtspConvert)->ArgName("height")->Arg(720)->Arg(1080)->Unit(benchmark::kMillisecond);

}  // namespace
