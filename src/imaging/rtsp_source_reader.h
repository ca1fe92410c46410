#pragma once

// The image source manager's reader for RTSP cameras: one connection at a
// time (rtsp_stream_p.h) on a thread of its own, every picture decoded, the
// pictures a view asks for converted into the picture layout and handed over
// as decoded frames (no JPEG step), through the same one-slot hand-over as the
// HTTP readers: a picture not taken yet is replaced by the next one.
//
// It shares the HTTP readers' behaviour through the source's SourceHealth and
// the frame pacer: each failed attempt is recorded with its reason (not
// reachable, not found, password refused, unsupported codec, silent, ...) and
// the next waits for the camera's backoff; a connection that brings no picture
// for the silence limit of the wanted rate is ended; ready marks follow the
// schedule of the wanted rate. A camera is a stream for good: the reader
// connects again after every failure, without limit.
//
// Thread-safety: as SourceReader: start, setFrameRate, pollState, takeFrame,
// takePicture and the accessors are called by one owner thread (the manager's
// loader thread); the reader's fetch thread runs concurrently. shutdown() and
// setWakeUp() may be called from any thread.

#include <cstdint>
#include <memory>

#include "vistel/imaging/source_reader.h"

namespace vistel {

class RtspSourceReader final : public SourceReader {
 public:
  // Starts the fetch thread through `starter`; `decoderThreads` as for the
  // connection (1: the decoder runs on the fetch thread alone).
  explicit RtspSourceReader(const ThreadStarter& starter, int decoderThreads = 1);
  // Ends the connection and joins the fetch thread (within about 100 ms).
  ~RtspSourceReader() override;
  RtspSourceReader(const RtspSourceReader&) = delete;
  RtspSourceReader& operator=(const RtspSourceReader&) = delete;

  // Begins reading the camera at `url` (an rtsp:// address) for `owner`,
  // whose health it records and whose backoff it waits for; ends the
  // connection to the previous camera. `initialBufferSize` and `mode` do not
  // apply (an RTSP camera is always a stream). Returns Started, or
  // CouldNotStart without a fetch thread, for a null owner or after shutdown().
  [[nodiscard]] std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                   std::size_t initialBufferSize, std::int32_t mode) override;
  void setFrameRate(std::int32_t selector, float value) override;
  // StateIdle before the first start, StateFetching while connecting or
  // between pictures, StateReady while a picture waits, StateFailed from a
  // failure until the next attempt begins; StateEnded after shutdown().
  [[nodiscard]] std::int32_t pollState() override;
  // Always false: the pictures come decoded (takePicture).
  [[nodiscard]] bool takeFrame(std::vector<std::uint8_t>& out) override;
  [[nodiscard]] bool takePicture(FrameRef& out) override;
  std::shared_ptr<ImageSource> owner() const override;
  std::uint32_t lastPartTime() const override;
  void shutdown() override;
  void setWakeUp(std::function<void()> wakeUp) override;

  // Connections opened since construction (attempts, whatever their end). Any thread.
  std::int32_t connections() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// How many RTSP readers a manager runs at most: one per camera in use, so an
// RTSP camera never waits for a reader, within a bound for the process.
inline constexpr std::int32_t kMaxRtspReaders = 16;

// One RtspSourceReader per call.
[[nodiscard]] SourceReaderFactory rtspReaderFactory(int decoderThreads = 1);

}  // namespace vistel
