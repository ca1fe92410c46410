// `vistel probe`: lets an installer check a camera address the way the viewer
// will use it, through the image source manager and its stream reader, before
// the address goes into a project.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/stream_source_reader.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/http_session.h"

namespace vistel::cli {

const char* const kProbeHelp =
    "usage: vistel probe URL [--frames N] [--fps F] [--timeout-ms T]\n"
    "\n"
    "Fetches pictures from URL (http://... or file://...) the way a view does and\n"
    "prints one JSON object: url (credentials masked), mode (single, stream or\n"
    "failed), status (the HTTP status of the camera's last answer; null without\n"
    "one), reason (why the camera failed last, in the words a view's placeholder\n"
    "uses; null when it did not), contentType and boundary as the server gave them\n"
    "(null for files), frames (pictures decoded), bytes (their JPEG bytes), width,\n"
    "height and fps (pictures per second measured over their timestamps; 0 below\n"
    "two pictures). A camera that sends nothing for 10 s (or four intervals of\n"
    "--fps, when longer) is silent and is connected again, as in a view.\n"
    "For an rtsp:// camera: url, mode (stream or failed), codec, profile,\n"
    "transport (tcp, or udp with ?transport=udp), frames (pictures shown: every\n"
    "picture is decoded, --fps paces them), width, height, fps, firstPictureMs\n"
    "(from the start to the first decoded picture) and, when none came, status\n"
    "and reason.\n"
    "\n"
    "  --frames N       stop after N decoded pictures (default 1)\n"
    "  --fps F          frame rate asked for (default -1: every picture)\n"
    "  --timeout-ms T   give up after T ms (default 15000, beyond the silence limit)\n"
    "\n"
    "A progress line goes to standard error every second while it waits. Exits\n"
    "with 0 when at least one picture was decoded, 1 otherwise, 2 on bad arguments.\n";

namespace {

using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                  std::int64_t, std::uint64_t, float>;

constexpr std::int64_t kMaxFrames = 100000;
constexpr std::int64_t kMaxTimeoutMs = 24 * 3600 * 1000;
constexpr std::uint32_t kProgressEveryMs = 1000;

bool parseRate(const std::string& text, float& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const float value = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(value)) return false;
  out = value;
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isCredentialKey(std::string_view key) {
  std::string name;
  for (char c : key) name += lower(c);
  for (const char* secret :
       {"user", "username", "usr", "login", "pass", "passwd", "password", "pwd", "auth", "token"}) {
    if (name == secret) return true;
  }
  return false;
}

}  // namespace

// Cameras take credentials in the authority ("user:password@") and often in
// the query too; neither may reach a terminal or a log.
std::string maskCredentials(std::string_view url) {
  std::string out(url);
  const std::size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    const std::size_t hostStart = scheme + 3;
    const std::size_t hostEnd = out.find_first_of("/?#", hostStart);
    const std::size_t authority = (hostEnd == std::string::npos ? out.size() : hostEnd);
    const std::size_t at = out.rfind('@', authority == 0 ? 0 : authority - 1);
    if (at != std::string::npos && at >= hostStart && at < authority) {
      const bool hasPassword = out.find(':', hostStart) < at;
      out.replace(hostStart, at - hostStart, hasPassword ? "***:***" : "***");
    }
  }
  const std::size_t query = out.find('?');
  if (query == std::string::npos) return out;
  const std::size_t fragment = out.find('#', query);
  const std::size_t queryEnd = fragment == std::string::npos ? out.size() : fragment;
  std::string masked = out.substr(0, query + 1);
  std::size_t pos = query + 1;
  while (pos <= queryEnd) {
    std::size_t next = out.find('&', pos);
    if (next == std::string::npos || next > queryEnd) next = queryEnd;
    const std::string_view pair(out.data() + pos, next - pos);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos && isCredentialKey(pair.substr(0, equals))) {
      masked.append(pair.substr(0, equals + 1)).append("***");
    } else {
      masked.append(pair);
    }
    if (next < queryEnd) masked += '&';
    pos = next + 1;
  }
  masked.append(out, queryEnd, std::string::npos);
  return masked;
}

int runProbe(const std::vector<std::string>& args, Io io) {
  std::vector<std::string> urls;
  std::int64_t frames = 1;
  std::int64_t timeoutMs = 15000;
  float fps = -1.0f;
  CommandLine line;
  line.option("--frames", "--frames needs a whole number from 1 to 100000",
              [&](const std::string& v) { return parseWholeNumber(v, 1, kMaxFrames, frames); });
  line.option(
      "--timeout-ms", "--timeout-ms needs a whole number of ms from 1 to 86400000",
      [&](const std::string& v) { return parseWholeNumber(v, 1, kMaxTimeoutMs, timeoutMs); });
  line.option("--fps", "--fps needs a finite number",
              [&](const std::string& v) { return parseRate(v, fps); });
  line.words(urls, 1, [](const std::string&) { return "one URL only"; });
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "probe", error);
  if (urls.empty() || urls[0].empty()) return usageError(io, "probe", "missing URL");
  const std::string& url = urls[0];
  if (url[0] == '#') return usageError(io, "probe", "names starting with # are reserved");
  if (isRtspAddress(url)) return probeRtsp(url, frames, fps, timeoutMs, io);

  struct Tally {
    std::mutex lock;
    std::condition_variable changed;
    std::int64_t frames = 0;  // guarded by lock, as the rest
    std::int64_t bytes = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t firstTimestamp = 0;
    std::uint32_t lastTimestamp = 0;
  } tally;
  ImageSourceManager::Observers observers;
  observers.decoded = [&tally](const ImageSourceManager::DecodeEvent& event) {
    if (event.width <= 0) return;  // not a picture
    std::lock_guard<std::mutex> guard(tally.lock);
    if (tally.frames == 0) tally.firstTimestamp = event.timestamp;
    tally.lastTimestamp = event.timestamp;
    ++tally.frames;
    tally.bytes += event.encodedSize;
    tally.width = event.width;
    tally.height = event.height;
    tally.changed.notify_all();
  };
  // One reader: the probe fetches one address, one connection at a time. The
  // pointer stays valid while the manager lives. A camera that never answers
  // cannot hold the command past its time-out: destroying the manager ends
  // every connection attempt at once.
  StreamSourceReader* reader = nullptr;
  SourceReaderFactory factory = [&reader](const ThreadStarter& starter) {
    auto made =
        std::make_unique<StreamSourceReader>(starter, StreamReader::kDefaultWatchdogTimeoutMs);
    reader = made.get();
    return std::unique_ptr<SourceReader>(std::move(made));
  };

  Json result;
  std::int64_t decoded = 0;
  {
    ImageSourceManager manager(defaultThreadStarter(), ImageSourceManager::kDefaultEncodedLimitKiB,
                               ImageSourceManager::kDefaultDecodedLimitKiB, 1, factory, observers);
    SourceRequest* request = manager.acquire(url);
    manager.setFps(request, fps);
    const ImageSource& source = *request->source();
    const std::uint32_t began = nowMs();
    std::uint32_t nextProgress = kProgressEveryMs;
    std::unique_lock<std::mutex> lock(tally.lock);
    for (;;) {
      if (tally.frames >= frames) break;
      const std::int32_t waited = elapsedMs(nowMs(), began);
      if (waited >= timeoutMs) break;
      // The address is no camera (nothing answers, an error status, another
      // content type, silence): waiting longer only repeats that, after the
      // backoff. A camera whose stream dropped after a good probe is waited
      // for; its reader connects again.
      const SourceHealthState health = source.health().state();
      const bool probed =
          reader != nullptr && reader->reader().lastProbe().mode != StreamReader::ModeIdle;
      if (tally.frames == 0 && health.failure != SourceFailure::None && !probed) break;
      if (waited >= static_cast<std::int32_t>(nextProgress)) {
        io.err << "vistel probe: " << tally.frames << " of " << frames << " pictures after "
               << waited / 1000 << " s";
        if (health.failure != SourceFailure::None)
          io.err << " (" << failureText(health.failure, health.httpStatus) << ")";
        io.err << "\n";
        io.err.flush();
        nextProgress += kProgressEveryMs;
      }
      tally.changed.wait_for(lock, std::chrono::milliseconds(50));
    }

    decoded = tally.frames;
    const bool isFile = url.starts_with("file://");
    const StreamReader::ProbeResult probe =
        reader && !isFile ? reader->reader().lastProbe() : StreamReader::ProbeResult{};
    const char* mode = "failed";
    if (isFile) {
      mode = decoded > 0 ? "single" : "failed";
    } else if (probe.mode == StreamReader::ModeSingle) {
      mode = "single";
    } else if (probe.mode == StreamReader::ModeStream) {
      mode = "stream";
    }
    const std::uint32_t span = tally.lastTimestamp - tally.firstTimestamp;
    const float measured = decoded >= 2 && span > 0 ? static_cast<float>(decoded - 1) * 1000.0f /
                                                          static_cast<float>(span)
                                                    : 0.0f;
    const SourceHealthState health = source.health().state();
    const int status = health.httpStatus != 0 ? health.httpStatus : probe.status;
    result["url"] = maskCredentials(url);
    result["mode"] = mode;
    result["status"] = isFile || status == 0 ? Json() : Json(status);
    result["reason"] = health.failure == SourceFailure::None
                           ? Json()
                           : Json(failureText(health.failure, health.httpStatus));
    result["contentType"] = isFile || probe.contentType.empty() ? Json() : Json(probe.contentType);
    result["boundary"] = isFile || probe.boundary.empty() ? Json() : Json(probe.boundary);
    result["frames"] = decoded;
    result["bytes"] = tally.bytes;
    result["width"] = tally.width;
    result["height"] = tally.height;
    result["fps"] = measured;
    lock.unlock();
    manager.release(request);
  }
  io.out << result.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace) << "\n";
  return decoded > 0 ? kExitOk : kExitFailure;
}

}  // namespace vistel::cli
