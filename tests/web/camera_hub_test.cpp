// test-labels: threads network
// test-resources: rtsp-camera
// Cameras shared between page sessions: each session's source manager reads
// through the hub, against cameras on loopback (HTTP, and GStreamer's RTSP
// server) that count their connections, and the hub's decodes.
#include "vistel/web/camera_hub.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/engine_harness.h"
#include "support/http_test_server.h"
#include "support/rtsp_test_camera.h"
#include "support/test_jpeg.h"
#include "support/wait_for.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/imaging/rtsp_source_reader.h"
#include "vistel/platform/clock.h"

namespace vistel::web {
namespace {

using namespace std::chrono_literals;
using test::HttpTestConnection;
using test::HttpTestServer;
using test::RtspTestCamera;

using vistel::test::waitFor;

// One page session's source manager with the hub's readers (both pools),
// counting the pictures it was handed.
struct Session {
  std::atomic<int> pictures{0};
  std::unique_ptr<ImageSourceManager> manager;

  explicit Session(CameraHub& hub) {
    ImageSourceManager::Observers observers;
    observers.decoded = [this](const ImageSourceManager::DecodeEvent& event) {
      if (event.width > 0) ++pictures;
    };
    manager = std::make_unique<ImageSourceManager>(
        defaultThreadStarter(), ImageSourceManager::kDefaultEncodedLimitKiB,
        ImageSourceManager::kDefaultDecodedLimitKiB, ImageSourceManager::kDefaultReaderCount,
        hub.readerFactory(), observers, hub.readerFactory());
  }
};

// A camera streaming `jpeg` every `gap`, `parts` times.
HttpTestServer streamingCamera(const std::string& jpeg, int parts,
                               std::chrono::milliseconds gap = 20ms) {
  return HttpTestServer([jpeg, parts, gap](HttpTestConnection& connection) {
    if (!connection.send(
            test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace;boundary=cam"}})))
      return;
    const std::string part =
        "--cam\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
        "\r\n\r\n" + jpeg + "\r\n";
    for (int i = 0; i < parts; ++i)
      if (!connection.send(part) || !connection.pause(gap)) return;
    (void)connection.pause(20s);
  });
}

TEST(CameraHub, TwoSessionsShareOneCameraConnection) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  HttpTestServer camera = streamingCamera(jpeg, 1000);
  ASSERT_TRUE(camera.ok());
  CameraHub hub;
  {
    Session first(hub), second(hub);
    SourceRequest* a = first.manager->acquire(camera.url("/video.mjpg"));
    SourceRequest* b = second.manager->acquire(camera.url("/video.mjpg"));
    first.manager->setFps(a, -1.0f);
    second.manager->setFps(b, 10.0f);
    ASSERT_TRUE(waitFor([&] { return first.pictures >= 20 && second.pictures >= 5; }))
        << first.pictures << " " << second.pictures;
    ASSERT_NE(first.manager->currentFrame(a), nullptr);
    EXPECT_EQ(first.manager->heldWidth(a), 64);
    (void)first.manager->releaseFrame(a);
    // Each at its own rate: the camera sends about 50 a second.
    EXPECT_LT(second.pictures.load(), first.pictures.load() / 2);
    first.manager->release(a);
    second.manager->release(b);
  }
  // The probe and one stream, as for a single viewer.
  EXPECT_EQ(camera.requests().size(), 2u);
  EXPECT_EQ(hub.camerasStarted(), 1u);
}

TEST(CameraHub, EachPictureIsDecodedOnceAndEverySessionGetsTheSameFrame) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  constexpr int kParts = 40;
  HttpTestServer camera = streamingCamera(jpeg, kParts, 25ms);
  ASSERT_TRUE(camera.ok());
  CameraHub hub;
  Session first(hub), second(hub);
  SourceRequest* a = first.manager->acquire(camera.url("/video.mjpg"));
  SourceRequest* b = second.manager->acquire(camera.url("/video.mjpg"));
  first.manager->setFps(a, -1.0f);
  second.manager->setFps(b, -1.0f);
  // Both end on the camera's last picture: one frame, held by both.
  const FrameRef reference =
      Frame::decoded(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), 0);
  const std::uint8_t* pixelsA = nullptr;
  const std::uint8_t* pixelsB = nullptr;
  ASSERT_TRUE(waitFor([&] {
    if (first.pictures + second.pictures < kParts) return false;
    pixelsA = first.manager->currentFrame(a);
    pixelsB = second.manager->currentFrame(b);
    return pixelsA && pixelsA == pixelsB &&
           first.manager->heldTimestamp(a) == second.manager->heldTimestamp(b) &&
           hub.picturesDecoded() >= 2;
  })) << first.pictures
      << " " << second.pictures << " " << hub.picturesDecoded();
  ASSERT_EQ(second.manager->heldSize(b), reference->size());
  EXPECT_EQ(std::memcmp(pixelsB, reference->data(), static_cast<std::size_t>(reference->size())),
            0);
  // At most one decode per camera picture, though both sessions took them.
  EXPECT_LE(hub.picturesDecoded(), static_cast<std::uint64_t>(kParts));
  EXPECT_LT(hub.picturesDecoded(), static_cast<std::uint64_t>(first.pictures + second.pictures));
  (void)first.manager->releaseFrame(a);
  (void)second.manager->releaseFrame(b);
  first.manager->release(a);
  second.manager->release(b);
}

TEST(CameraHub, OneSessionsEngineDrawsWhileAnotherReadsTheSharedPictures) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  HttpTestServer camera = streamingCamera(jpeg, 1000);
  ASSERT_TRUE(camera.ok());
  CameraHub hub;
  test::FrameLog frames;
  auto engine = ViewerEngine::create(&frames, defaultThreadStarter(), &test::FrameLog::sink,
                                     {nullptr, {}, hub.readerFactory(), hub.readerFactory()});
  engine->postEvent(kEventShow, 1, 0);
  engine->postEvent(kEventSize, 160, 120);
  const std::string xml = R"(<quilo startview="a"><view id="a" src=")" + camera.url("/video.mjpg") +
                          R"(" fps="25"/></quilo>)";
  ASSERT_TRUE(engine->loadProject(xml.data(), xml.size()));
  Session reader(hub);
  SourceRequest* request = reader.manager->acquire(camera.url("/video.mjpg"));
  reader.manager->setFps(request, 25.0f);
  const FrameRef reference =
      Frame::decoded(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), 0);
  // Every new picture makes the engine draw it; meanwhile this thread reads
  // the same frames through the other session. A write into a shared picture
  // shows as a changed pixel here, or as a race under ThreadSanitizer.
  const int framesBefore = frames.count();
  int checked = 0, differing = 0;
  ASSERT_TRUE(waitFor([&] {
    const std::uint8_t* pixels = reader.manager->currentFrame(request);
    if (pixels && reader.manager->heldSize(request) == reference->size()) {
      ++checked;
      differing +=
          std::memcmp(pixels, reference->data(), static_cast<std::size_t>(reference->size())) != 0;
    }
    (void)reader.manager->releaseFrame(request);
    return frames.count() >= framesBefore + 20 && checked >= 20;
  })) << frames.count()
      << " " << checked;
  EXPECT_EQ(differing, 0);
  // The engine's frame shows the picture (its top-left corner scene is not black).
  const std::vector<std::uint32_t> last = frames.last();
  EXPECT_TRUE(
      std::any_of(last.begin(), last.end(), [](std::uint32_t p) { return (p & 0xFFFFFFu) != 0; }));
  reader.manager->release(request);
  engine.reset();
  // One connection (after the probe) for both.
  EXPECT_EQ(hub.camerasStarted(), 1u);
  EXPECT_EQ(camera.requests().size(), 2u);
}

// An RTSP reader that counts the connections it opened, for the test to read.
struct CountingRtspFactory {
  std::mutex lock;
  std::vector<RtspSourceReader*> made;  // guarded by lock; owned by the hub's cameras
  SourceReaderFactory factory() {
    return [this](const ThreadStarter& starter) -> std::unique_ptr<SourceReader> {
      auto reader = std::make_unique<RtspSourceReader>(starter);
      std::lock_guard<std::mutex> guard(lock);
      made.push_back(reader.get());
      return reader;
    };
  }
};

TEST(CameraHub, RtspCamerasPlayInEverySessionOverOneConnection) {
  if (!RtspTestCamera::available())
    GTEST_SKIP() << "python3-gi with gir1.2-gst-rtsp-server-1.0 is not installed "
                    "(scripts/lib.sh lists them)";
  RtspTestCamera camera({.width = 160, .height = 120, .fps = 25});
  ASSERT_TRUE(camera.ok());
  CountingRtspFactory readers;
  CameraHub hub(defaultThreadStarter(), readers.factory());
  Session first(hub), second(hub);
  const std::string url = camera.url("/h264");
  SourceRequest* a = first.manager->acquire(url);
  SourceRequest* b = second.manager->acquire(url);
  first.manager->setFps(a, -1.0f);
  second.manager->setFps(b, 5.0f);
  ASSERT_TRUE(waitFor([&] { return first.pictures >= 15 && second.pictures >= 3; }))
      << first.pictures << " " << second.pictures;
  // Each at its own rate from the one stream.
  EXPECT_LT(second.pictures.load(), first.pictures.load() / 2);
  for (auto [session, request] : {std::pair{&first, a}, std::pair{&second, b}}) {
    ImageSourceManager& manager = *session->manager;
    const std::uint8_t* pixels = manager.currentFrame(request);
    ASSERT_NE(pixels, nullptr);
    ASSERT_EQ(manager.heldWidth(request), 160);
    ASSERT_EQ(manager.heldHeight(request), 120);
    // The camera's quarters: red top left, green top right, blue bottom left, white.
    const struct {
      int x, y, b, g, r;
    } quarters[] = {
        {40, 45, 0, 0, 255}, {120, 30, 0, 255, 0}, {40, 90, 255, 0, 0}, {120, 90, 255, 255, 255}};
    for (const auto& q : quarters) {
      const std::uint8_t* p = pixels + (static_cast<std::size_t>(q.y) * 160 + q.x) * 4;
      EXPECT_NEAR(p[0], q.b, 40) << q.x << "," << q.y;
      EXPECT_NEAR(p[1], q.g, 40) << q.x << "," << q.y;
      EXPECT_NEAR(p[2], q.r, 40) << q.x << "," << q.y;
    }
    (void)manager.releaseFrame(request);
    EXPECT_EQ(manager.pictureStatus(request, nowMs()).health.failure, SourceFailure::None);
  }
  {
    std::lock_guard<std::mutex> guard(readers.lock);
    ASSERT_EQ(readers.made.size(), 1u);
    EXPECT_EQ(readers.made.front()->connections(), 1);
  }
  EXPECT_EQ(hub.camerasStarted(), 1u);
  EXPECT_EQ(hub.picturesDecoded(), 0u);  // the RTSP reader decodes, not the hub
  first.manager->release(a);
  second.manager->release(b);
}

TEST(CameraHub, FailingCameraBacksOffAndEverySessionSaysWhy) {
  // Half a minute on a stepped clock.
  ManualClock clock(1000);
  const ScopedClock installed(clock);
  std::mutex lock;
  std::vector<std::uint32_t> attempts;  // guarded by lock
  HttpTestServer camera([&](HttpTestConnection& connection) {
    {
      std::lock_guard<std::mutex> guard(lock);
      attempts.push_back(clock.nowMs());
    }
    connection.send(test::httpResponse(404, {{"Content-Type", "text/plain"}}, "no"));
  });
  ASSERT_TRUE(camera.ok());
  CameraHub hub;
  Session first(hub), second(hub);
  SourceRequest* a = first.manager->acquire(camera.url("/video.mjpg"));
  SourceRequest* b = second.manager->acquire(camera.url("/video.mjpg"));
  first.manager->setFps(a, 25.0f);
  second.manager->setFps(b, 25.0f);
  const std::uint32_t start = clock.nowMs();
  for (int step = 0; step < 300; ++step) {
    std::this_thread::sleep_for(10ms);
    clock.advance(100);
  }
  auto between = [&](std::uint32_t from, std::uint32_t to) {
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    for (const std::uint32_t at : attempts) n += at >= from && at < to;
    return n;
  };
  // 0, 0.5 and 1.5 s, then 3.5, 7.5 and 15.5 s: the two sessions ask as one.
  EXPECT_LE(between(start, start + 2000), 3);
  EXPECT_GE(between(start, start + 2000), 2);
  EXPECT_LE(between(start + 2000, start + 30000), 3);
  EXPECT_GE(between(start + 2000, start + 30000), 2);
  for (SourceRequest* view : {a, b}) {
    EXPECT_EQ(view->source()->health().state().failure, SourceFailure::NotFound);
    EXPECT_EQ(view->source()->health().state().httpStatus, 404);
    EXPECT_TRUE(view->source()->failed());
  }
  first.manager->release(a);
  second.manager->release(b);
}

}  // namespace
}  // namespace vistel::web
