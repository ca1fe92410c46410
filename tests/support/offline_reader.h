#pragma once

// A reader for image source managers that must never touch the network (the
// tests, the render benchmark and fuzzer): every fetch it is given fails at
// the next poll, so the manager's loader thread, which reads file:// pictures
// whenever a reader is idle, keeps reading files. Header-only.
//
// Thread-safety: as SourceReader (the manager's loader thread only).

#include <memory>
#include <utility>

#include "vistel/imaging/source_reader.h"

namespace vistel::test {

class OfflineReader final : public SourceReader {
 public:
  std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view, std::size_t,
                     std::int32_t) override {
    owner_ = std::move(owner);
    failing_ = true;
    return StreamReader::Started;
  }
  void setFrameRate(std::int32_t, float) override {}
  std::int32_t pollState() override {
    if (!failing_) return StreamReader::StateIdle;
    failing_ = false;
    return StreamReader::StateFailed;
  }
  bool takeFrame(std::vector<std::uint8_t>&) override { return false; }
  std::shared_ptr<ImageSource> owner() const override { return owner_; }
  std::uint32_t lastPartTime() const override { return 0; }

 private:
  std::shared_ptr<ImageSource> owner_;
  bool failing_ = false;
};

// One offline reader per pool slot.
inline SourceReaderFactory offlineReaderFactory() {
  return [](const ThreadStarter&) { return std::make_unique<OfflineReader>(); };
}

}  // namespace vistel::test
