#pragma once

// The image source manager's readers over the real StreamReader: camera
// pictures fetched over HTTP, probed, streamed and paced by frame rate.
//
// Thread-safety: as SourceReader (loader thread only, destroyed by the
// manager's owner).

#include <cstdint>
#include <memory>

#include "vistel/imaging/source_reader.h"
#include "vistel/imaging/stream_reader.h"

namespace vistel {

class StreamSourceReader final : public SourceReader {
 public:
  // Builds the StreamReader, which starts its threads through `starter`.
  StreamSourceReader(const ThreadStarter& starter, std::uint32_t watchdogTimeoutMs);

  [[nodiscard]] std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                   std::size_t initialBufferSize, std::int32_t mode) override;
  void setFrameRate(std::int32_t selector, float value) override;
  [[nodiscard]] std::int32_t pollState() override;
  [[nodiscard]] bool takeFrame(std::vector<std::uint8_t>& out) override;
  std::shared_ptr<ImageSource> owner() const override;
  std::uint32_t lastPartTime() const override;
  void shutdown() override;
  void setWakeUp(std::function<void()> wakeUp) override;

  // The wrapped reader. Loader thread.
  StreamReader& reader() { return reader_; }

 private:
  StreamReader reader_;
};

// The factory of the manager's default pool: one StreamSourceReader per call.
// `watchdogTimeoutMs` is the readers' hang limit (tests shorten it).
[[nodiscard]] SourceReaderFactory streamReaderFactory(
    std::uint32_t watchdogTimeoutMs = StreamReader::kDefaultWatchdogTimeoutMs);

}  // namespace vistel
