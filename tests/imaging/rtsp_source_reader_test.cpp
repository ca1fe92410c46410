// test-labels: threads network
// test-resources: rtsp-camera
// RTSP cameras through the image source manager and its RTSP readers, against
// GStreamer's RTSP server on loopback: pictures beside an HTTP camera, pacing
// by the view's rate, the faults a view names, and a camera that falls silent.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "frame_code.h"
#include "support/http_test_server.h"
#include "support/rtsp_test_camera.h"
#include "support/test_jpeg.h"
#include "support/wait_for.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/platform/clock.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::HttpTestConnection;
using test::HttpTestServer;
using test::RtspTestCamera;

using test::waitFor;

// Pictures kept per source url, from the manager's loader thread.
struct DecodeLog {
  std::mutex lock;
  std::map<std::string, int> pictures;
  ImageSourceManager::Observers observers() {
    ImageSourceManager::Observers result;
    result.decoded = [this](const ImageSourceManager::DecodeEvent& event) {
      if (event.width <= 0 || !event.kept) return;
      std::lock_guard<std::mutex> guard(lock);
      ++pictures[event.source->url()];
    };
    return result;
  }
  int count(const std::string& url) {
    std::lock_guard<std::mutex> guard(lock);
    return pictures[url];
  }
};

std::unique_ptr<ImageSourceManager> makeManager(DecodeLog& log, std::int32_t httpReaders = 2) {
  return std::make_unique<ImageSourceManager>(
      defaultThreadStarter(), ImageSourceManager::kDefaultEncodedLimitKiB,
      ImageSourceManager::kDefaultDecodedLimitKiB, httpReaders, streamReaderFactory(),
      log.observers(), rtspReaderFactory());
}

// The camera's quarters (red, green / blue, white) in the held picture, and
// its frame number.
std::optional<std::uint32_t> checkHeld(ImageSourceManager& manager, SourceRequest* request,
                                       int width, int height) {
  const std::uint8_t* pixels = manager.currentFrame(request);
  EXPECT_NE(pixels, nullptr);
  EXPECT_EQ(manager.heldWidth(request), width);
  EXPECT_EQ(manager.heldHeight(request), height);
  if (!pixels || manager.heldWidth(request) != width || manager.heldHeight(request) != height)
    return std::nullopt;
  EXPECT_EQ(manager.heldSize(request), width * (height + 1) * 4 + 4);
  const struct {
    int x, y, b, g, r;
  } quarters[] = {{width / 4, height * 3 / 8, 0, 0, 255},
                  {width * 3 / 4, height / 4, 0, 255, 0},
                  {width / 4, height * 3 / 4, 255, 0, 0},
                  {width * 3 / 4, height * 3 / 4, 255, 255, 255}};
  for (const auto& q : quarters) {
    const std::uint8_t* p = pixels + (static_cast<std::size_t>(q.y) * width + q.x) * 4;
    EXPECT_NEAR(p[0], q.b, 40) << q.x << "," << q.y;
    EXPECT_NEAR(p[1], q.g, 40) << q.x << "," << q.y;
    EXPECT_NEAR(p[2], q.r, 40) << q.x << "," << q.y;
    EXPECT_EQ(p[3], 0);
  }
  return sim::readFrameCode(pixels, width, height);
}

SourceHealthState healthOf(ImageSourceManager& manager, SourceRequest* request) {
  return manager.pictureStatus(request, nowMs()).health;
}

class RtspCameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RtspTestCamera::available())
      GTEST_SKIP() << "python3-gi with gir1.2-gst-rtsp-server-1.0 is not installed "
                      "(scripts/lib.sh lists them)";
  }
};

TEST_F(RtspCameraTest, RtspCamerasPlayOnReadersOfTheirOwnBesideAnHttpCamera) {
  RtspTestCamera camera({.width = 320, .height = 240});
  ASSERT_TRUE(camera.ok());
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  HttpTestServer http([jpeg](HttpTestConnection& connection) {
    if (!connection.send(
            test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace;boundary=b"}})))
      return;
    for (int i = 0; i < 1000; ++i) {
      const std::string part =
          "--b\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
          "\r\n\r\n" + jpeg + "\r\n";
      if (!connection.send(part) || !connection.pause(20ms)) return;
    }
  });
  ASSERT_TRUE(http.ok());
  const std::string h264 = camera.url("/h264"), h265 = camera.url("/h265");
  const std::string mjpeg = http.url("/cam.mjpg");

  DecodeLog log;
  // One HTTP reader only: were the RTSP cameras in its pool, the HTTP camera
  // would never get it.
  auto manager = makeManager(log, 1);
  SourceRequest* a = manager->acquire(h264);
  SourceRequest* b = manager->acquire(h265);
  SourceRequest* c = manager->acquire(mjpeg);
  for (SourceRequest* request : {a, b, c}) manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] {
    return log.count(h264) >= 5 && log.count(h265) >= 5 && log.count(mjpeg) >= 5;
  })) << log.count(h264)
      << " " << log.count(h265) << " " << log.count(mjpeg);
  EXPECT_EQ(manager->readerCount(), 1);
  EXPECT_EQ(manager->rtspReaderCount(), 2);

  for (SourceRequest* request : {a, b}) {
    const std::optional<std::uint32_t> first = checkHeld(*manager, request, 320, 240);
    ASSERT_TRUE(first);
    ASSERT_TRUE(manager->releaseFrame(request));
    // Live: a later picture carries a later frame number.
    std::this_thread::sleep_for(200ms);
    const std::optional<std::uint32_t> later = checkHeld(*manager, request, 320, 240);
    ASSERT_TRUE(later);
    EXPECT_GT(*later, *first);
    ASSERT_TRUE(manager->releaseFrame(request));
    const ImageSourceManager::PictureStatus status = manager->pictureStatus(request, nowMs());
    EXPECT_TRUE(status.hasPicture);
    EXPECT_EQ(status.health.failure, SourceFailure::None);
  }
  ASSERT_NE(manager->currentFrame(c), nullptr);
  EXPECT_EQ(manager->heldWidth(c), 64);
  ASSERT_TRUE(manager->releaseFrame(c));
  for (SourceRequest* request : {a, b, c}) manager->release(request);
}

TEST_F(RtspCameraTest, TheViewsRateChoosesHowManyPicturesAreHandedOver) {
  RtspTestCamera camera({.width = 160, .height = 120, .fps = 25});
  ASSERT_TRUE(camera.ok());
  const std::string paced = camera.url("/h264"), every = camera.url("/h265");
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* a = manager->acquire(paced);
  SourceRequest* b = manager->acquire(every);
  manager->setFps(a, 5.0f);
  manager->setFps(b, 25.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(paced) >= 1 && log.count(every) >= 1; }));
  const int pacedBefore = log.count(paced), everyBefore = log.count(every);
  std::this_thread::sleep_for(4s);
  const int pacedPictures = log.count(paced) - pacedBefore;
  const int everyPictures = log.count(every) - everyBefore;
  // 4 s: 20 at 5 a second, and the camera's 100 at its own rate.
  EXPECT_GE(pacedPictures, 17);
  EXPECT_LE(pacedPictures, 22);
  EXPECT_GE(everyPictures, 90);
  EXPECT_LE(everyPictures, 104);
  manager->release(a);
  manager->release(b);
}

TEST_F(RtspCameraTest, ARefusedPasswordIsNamedAndNotTriedAgainSoon) {
  RtspTestCamera camera({.width = 320, .height = 240, .credentials = "admin:s3cret"});
  ASSERT_TRUE(camera.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* wrong = manager->acquire(camera.url("/h264", "admin:guess"));
  manager->setFps(wrong, 5.0f);
  ASSERT_TRUE(
      waitFor([&] { return healthOf(*manager, wrong).failure == SourceFailure::PasswordRefused; }));
  EXPECT_EQ(healthOf(*manager, wrong).httpStatus, 401);
  EXPECT_EQ(failureText(healthOf(*manager, wrong).failure, 401), "password refused (401)");
  // Cameras lock accounts after a few bad logins: one attempt in 3 s.
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(healthOf(*manager, wrong).failures, 1);
  EXPECT_EQ(manager->rtspReaderCount(), 1);

  const std::string right = camera.url("/h264", "admin:s3cret");
  SourceRequest* good = manager->acquire(right);
  manager->setFps(good, 5.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(right) >= 2; }));
  EXPECT_TRUE(checkHeld(*manager, good, 320, 240));
  ASSERT_TRUE(manager->releaseFrame(good));
  manager->release(wrong);
  manager->release(good);
}

TEST_F(RtspCameraTest, AnUnsupportedCodecIsNamedAndBacksOff) {
  RtspTestCamera camera({.width = 160, .height = 120});
  ASSERT_TRUE(camera.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  const auto began = Clock::now();
  SourceRequest* request = manager->acquire(camera.url("/vp8"));
  manager->setFps(request, 5.0f);
  ASSERT_TRUE(waitFor(
      [&] { return healthOf(*manager, request).failure == SourceFailure::UnsupportedCodec; }));
  EXPECT_EQ(failureText(SourceFailure::UnsupportedCodec, 0), "unsupported codec");
  // Attempts after 0, 0.5, 1.5 and 3.5 s: not every poll.
  std::this_thread::sleep_until(began + 3s);
  EXPECT_LE(healthOf(*manager, request).failures, 3);
  EXPECT_FALSE(manager->pictureStatus(request, nowMs()).hasPicture);
  EXPECT_EQ(log.count(camera.url("/vp8")), 0);
  manager->release(request);
}

TEST_F(RtspCameraTest, ACameraThatRestartsIsReadAgainAndKeepsItsPictureMeanwhile) {
  auto camera =
      std::make_unique<RtspTestCamera>(RtspTestCamera::Options{.width = 320, .height = 240});
  ASSERT_TRUE(camera->ok());
  const std::uint16_t port = camera->port();
  const std::string url = camera->url("/h264");
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* request = manager->acquire(url);
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= 3; }));

  camera.reset();
  ASSERT_TRUE(waitFor([&] { return healthOf(*manager, request).failure != SourceFailure::None; }));
  EXPECT_TRUE(manager->pictureStatus(request, nowMs()).hasPicture);
  std::this_thread::sleep_for(1s);  // a few attempts that find nobody

  camera = std::make_unique<RtspTestCamera>(
      RtspTestCamera::Options{.width = 320, .height = 240, .port = port});
  ASSERT_TRUE(camera->ok());
  const int before = log.count(url);
  // The backoff has reached 2 or 4 s by now.
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= before + 3; }, 15s));
  EXPECT_EQ(healthOf(*manager, request).failure, SourceFailure::None);
  EXPECT_TRUE(checkHeld(*manager, request, 320, 240));
  ASSERT_TRUE(manager->releaseFrame(request));
  manager->release(request);
}

// Keeps a manual clock going at the real clock's pace, so that backoffs and
// pacing run, while the test jumps it past limits it does not want to wait for.
class RunningClock {
 public:
  explicit RunningClock(ManualClock& clock)
      : runner_([&clock](std::stop_token stop) {
          while (!stop.stop_requested()) {
            std::this_thread::sleep_for(10ms);
            clock.advance(10);
          }
        }) {}

 private:
  std::jthread runner_;
};

TEST_F(RtspCameraTest, ACameraThatFallsSilentIsShownStaleThenReadAgainWhenItSends) {
  ManualClock clock(5000);
  const ScopedClock installed(clock);
  const RunningClock running(clock);
  RtspTestCamera camera({.width = 320, .height = 240, .keyInterval = 10});
  ASSERT_TRUE(camera.ok());
  const std::string url = camera.url("/h264");
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* request = manager->acquire(url);
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= 3; }));

  // The connection stays open and brings nothing.
  ASSERT_TRUE(camera.command("stall"));
  std::this_thread::sleep_for(300ms);  // pictures already on their way
  const int before = log.count(url);
  clock.advance(8000);
  std::this_thread::sleep_for(300ms);
  auto status = manager->pictureStatus(request, clock.nowMs());
  EXPECT_EQ(status.health.failure, SourceFailure::None);
  EXPECT_FALSE(status.stale);
  clock.advance(2500);  // past the 10 s silence limit
  ASSERT_TRUE(
      waitFor([&] { return healthOf(*manager, request).failure == SourceFailure::Silent; }));
  status = manager->pictureStatus(request, clock.nowMs());
  EXPECT_TRUE(status.hasPicture);
  EXPECT_TRUE(status.stale);
  EXPECT_EQ(log.count(url), before);

  ASSERT_TRUE(camera.command("resume"));
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= before + 3; }));
  status = manager->pictureStatus(request, clock.nowMs());
  EXPECT_EQ(status.health.failure, SourceFailure::None);
  EXPECT_FALSE(status.stale);
  EXPECT_TRUE(checkHeld(*manager, request, 320, 240));
  ASSERT_TRUE(manager->releaseFrame(request));
  manager->release(request);
}

}  // namespace
}  // namespace vistel
