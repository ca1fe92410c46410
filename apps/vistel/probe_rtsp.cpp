// `vistel probe rtsp://...`: the RTSP camera is read with the viewer's own
// connection and decoder, every picture decoded and the pictures paced by
// --fps as a view paces them; the JSON has the MJPEG probe's fields plus what
// an RTSP camera adds (codec, profile, transport, the first picture's delay).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "commands.h"
#include "vistel/imaging/frame_pacer.h"
#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/rtsp_stream_p.h"
#include "vistel/imaging/source_health.h"
#include "vistel/platform/clock.h"

namespace vistel::cli {

namespace {

using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                  std::int64_t, std::uint64_t, float>;
using detail::RtspResult;

constexpr std::int64_t kProgressEveryMs = 1000;
// The words a view's placeholder uses for why a camera gives no pictures.
std::string reasonText(RtspResult result, const detail::RtspStreamInfo& info) {
  if (result == RtspResult::Stopped) return "no picture in time";
  return failureText(detail::sourceFailureOf(result), info.httpStatus);
}

}  // namespace

int probeRtsp(const std::string& url, std::int64_t frames, float fps, std::int64_t timeoutMs,
              Io io) {
  RtspAddress address;
  if (!parseRtspAddress(url, address))
    return usageError(io, "probe", "not a usable rtsp:// address");

  detail::RtspStream stream;
  stream.setSilenceLimit(silenceLimitMs(fps));
  std::atomic<std::int64_t> shown{0};
  // Ends the stream at the time limit and reports progress meanwhile, while
  // the main thread waits in the stream.
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;  // guarded by lock
  const std::uint32_t began = nowMs();
  std::thread watch([&] {
    std::unique_lock<std::mutex> guard(lock);
    std::int64_t nextProgress = kProgressEveryMs;
    for (;;) {
      const std::int64_t waited = elapsedMs(nowMs(), began);
      if (waited >= timeoutMs) break;
      const std::int64_t until = std::min(timeoutMs, nextProgress);
      if (finished.wait_for(guard,
                            std::chrono::milliseconds(std::max<std::int64_t>(until - waited, 1)),
                            [&] { return done; })) {
        return;
      }
      if (nextProgress < timeoutMs && elapsedMs(nowMs(), began) >= nextProgress) {
        io.err << "vistel probe: " << shown.load() << " of " << frames << " pictures after "
               << nextProgress / 1000 << " s\n";
        io.err.flush();
        nextProgress += kProgressEveryMs;
      }
    }
    stream.stop();
  });

  detail::FramePacer pacer;
  pacer.restart(began);
  std::int32_t width = 0, height = 0;
  std::uint32_t firstTimestamp = 0, lastTimestamp = 0;
  std::int64_t firstPictureMs = -1;
  RtspResult result = stream.open(address);
  if (result == RtspResult::Ok) {
    while (shown.load() < frames && (result = stream.nextPicture()) == RtspResult::Ok) {
      const detail::RtspPicture& picture = stream.picture();
      if (firstPictureMs < 0) firstPictureMs = elapsedMs(nowMs(), began);
      if (!pacer.partStored(picture.receivedMs, fps)) continue;
      // Converted as a view's picture is, so a picture that cannot be shown is no picture.
      const DecodedPicture converted = stream.convert();
      if (!converted.pixels) continue;
      width = converted.width;
      height = converted.height;
      if (shown.load() == 0) firstTimestamp = picture.receivedMs;
      lastTimestamp = picture.receivedMs;
      shown.fetch_add(1);
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    done = true;
  }
  finished.notify_all();
  watch.join();

  const std::int64_t count = shown.load();
  const std::uint32_t span = lastTimestamp - firstTimestamp;
  const float measured = count >= 2 && span > 0
                             ? static_cast<float>(count - 1) * 1000.0f / static_cast<float>(span)
                             : 0.0f;
  const detail::RtspStreamInfo& info = stream.info();
  Json out;
  out["url"] = maskCredentials(url);
  out["mode"] = count > 0 ? "stream" : "failed";
  out["codec"] = info.codec.empty() ? Json() : Json(info.codec);
  out["profile"] = info.profile.empty() ? Json() : Json(info.profile);
  out["transport"] = rtspTransportName(address.transport);
  out["frames"] = count;
  out["width"] = width;
  out["height"] = height;
  out["fps"] = measured;
  out["firstPictureMs"] = firstPictureMs < 0 ? Json() : Json(firstPictureMs);
  if (count == 0) {
    out["status"] = info.httpStatus != 0 ? Json(info.httpStatus) : Json();
    out["reason"] = reasonText(result, info);
  }
  io.out << out.dump(-1, ' ', false, nlohmann::detail::error_handler_t::replace) << "\n";
  return count > 0 ? kExitOk : kExitFailure;
}

}  // namespace vistel::cli
