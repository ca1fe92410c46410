// test-labels: threads
// What a view says about its camera, through the real engine: why there is no
// picture, in the placeholder's place, and the age of a stale picture over it.
#include <gtest/gtest.h>

#include <cctype>
#include <mutex>
#include <string>
#include <vector>

#include "support/engine_harness.h"
#include "support/scene_project.h"
#include "support/test_jpeg.h"
#include "vistel/host/placeholder_picture.h"
#include "vistel/imaging/image_source.h"
#include "vistel/scene/caption.h"
#include "vistel/scene/frame_drawing.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/warp_raster.h"

namespace vistel {
namespace {

constexpr std::int32_t kWidth = 320;
constexpr std::int32_t kHeight = 180;

// A camera the test drives: it never touches the network; the test says when
// it has a picture or why it failed, as the stream reader would record it.
class ScriptedCamera final : public SourceReader {
 public:
  std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view, std::size_t,
                     std::int32_t) override {
    std::lock_guard<std::mutex> guard(lock_);
    owner_ = std::move(owner);
    state_ = StreamReader::StateFetching;
    return StreamReader::Started;
  }
  void setFrameRate(std::int32_t, float) override {}
  std::int32_t pollState() override {
    std::lock_guard<std::mutex> guard(lock_);
    const std::int32_t state = state_;
    if (state == StreamReader::StateFailed) state_ = StreamReader::StateFetching;  // reconnects
    return state;
  }
  bool takeFrame(std::vector<std::uint8_t>& out) override {
    std::lock_guard<std::mutex> guard(lock_);
    out.swap(slot_);
    slot_.clear();
    state_ = StreamReader::StateFetching;
    return !out.empty();
  }
  std::shared_ptr<ImageSource> owner() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return owner_;
  }
  std::uint32_t lastPartTime() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return partTime_;
  }

  // False until the manager gave the camera its source.
  bool fail(SourceFailure why, int status) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!owner_) return false;
    owner_->health().recordFailure(nowMs(), why, status);
    state_ = StreamReader::StateFailed;
    return true;
  }
  bool deliver(const std::string& jpeg, std::uint32_t partTime) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!owner_) return false;
    owner_->health().recordPicture();
    slot_.assign(jpeg.begin(), jpeg.end());
    partTime_ = partTime;
    state_ = StreamReader::StateReady;
    return true;
  }

 private:
  mutable std::mutex lock_;
  std::shared_ptr<ImageSource> owner_;
  std::int32_t state_ = StreamReader::StateIdle;
  std::vector<std::uint8_t> slot_;
  std::uint32_t partTime_ = 0;
};

struct CaptionHarness {
  ManualClock processClock{50000};  // the pictures' time base
  ScopedClock installed{processClock};
  ManualClock engineClock{1000};
  test::PassGate gate;
  test::FrameLog frames;
  ScriptedCamera* camera = nullptr;  // owned by the engine's source manager
  std::unique_ptr<ViewerEngine> engine;

  CaptionHarness() {
    EngineEnvironment environment{&engineClock, gate.sleeper(), {}};
    environment.readerFactory = [this](const ThreadStarter&) -> std::unique_ptr<SourceReader> {
      if (camera) return nullptr;  // one camera for the one view
      auto made = std::make_unique<ScriptedCamera>();
      camera = made.get();
      return made;
    };
    engine = ViewerEngine::create(&frames, defaultThreadStarter(), &test::FrameLog::sink,
                                  std::move(environment));
    gate.run(0);
    const auto placeholder = placeholderPicture();
    engine->setPlaceholder(placeholder.data(), kPlaceholderWidth, kPlaceholderHeight);
    engine->postEvent(kEventShow, 1, 0);
    engine->postEvent(kEventSize, kWidth, kHeight);
  }
  ~CaptionHarness() {
    gate.open();
    engine.reset();
  }

  // Passes until `done` holds (the loader thread works on its own), at most 200.
  template <class Done>
  bool runUntil(Done done) {
    for (int i = 0; i < 200; ++i) {
      gate.run();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
};

// The frame a single view without a picture shows with `caption` in the
// middle: the warp core's rendering of the blank frame with the caption.
std::vector<std::uint32_t> captionedBlank(const std::string& caption) {
  const std::int32_t width = captionBoxWidth(caption);
  const auto rgb = captionPicture(caption, width, kCaptionHeight);
  const RgbPicture picture{rgb.data(), width, kCaptionHeight};
  const auto blank = makeBlankFrame(kWidth, kHeight, &picture);
  const auto map = buildMap("none", kWidth, kHeight, nullptr);
  std::vector<std::uint32_t> frame(std::size_t(kWidth) * kHeight, 0);
  WarpGrid grid;
  EXPECT_TRUE(renderSingleViewPixels(
      {frame.data(), kWidth, kHeight}, grid,
      {{reinterpret_cast<const std::uint8_t*>(blank.data()), kWidth, kHeight}, map.get()}));
  return frame;
}

std::string singleView(const std::string& fps) {
  return "<quilo startview='a'><view id='a' src='http://cam/a.mjpg' lens='none' fps='" + fps +
         "'/></quilo>";
}

TEST(ViewCaptions, FailedCameraSaysWhyInThePlaceholdersPlace) {
  const std::pair<SourceFailure, int> failures[] = {{SourceFailure::NotReachable, 0},
                                                    {SourceFailure::NotFound, 404},
                                                    {SourceFailure::PasswordRefused, 401},
                                                    {SourceFailure::NotACamera, 200},
                                                    {SourceFailure::Silent, 200},
                                                    {SourceFailure::UnsupportedCodec, 0},
                                                    {SourceFailure::NotRtsp, 0}};
  CaptionHarness h;
  const std::string xml = singleView("10");
  ASSERT_TRUE(h.engine->loadProject(xml.data(), xml.size()));
  ASSERT_TRUE(h.runUntil([&] { return h.camera->owner() != nullptr; }));
  for (const auto& [why, status] : failures) {
    ASSERT_TRUE(h.camera->fail(why, status));
    std::string expected = failureText(why, status);
    for (char& c : expected) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(h.runUntil([&] { return h.frames.last() == captionedBlank(expected); }))
        << expected;
  }
}

TEST(ViewCaptions, StalePictureShowsItsAgeOverIt) {
  CaptionHarness h;
  const std::string xml = singleView("0.2");  // four intervals: 20 s
  ASSERT_TRUE(h.engine->loadProject(xml.data(), xml.size()));
  ASSERT_TRUE(h.runUntil([&] { return h.camera->owner() != nullptr; }));
  const std::string jpeg =
      test::encodeTestJpeg(test::cornerScene(kWidth, kHeight), kWidth, kHeight);
  ASSERT_TRUE(h.camera->deliver(jpeg, h.processClock.nowMs()));
  std::vector<std::uint32_t> fresh;
  ASSERT_TRUE(h.runUntil([&] {
    fresh = h.frames.last();
    // The picture's grey, not the blank frame's black.
    return !fresh.empty() && fresh[std::size_t(kHeight / 4) * kWidth + kWidth / 2] != 0;
  }));

  // Just under the limit: as it is.
  h.processClock.advance(20000);
  h.gate.run(2);
  EXPECT_EQ(h.frames.last(), fresh);
  // Over it: the age over the middle of the picture, updated as it grows,
  // and with the reason once the camera is known to fail.
  auto captioned = [&](const std::string& text) {
    std::vector<std::uint32_t> expected = fresh;
    drawCaption({expected.data(), kWidth, kHeight}, text, kWidth / 2, kHeight / 2);
    return expected;
  };
  h.processClock.advance(1000);
  h.gate.run();
  EXPECT_EQ(h.frames.last(), captioned("PICTURE 21 S OLD"));
  h.processClock.advance(100000);
  ASSERT_TRUE(h.camera->fail(SourceFailure::Silent, 0));
  EXPECT_TRUE(
      h.runUntil([&] { return h.frames.last() == captioned("PICTURE 2 MIN OLD: CAMERA SILENT"); }));
  // A new picture: nothing to say any more.
  ASSERT_TRUE(h.camera->deliver(jpeg, h.processClock.nowMs()));
  EXPECT_TRUE(h.runUntil([&] { return h.frames.last() == fresh; }));

  // A view that asks for one picture only never calls it stale.
  const std::string once = singleView("0");
  ASSERT_TRUE(h.engine->loadProject(once.data(), once.size()));
  h.processClock.advance(3600000);
  h.gate.run(2);
  EXPECT_EQ(h.frames.last(), fresh);
}

}  // namespace
}  // namespace vistel
