// test-labels: threads
// The engine's event ring, its pass conditions and project loading, with the
// engine thread parked between the passes the tests let run.
#include "vistel/engine/viewer_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/engine_harness.h"
#include "support/scene_project.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;

std::string linkProject(const std::string& srcA = "", const std::string& srcB = "") {
  return "<quilo startview='a'><view id='a' src='" + srcA +
         "'><edge link='l'/></view><view id='b' src='" + srcB +
         "'/><link id='l' from='a' to='b'><key time='0'>" + test::keyText(kImageCornerKey) +
         "</key><key time='1'>" +
         test::keyText({{-0.3f, -0.5f}, {0.5f, -0.4f}, {0.4f, 0.5f}, {-0.4f, 0.3f}}) +
         "</key></link></quilo>";
}

bool load(ViewerEngine& engine, const std::string& xml, std::string_view base = {}) {
  return engine.loadProject(xml.data(), xml.size(), base);
}

TEST(EngineRing, KeepsThirtyOneEventsWhileStalledAndTheNextWaits) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  ASSERT_TRUE(load(engine, linkProject()));
  engine.postEvent(kEventShow, 1, 0);
  for (int i = 0; i < 29; ++i) engine.postEvent(kEventIdle, 0, 0);
  engine.postEvent(kEventSize, 64, 48);  // the 31st

  std::atomic<bool> posted{false};
  std::thread late([&] {
    engine.postEvent(kEventSize, 32, 24);
    posted = true;
  });
  std::this_thread::sleep_for(350ms);
  EXPECT_FALSE(posted.load());
  h.gate.run();  // drains all 31 and renders once
  late.join();
  EXPECT_EQ(h.frames.count(), 1);
  EXPECT_EQ(h.frames.width(), 64);
  h.gate.run();
  EXPECT_EQ(h.frames.width(), 32);
  EXPECT_EQ(h.frames.height(), 24);
}

TEST(EngineRing, PostingNeverWaitsForAThreadThatWillNotDrain) {
  // Every post below would wait for ever if it waited for a full ring to drain.
  test::FrameLog frames;
  const ThreadStarter failing = [](std::function<void()>, std::size_t) { return Thread(); };
  const auto orphan = ViewerEngine::create(&frames, failing, &test::FrameLog::sink,
                                           {nullptr, {}, test::offlineReaderFactory()});
  EXPECT_FALSE(orphan->running());
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(orphan->postEvent(kEventPointerMove, i, i)) << i;

  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  EXPECT_TRUE(engine.postEvent(kEventStop, 0, 0));
  EXPECT_FALSE(engine.postEvent(kEventShow, 1, 0));  // after Stop: never to be read
  h.gate.open();
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (engine.running() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_FALSE(engine.running());
  for (int i = 0; i < 40; ++i) EXPECT_FALSE(engine.postEvent(kEventPointerMove, i, i)) << i;
}

TEST(EngineEvents, SizesOutsideOneTo2047AreIgnored) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  ASSERT_TRUE(load(engine, linkProject()));
  engine.postEvent(kEventShow, 1, 0);
  engine.postEvent(kEventSize, 0, 0);
  engine.postEvent(kEventSize, 2048, 600);
  h.gate.run(2);
  EXPECT_EQ(h.frames.count(), 0);  // never sized
  std::vector<std::uint32_t> pixels;
  std::int32_t width = 0, height = 0;
  EXPECT_FALSE(engine.copyFrame(pixels, width, height));

  engine.postEvent(kEventSize, 2047, 2047);
  engine.postEvent(kEventSize, 2048, 600);
  engine.postEvent(kEventSize, 300, -1);
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 1);
  EXPECT_EQ(h.frames.width(), 2047);
  EXPECT_EQ(h.frames.height(), 2047);
}

TEST(EngineEvents, RendersOnlyWhenShownAndNotSuspended) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  // A placeholder that blank frames show, so that frames with and without it differ.
  const std::vector<std::uint8_t> placeholder(40 * 20 * 3, 200);
  engine.setPlaceholder(placeholder.data(), 40, 20);
  ASSERT_TRUE(load(engine, linkProject()));
  engine.postEvent(kEventSize, 160, 90);
  h.gate.run(2);
  EXPECT_EQ(h.frames.count(), 0);  // loaded and sized, but never shown

  engine.postEvent(kEventShow, 1, 0);
  h.gate.run();
  ASSERT_EQ(h.frames.count(), 1);
  const std::vector<std::uint32_t> shown = h.frames.last();

  // Suspended: nothing renders, and the snapshot shows the last frame although
  // the next render would look different.
  engine.suspend();
  engine.setPlaceholder(nullptr, 0, 0);
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 1);
  std::vector<std::uint32_t> pixels;
  std::int32_t width = 0, height = 0;
  ASSERT_TRUE(engine.copyFrame(pixels, width, height));
  EXPECT_EQ(pixels, shown);
  const auto file = test::scratchDir("engine_snapshot") / "snapshot.jpg";
  ASSERT_TRUE(engine.saveSnapshot(file.c_str()));
  const std::string jpeg = test::readFile(file);
  DecodedPicture decoded;
  ASSERT_EQ(decodeJpeg(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), decoded),
            JpegResult::Ok);
  EXPECT_EQ(decoded.width, 160);
  EXPECT_EQ(decoded.height, 90);
  EXPECT_FALSE(engine.saveSnapshot((file.parent_path() / "missing" / "x.jpg").c_str()));

  engine.suspend();
  engine.resume();  // within one pass: no trace
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 2);
  EXPECT_NE(h.frames.last(), shown);

  engine.postEvent(kEventShow, 0, 0);
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 2);
}

TEST(EngineEvents, NothingIsDrainedAfterStop) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  ASSERT_TRUE(load(engine, linkProject()));
  engine.postEvent(kEventSize, 64, 48);
  engine.postEvent(kEventStop, 0, 0);
  engine.postEvent(kEventShow, 1, 0);  // meant for a window that is gone
  h.gate.open();
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (engine.running() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(engine.running());
  EXPECT_EQ(h.frames.count(), 0);
}

TEST(EngineLoad, FailedLoadsChangeNothing) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  engine.postEvent(kEventShow, 1, 0);
  engine.postEvent(kEventSize, 64, 48);
  EXPECT_FALSE(load(engine, "no project"));
  EXPECT_FALSE(load(engine, "<quilo><view id='a'/></quilo>"));
  EXPECT_FALSE(load(engine, "<quilo startview='x'><view id='a'/></quilo>"));
  engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.5f, 0, 0, 1, false}),
                      MotionTime::Preset);
  engine.setZoom(2);
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 0);
  EXPECT_EQ(engine.currentPosition(), NavPosition{});
  EXPECT_EQ(engine.zoom(), 0);
  EXPECT_TRUE(engine.currentPictures().empty());

  ASSERT_TRUE(load(engine, linkProject()));
  engine.setPresetTime(0);
  engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.5f, 0.1f, 0, 2, false}),
                      MotionTime::Preset);
  h.gate.run();
  h.clock.advance(1);
  h.gate.run();
  const NavPosition reached = engine.currentPosition();
  EXPECT_EQ(reached, (NavPosition{0.5f, 0.1f, 0, 2, false}));

  // The previous project goes on showing, where it was: nothing changed, so
  // nothing is rendered anew.
  const std::vector<std::uint32_t> shown = h.frames.last();
  EXPECT_FALSE(load(engine, "<quilo startview='gone'><view id='c'/></quilo>"));
  const int frames = h.frames.count();
  h.gate.run();
  EXPECT_EQ(h.frames.count(), frames);
  std::vector<std::uint32_t> pixels;
  std::int32_t width = 0, height = 0;
  ASSERT_TRUE(engine.copyFrame(pixels, width, height));
  EXPECT_EQ(pixels, shown);
  EXPECT_EQ(engine.currentPosition(), reached);
  const auto pictures = engine.currentPictures();
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pictures[0].viewId, "a");
  EXPECT_EQ(pictures[1].viewId, "b");

  // A good load replaces it, and starts at the start of the link again.
  ASSERT_TRUE(load(engine, linkProject()));
  h.gate.run();
  EXPECT_EQ(engine.currentPosition(), (NavPosition{0, 0, 0, 1, false}));
}

TEST(EngineLoad, AProjectWithoutALinkReportsTheNavigatorsPanAndZoom) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  ASSERT_TRUE(h.showAndLoad("<quilo startview='a'><view id='a'/></quilo>"));
  EXPECT_EQ(engine.currentPosition(), (NavPosition{0, 0, 0, 1, false}));
  engine.setZoom(2);
  EXPECT_EQ(engine.currentPosition(), (NavPosition{0, 0, 0, 2, false}));

  engine.setPresetTime(0);
  ASSERT_TRUE(engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.7f, 0.1f, -0.2f, 3}),
                                  MotionTime::Preset));
  h.gate.run();
  h.clock.advance(1);
  h.gate.run();
  // Pan and zoom arrive; there is no link to travel, so the progress stays 0.
  EXPECT_EQ(engine.currentPosition(), (NavPosition{0, 0.1f, -0.2f, 3, false}));
}

TEST(EngineLoad, RelativeFilePicturesAreReadFromTheProjectFolder) {
  const auto folder = test::scratchDir("engine_relative");
  const auto jpeg = test::encodeTestJpeg(test::cornerScene(32, 24), 32, 24);
  ASSERT_TRUE(test::writeFile(folder / "near.jpg", jpeg));
  ASSERT_TRUE(test::writeFile(folder / "far" / "b.jpg", jpeg));
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  const std::string absolute = "file://" + (folder / "far" / "b.jpg").string();
  ASSERT_TRUE(load(engine, linkProject("file://near.jpg", absolute), folder.string()));

  auto states = [&] {
    std::vector<ViewPicture::State> out;
    for (const auto& picture : engine.currentPictures()) out.push_back(picture.state);
    return out;
  };
  const auto end = std::chrono::steady_clock::now() + 10s;
  auto waiting = [&] {
    const auto now = states();
    return now.empty() || std::count(now.begin(), now.end(), ViewPicture::State::Waiting) > 0;
  };
  while (waiting() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(5ms);
  }
  const auto pictures = engine.currentPictures();
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pictures[0].source, "file://near.jpg");
  EXPECT_EQ(pictures[0].state, ViewPicture::State::Delivered);
  EXPECT_EQ(pictures[1].state, ViewPicture::State::Delivered);
}

// ---- Rendering only what changed ------------------------------------------------

// Frames rendered by one pass after `change`, checked to be followed by no
// more while nothing else changes (time passing included).
int framesFor(test::EngineHarness& h, const std::function<void()>& change) {
  const int before = h.frames.count();
  change();
  h.gate.run();
  const int rendered = h.frames.count() - before;
  h.clock.advance(500);
  h.gate.run(3);
  EXPECT_EQ(h.frames.count() - before, rendered) << "rendered again without a change";
  return rendered;
}

TEST(EngineRender, AStillProjectRendersOnceAndEachChangeThatShowsOnce) {
  test::EngineHarness h;
  ViewerEngine& engine = *h.engine;
  ASSERT_TRUE(h.showAndLoad(linkProject()));
  EXPECT_EQ(h.frames.count(), 1);
  const std::vector<std::uint8_t> placeholder(40 * 20 * 3, 200);

  EXPECT_EQ(framesFor(h, [] {}), 0);
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventSize, 160, 90); }), 0);  // the same size
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventSize, 120, 90); }), 1);
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventPointerMove, 5, 5); }), 0);
  EXPECT_EQ(framesFor(h, [&] { engine.setZoom(2); }), 1);
  EXPECT_EQ(framesFor(h, [&] { engine.setZoom(2); }), 0);
  EXPECT_EQ(framesFor(h, [&] { engine.setPlaceholder(placeholder.data(), 40, 20); }), 1);
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventShow, 0, 0); }), 0);
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventShow, 1, 0); }), 1);
  EXPECT_EQ(framesFor(h, [&] { engine.suspend(); }), 0);
  EXPECT_EQ(framesFor(h, [&] { engine.resume(); }), 1);
  EXPECT_EQ(framesFor(h, [&] { engine.postEvent(kEventRepaint, 0, 0); }), 1);
  EXPECT_EQ(framesFor(h, [&] { EXPECT_FALSE(load(engine, "no project")); }), 0);
  EXPECT_EQ(framesFor(h, [&] { EXPECT_TRUE(load(engine, linkProject())); }), 1);

  // A motion renders each step that moves, and its landing, and then stops.
  engine.setPresetTime(100);
  ASSERT_TRUE(engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.5f, 0.1f, 0, 2}),
                                  MotionTime::Preset));
  int before = h.frames.count();
  h.gate.run();  // starts it: nothing moved yet
  EXPECT_EQ(h.frames.count(), before);
  for (std::uint32_t ms : {30u, 30u, 30u, 11u}) {
    h.clock.advance(ms);
    h.gate.run();
    EXPECT_EQ(h.frames.count(), ++before) << "a step of " << ms << " ms";
  }
  EXPECT_FALSE(engine.isMoving());
  EXPECT_EQ(framesFor(h, [] {}), 0);
}

// A camera whose pictures a test hands over one at a time, through the
// readers of the engine's source manager.
class PictureFeed {
 public:
  void hand(std::string jpeg) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.emplace_back(jpeg.begin(), jpeg.end());
  }
  // True once every picture handed over was taken and decoded: the loader
  // polls its readers again only after decoding what it took.
  bool decoded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.empty() && pollsSinceTake_ > 0;
  }

  class Reader final : public SourceReader {
   public:
    explicit Reader(PictureFeed& feed) : feed_(feed) {}
    std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view, std::size_t,
                       std::int32_t) override {
      owner_ = std::move(owner);
      return StreamReader::Started;
    }
    void setFrameRate(std::int32_t, float) override {}
    std::int32_t pollState() override {
      if (!owner_) return StreamReader::StateIdle;
      std::lock_guard<std::mutex> lock(feed_.mutex_);
      ++feed_.pollsSinceTake_;
      return feed_.pending_.empty() ? StreamReader::StateFetching : StreamReader::StateReady;
    }
    bool takeFrame(std::vector<std::uint8_t>& out) override {
      std::lock_guard<std::mutex> lock(feed_.mutex_);
      if (feed_.pending_.empty()) return false;
      out = std::move(feed_.pending_.front());
      feed_.pending_.pop_front();
      feed_.pollsSinceTake_ = 0;
      stamp_ = std::max(stamp_ + 1, nowMs());
      return true;
    }
    std::shared_ptr<ImageSource> owner() const override { return owner_; }
    std::uint32_t lastPartTime() const override { return stamp_; }

   private:
    PictureFeed& feed_;
    std::shared_ptr<ImageSource> owner_;
    std::uint32_t stamp_ = 0;
  };

  SourceReaderFactory readers() {
    return [this](const ThreadStarter&) { return std::make_unique<Reader>(*this); };
  }

 private:
  mutable std::mutex mutex_;
  std::deque<std::vector<std::uint8_t>> pending_;  // guarded by mutex_
  int pollsSinceTake_ = 0;                         // guarded by mutex_
};

TEST(EngineRender, EachNewPictureOfACurrentViewRendersOnce) {
  PictureFeed camera;
  test::EngineHarness h(camera.readers());
  ASSERT_TRUE(
      h.showAndLoad("<quilo startview='a'><view id='a' src='http://camera/a.jpg'/></quilo>"));
  EXPECT_EQ(h.frames.count(), 1);  // the blank frame: no picture yet
  std::vector<std::uint32_t> shown = h.frames.last();
  for (std::uint32_t seed : {1u, 2u}) {
    camera.hand(test::encodeTestJpeg(test::noiseScene(32, 24, seed), 32, 24));
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!camera.decoded() && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(camera.decoded()) << "picture " << seed << " never arrived";
    EXPECT_EQ(framesFor(h, [] {}), 1) << "picture " << seed;
    EXPECT_NE(h.frames.last(), shown) << "picture " << seed << " is not what shows";
    shown = h.frames.last();
  }
}

}  // namespace
}  // namespace vistel
