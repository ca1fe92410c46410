// test-labels: threads network
// Cameras shared between page sessions: each session's source manager reads
// through the hub, against cameras on loopback that count their connections.
#include "vistel/web/camera_hub.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "support/wait_for.h"
#include "vistel/imaging/image_source.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/platform/clock.h"

namespace vistel::web {
namespace {

using namespace std::chrono_literals;
using test::HttpTestConnection;
using test::HttpTestServer;

using vistel::test::waitFor;

// One page session's source manager with the hub's readers, counting the
// pictures it decoded.
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
        hub.readerFactory(), observers);
  }
};

TEST(CameraHub, TwoSessionsShareOneCameraConnection) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  HttpTestServer camera([&](HttpTestConnection& connection) {
    if (!connection.send(
            test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace;boundary=cam"}})))
      return;
    const std::string part =
        "--cam\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
        "\r\n\r\n" + jpeg + "\r\n";
    for (int i = 0; i < 1000; ++i)
      if (!connection.send(part) || !connection.pause(20ms)) return;
  });
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
