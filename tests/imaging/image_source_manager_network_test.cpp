// test-labels: threads network
// The manager with its real reader pool against cameras on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "vistel/imaging/image_source_manager.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::HttpTestConnection;
using test::HttpTestServer;

// Polls `done` until it holds or `limit` passes; the default is generous, as
// waits for progress end as soon as `done` holds.
template <class Condition>
bool waitFor(Condition done, std::chrono::milliseconds limit = 30s) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string streamPart(const std::string& jpeg) {
  return "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
         std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg + "\r\n";
}

bool sendStreamHead(HttpTestConnection& connection) {
  return connection.send(
      test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace;boundary=myboundary"}}));
}

// Decoded pictures per source url, from the manager's loader thread.
struct DecodeLog {
  std::mutex lock;
  std::map<std::string, int> pictures;
  ImageSourceManager::Observers observers() {
    ImageSourceManager::Observers result;
    result.decoded = [this](const ImageSourceManager::DecodeEvent& event) {
      if (event.width <= 0) return;
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

std::unique_ptr<ImageSourceManager> makeManager(DecodeLog& log) {
  return std::make_unique<ImageSourceManager>(
      defaultThreadStarter(), ImageSourceManager::kDefaultEncodedLimitKiB,
      ImageSourceManager::kDefaultDecodedLimitKiB, ImageSourceManager::kDefaultReaderCount,
      streamReaderFactory(), log.observers());
}

TEST(ManagerOverHttp, TwoCamerasStreamThroughThePool) {
  const std::string jpegA = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  const std::string jpegB = test::encodeTestJpeg(test::cornerScene(32, 24), 32, 24);
  auto camera = [](std::string jpeg) {
    return [jpeg](HttpTestConnection& connection) {
      if (!sendStreamHead(connection)) return;
      for (int i = 0; i < 500; ++i) {
        if (!connection.send(streamPart(jpeg)) || !connection.pause(20ms)) return;
      }
    };
  };
  HttpTestServer serverA(camera(jpegA));
  HttpTestServer serverB(camera(jpegB));
  ASSERT_TRUE(serverA.ok() && serverB.ok());
  const std::string urlA = serverA.url("/a.mjpg"), urlB = serverB.url("/b.mjpg");

  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* a = manager->acquire(urlA);
  SourceRequest* b = manager->acquire(urlB);
  manager->setFps(a, -1.0f);
  manager->setFps(b, -1.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(urlA) >= 5 && log.count(urlB) >= 5; }))
      << log.count(urlA) << " " << log.count(urlB);

  ASSERT_NE(manager->currentFrame(a), nullptr);
  EXPECT_EQ(manager->heldWidth(a), 64);
  ASSERT_NE(manager->currentFrame(b), nullptr);
  EXPECT_EQ(manager->heldWidth(b), 32);
  EXPECT_TRUE(manager->releaseFrame(a));
  EXPECT_TRUE(manager->releaseFrame(b));
  for (const auto& info : manager->sources()) {
    EXPECT_TRUE(info.busy) << info.url;  // each keeps its reader
    EXPECT_FALSE(info.failed) << info.url;
  }
  // One probe and one stream connection per camera, no more.
  EXPECT_EQ(serverA.requests().size(), 2u);
  EXPECT_EQ(serverB.requests().size(), 2u);
  manager->release(a);
  manager->release(b);
}

TEST(ManagerOverHttp, DestructionClosesABlockedStreamWithinASecond) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(40, 30), 40, 30);
  std::atomic<int> closedByClient{0};
  HttpTestServer server([&](HttpTestConnection& connection) {
    if (!sendStreamHead(connection) || !connection.send(streamPart(jpeg)) ||
        !connection.send(streamPart(jpeg)))
      return;
    // Then nothing: the reader's read blocks.
    if (connection.stallUntilClientCloses(30s)) ++closedByClient;
  });
  ASSERT_TRUE(server.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  const std::string url = server.url("/cam.mjpg");
  SourceRequest* request = manager->acquire(url);
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= 1; }));
  ASSERT_TRUE(server.waitForRequests(2));
  std::this_thread::sleep_for(100ms);              // the stream's read is waiting now
  const int closedBefore = closedByClient.load();  // the probe's connection

  const auto begin = Clock::now();
  manager.reset();
  EXPECT_LT(Clock::now() - begin, 1s);
  EXPECT_TRUE(waitFor([&] { return closedByClient.load() == closedBefore + 1; }, 1s));
}

TEST(ManagerOverHttp, DestructionCutsShortAProbeWaitingForAnAnswer) {
  // The camera takes the connection and never answers: the probe blocks the
  // loader thread inside the reader's start().
  HttpTestServer server([](HttpTestConnection& connection) {
    connection.stallUntilClientCloses(30s);
  });
  ASSERT_TRUE(server.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  ASSERT_NE(manager->acquire(server.url("/cam.mjpg")), nullptr);
  ASSERT_TRUE(server.waitForRequests(1));
  std::this_thread::sleep_for(100ms);

  const auto begin = Clock::now();
  manager.reset();
  EXPECT_LT(Clock::now() - begin, 1s);
}

TEST(ManagerOverHttp, StillPictureCostsAProbeAndADownload) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(24, 16), 24, 16);
  HttpTestServer server(
      test::fixedResponse(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpeg)));
  ASSERT_TRUE(server.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  const std::string url = server.url("/snap.jpg");
  SourceRequest* request = manager->acquire(url);  // fps 0: fetched once
  ASSERT_TRUE(waitFor([&] { return log.count(url) == 1; }));
  ASSERT_TRUE(waitFor([&] { return !manager->sources()[0].busy; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(log.count(url), 1);
  ASSERT_NE(manager->currentFrame(request), nullptr);
  EXPECT_EQ(manager->heldWidth(request), 24);
  EXPECT_TRUE(manager->releaseFrame(request));
  EXPECT_EQ(manager->encodedBytes(), static_cast<std::int64_t>(jpeg.size()));
  manager->release(request);
}

TEST(ManagerOverHttp, RefusedCameraFailsAndShowsThePlaceholder) {
  HttpTestServer server(
      test::fixedResponse(test::httpResponse(404, {{"Content-Type", "text/plain"}}, "gone")));
  ASSERT_TRUE(server.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* request = manager->acquire(server.url("/cam.jpg"));
  ASSERT_TRUE(waitFor([&] { return manager->sources()[0].failed; }));
  const auto info = manager->sources()[0];
  EXPECT_FALSE(info.busy);
  EXPECT_EQ(info.decodedSize, 0);                      // a placeholder
  EXPECT_EQ(manager->currentFrame(request), nullptr);  // no canvas to show
  EXPECT_EQ(manager->heldSize(request), 0);
  EXPECT_TRUE(manager->releaseFrame(request));
  EXPECT_EQ(manager->decodedBytes(), 0);
  manager->release(request);
}

}  // namespace
}  // namespace vistel
