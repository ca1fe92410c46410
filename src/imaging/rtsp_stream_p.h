#pragma once

// One RTSP connection through FFmpeg's libraries: libavformat speaks RTSP and
// depacketises RTP (Basic and Digest authentication with the address's user
// information), libavcodec decodes H.264, H.265 or JPEG pictures, libswscale
// converts a picture straight into the picture layout (jpeg_codec.h). Nothing
// of ours parses the camera's bytes.
//
// Low delay: the demuxer does not buffer for probing (no stream-info pass; the
// picture size comes with the first decoded picture), the decoder reorders
// only as far as the stream's own description needs, and every packet is
// decoded as it arrives.
//
// Every blocking call is bounded: by the silence limit (no decoded picture for
// that long ends the connection as "silent"), by a connect time-out, and by
// stop() from another thread. After a decoding error, a packet the
// depacketiser marked as damaged, or at the start, pictures are decoded (later
// pictures need them) but not offered until a key picture decodes cleanly, so
// a damaged stream never shows garbage beyond its next key picture.
//
// libav's own log is silenced for the whole process the first time a stream
// is made: it would print addresses with their passwords.
//
// Thread-safety: one thread uses a stream (open, nextPicture, convert,
// close); stop() and setSilenceLimit() may be called from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/source_health.h"

namespace vistel::detail {

// How a connection ended or failed.
enum class RtspResult : std::int32_t {
  Ok = 0,
  BadAddress,        // not an RTSP address the connection can use
  NotReachable,      // refused, unknown host, or no connection within the time-out
  NotFound,          // 404: no such stream
  PasswordRefused,   // 401: credentials missing or wrong
  ErrorStatus,       // another error status from the camera
  NotACamera,        // the peer does not speak RTSP, or its stream description is unusable
  NoVideo,           // the stream has no video at all
  UnsupportedCodec,  // video, but not H.264, H.265 or JPEG
  Silent,            // no answer, or no picture, within the silence limit
  ConnectionLost,    // the connection ended or broke
  Stopped,           // stop() was called
};

// A short lower-case name for logs of tests and tools ("not reachable", ...).
[[nodiscard]] const char* rtspResultName(RtspResult result);

// The failure every camera's health names for a connection that ended with
// `result` (BadAddress and NotReachable: not reachable). None for Ok and Stopped.
[[nodiscard]] SourceFailure sourceFailureOf(RtspResult result);

// What the stream turned out to be.
struct RtspStreamInfo {
  std::string codec;    // libav's codec name ("h264", "hevc", "mjpeg", "vp8", ...); empty before
  std::string profile;  // "High", "Main", "Constrained Baseline", ...; empty when unknown
  RtspTransport transport = RtspTransport::Tcp;
  int httpStatus = 0;  // the error status behind NotFound, PasswordRefused and ErrorStatus;
                       // 0 when there was none or its number is unknown
};

struct RtspOptions {
  // Connect and per-read limit of the connection's socket.
  std::uint32_t connectTimeoutMs = 10000;
  // Decoder threads (1: none of its own) and whether they split a picture
  // (slices) or take whole pictures in turn (frames, which delays each picture
  // by a picture per extra thread).
  int decoderThreads = 1;
  bool frameThreads = false;
};

// One decoded picture as the decoder gave it, before conversion.
struct RtspPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool keyPicture = false;
  std::uint32_t receivedMs = 0;  // clock when the packet that completed it was read
};

class RtspStream {
 public:
  RtspStream();
  ~RtspStream();
  RtspStream(const RtspStream&) = delete;
  RtspStream& operator=(const RtspStream&) = delete;

  // Connects to `address`, asks for its stream and sets up the decoder.
  // Blocks until then, at most about the silence limit. Ok, or why not; info()
  // tells what was learnt either way. A stream that was open is closed first.
  [[nodiscard]] RtspResult open(const RtspAddress& address, const RtspOptions& options = {});

  // Opens a recorded stream (a file libavformat reads) and sets up its decoder
  // as for a camera, for benchmarks that compare decoding with other
  // decoders of the same recording. nextPicture() and convert() work as for
  // a camera; no silence limit applies.
  [[nodiscard]] RtspResult openRecording(const std::string& path, const RtspOptions& options = {});

  // Reads and decodes until the next picture fit to show (see above). Ok with
  // picture() describing it, or why the stream ended (the stream stays open
  // for close()).
  [[nodiscard]] RtspResult nextPicture();

  // The picture nextPicture() last reported.
  const RtspPicture& picture() const { return picture_; }

  // Converts the picture nextPicture() last reported into the picture
  // layout: width * (height + 1) * 4 + 4 bytes, blue, green, red, 0, the spare
  // row and bytes zero. Empty when there is none or conversion fails.
  [[nodiscard]] DecodedPicture convert();

  const RtspStreamInfo& info() const { return info_; }

  // Ends the connection and frees the decoder. Safe when nothing is open.
  void close();

  // Makes a running or later open() or nextPicture() return Stopped within
  // about 100 ms, for good. Any thread.
  void stop();

  // Makes a running open() or nextPicture() return Stopped within about
  // 100 ms, and every later one until clearCancel(): a reader moving to
  // another camera ends the current one this way. Any thread.
  void cancel();
  // Lets open() work again after cancel(). Owner thread.
  void clearCancel();

  // No decoded picture for this long ends the connection as silent (also
  // while connecting: no answer for this long). Any thread; applies from the
  // next check on.
  void setSilenceLimit(std::uint32_t ms);

  // libav's interrupt callback: true when a blocking call is to give up.
  bool interrupted();

 private:
  struct Libav;
  // How the demuxer hands over H.264: one RTP packet's piece at a time (a
  // camera), or whole pictures (a recording).
  enum class Delivery { RtpPieces, WholePictures };
  RtspResult setUpDecoder(std::unique_ptr<Libav> av, const RtspOptions& options, Delivery delivery);

  std::unique_ptr<Libav> av_;
  RtspStreamInfo info_;
  RtspPicture picture_;
  bool waitForKey_ = true;  // owner thread

  // True when stop() or cancel() asks blocking calls to end.
  bool halted() const;

  std::atomic<bool> stop_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<std::uint32_t> silenceLimitMs_{10000};
  // When the silence limit began to count: the last picture, or the open.
  std::atomic<std::uint32_t> lastLifeSign_{0};
  // Set by the interrupt callback when the silence limit (not stop) ended a call.
  std::atomic<bool> silenced_{false};
};

}  // namespace vistel::detail
