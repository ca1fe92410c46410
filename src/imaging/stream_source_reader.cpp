#include "vistel/imaging/stream_source_reader.h"

#include <utility>

namespace vistel {

StreamSourceReader::StreamSourceReader(const ThreadStarter& starter,
                                       std::uint32_t watchdogTimeoutMs)
    : reader_(starter, watchdogTimeoutMs) {}

std::int32_t StreamSourceReader::start(std::shared_ptr<ImageSource> owner, std::string_view url,
                                       std::size_t initialBufferSize, std::int32_t mode) {
  return reader_.start(std::move(owner), url, initialBufferSize, mode);
}

void StreamSourceReader::setFrameRate(std::int32_t selector, float value) {
  reader_.setFrameRate(selector, value);
}

std::int32_t StreamSourceReader::pollState() { return reader_.pollState(); }

bool StreamSourceReader::takeFrame(std::vector<std::uint8_t>& out) {
  return reader_.takeFrame(out);
}

std::shared_ptr<ImageSource> StreamSourceReader::owner() const { return reader_.owner(); }

std::uint32_t StreamSourceReader::lastPartTime() const { return reader_.lastPartTime(); }

SourceReaderFactory streamReaderFactory(std::uint32_t watchdogTimeoutMs) {
  return [watchdogTimeoutMs](const ThreadStarter& starter) -> std::unique_ptr<SourceReader> {
    return std::make_unique<StreamSourceReader>(starter, watchdogTimeoutMs);
  };
}

void StreamSourceReader::shutdown() { reader_.shutdown(); }

void StreamSourceReader::setWakeUp(std::function<void()> wakeUp) {
  reader_.setWakeUp(std::move(wakeUp));
}

}  // namespace vistel
