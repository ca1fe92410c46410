// test-labels: threads
// The engine's event ring, its pass conditions and project loading, with the
// engine thread parked between the passes the tests let run.
#include "vistel/engine/viewer_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
  engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.5f, 0, 0, 1, false}), true);
  engine.setZoom(2);
  h.gate.run();
  EXPECT_EQ(h.frames.count(), 0);
  EXPECT_EQ(engine.currentPosition(), NavPosition{});
  EXPECT_EQ(engine.zoom(), 0);
  EXPECT_TRUE(engine.currentPictures().empty());

  ASSERT_TRUE(load(engine, linkProject()));
  engine.setPresetTime(0);
  engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.5f, 0.1f, 0, 2, false}), true);
  h.gate.run();
  h.clock.advance(1);
  h.gate.run();
  const NavPosition reached = engine.currentPosition();
  EXPECT_EQ(reached, (NavPosition{0.5f, 0.1f, 0, 2, false}));

  // The previous project goes on showing, where it was.
  EXPECT_FALSE(load(engine, "<quilo startview='gone'><view id='c'/></quilo>"));
  const int frames = h.frames.count();
  h.gate.run();
  EXPECT_EQ(h.frames.count(), frames + 1);
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
  ASSERT_TRUE(
      engine.postPosition(std::make_unique<NavPosition>(NavPosition{0.7f, 0.1f, -0.2f, 3}), true));
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

}  // namespace
}  // namespace vistel
