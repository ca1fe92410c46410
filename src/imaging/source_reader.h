#pragma once

// What the image source manager needs of a network picture reader. The
// manager's pool is built through a SourceReaderFactory; the real one wraps
// StreamReader (streamReaderFactory() in stream_source_reader.h), tests supply
// scripted readers.
//
// Thread-safety: as StreamReader: start, setFrameRate, pollState, takeFrame and
// the accessors are called by the manager's loader thread only; the reader's
// own threads run concurrently with them. shutdown() may come from any thread.
// The reader is destroyed on the thread that destroys the manager, after the
// loader thread has ended.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "vistel/imaging/frame.h"
#include "vistel/imaging/source_reader_factory.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/thread.h"

namespace vistel {

class ImageSource;

class SourceReader {
 public:
  virtual ~SourceReader() = default;

  // Starts fetching `url` for `owner`, which the reader keeps alive while it
  // may deliver to it. mode: StreamReader::ModeProbe, ModeSingle or ModeStream.
  // Returns a StreamReader::StartResult.
  [[nodiscard]] virtual std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                           std::size_t initialBufferSize, std::int32_t mode) = 0;
  // selector StreamReader::kFrameRateSelector: pictures per second wanted.
  virtual void setFrameRate(std::int32_t selector, float value) = 0;
  // A StreamReader::State; ready and failed are consumed unless streaming.
  [[nodiscard]] virtual std::int32_t pollState() = 0;
  // Moves the latest picture's JPEG bytes into `out`; false when there is none.
  [[nodiscard]] virtual bool takeFrame(std::vector<std::uint8_t>& out) = 0;
  // Readers that decode their pictures themselves (RTSP cameras): moves the
  // latest picture, already in the picture layout, into `out`; false (and
  // `out` empty) when there is none. Such a reader's takeFrame finds nothing.
  [[nodiscard]] virtual bool takePicture(FrameRef& out) {
    out.reset();
    return false;
  }
  // The source being fetched, or null before the first start.
  virtual std::shared_ptr<ImageSource> owner() const = 0;
  // Clock time at the end of the latest picture: its timestamp.
  virtual std::uint32_t lastPartTime() const = 0;
  // Ends every connection attempt and read at once, so the owner can join its
  // threads promptly. Any thread; start() fails afterwards. Readers that never
  // block need nothing.
  virtual void shutdown() {}
  // `wakeUp` is called (on any thread, with no lock of the reader held) when
  // the reader has something for the next poll, so that the poll need not
  // wait for its period. Readers that only change when polled need nothing.
  virtual void setWakeUp(std::function<void()> wakeUp) { (void)wakeUp; }
};

}  // namespace vistel
