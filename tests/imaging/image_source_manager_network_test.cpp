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
#include "support/wait_for.h"
#include "vistel/imaging/image_source_manager.h"
#include "vistel/platform/clock.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::HttpTestConnection;
using test::HttpTestServer;

using test::waitFor;

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
  HttpTestServer server(
      [](HttpTestConnection& connection) { connection.stallUntilClientCloses(30s); });
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
  // Why, for the view's placeholder to say.
  EXPECT_EQ(request->source()->health().state().failure, SourceFailure::NotFound);
  EXPECT_EQ(request->source()->health().state().httpStatus, 404);
  manager->release(request);
}

TEST(ManagerOverHttp, StalledCameraDoesNotHoldUpAGoodOne) {
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(40, 30), 40, 30);
  // One camera takes the connection and never answers; another answers with
  // a stream's head and then sends nothing.
  HttpTestServer stalled([](HttpTestConnection& connection) {
    if (connection.request().target == "/head.mjpg" && !sendStreamHead(connection)) return;
    connection.stallUntilClientCloses(30s);
  });
  HttpTestServer good([&](HttpTestConnection& connection) {
    if (!sendStreamHead(connection)) return;
    for (int i = 0; i < 500; ++i) {
      if (!connection.send(streamPart(jpeg)) || !connection.pause(40ms)) return;
    }
  });
  ASSERT_TRUE(stalled.ok() && good.ok());
  std::size_t stalledRequests = 0;
  for (const char* path : {"/silent.mjpg", "/head.mjpg"}) {
    DecodeLog log;
    auto manager = makeManager(log);
    manager->setFps(manager->acquire(stalled.url(path)), -1.0f);
    ASSERT_TRUE(stalled.waitForRequests(++stalledRequests)) << path;
    std::this_thread::sleep_for(100ms);  // its probe waits now
    const auto begin = Clock::now();
    const std::string url = good.url("/good.mjpg");
    manager->setFps(manager->acquire(url), -1.0f);
    EXPECT_TRUE(waitFor([&] { return log.count(url) >= 1; }, 1s)) << path;
    EXPECT_LT(Clock::now() - begin, 1s) << path;
  }
}

// The requests a camera saw, on the process clock, and whether each carried a login.
struct RequestCount {
  std::mutex lock;
  std::vector<std::pair<std::uint32_t, bool>> seen;  // guarded by lock
  void add(std::uint32_t at, bool login) {
    std::lock_guard<std::mutex> guard(lock);
    seen.emplace_back(at, login);
  }
  int between(std::uint32_t from, std::uint32_t to, bool loginsOnly) {
    std::lock_guard<std::mutex> guard(lock);
    int n = 0;
    for (const auto& [at, login] : seen)
      n += elapsedMs(at, from) >= 0 && elapsedMs(to, at) > 0 && (login || !loginsOnly);
    return n;
  }
};

TEST(ManagerOverHttp, FailingCamerasAreAskedAgainOnlyAsTheirBackoffAllows) {
  // A minute on a stepped clock: each step is seen by the loader's polls and
  // the readers' waits before the next.
  ManualClock clock(1000);
  const ScopedClock installed(clock);
  RequestCount missingCount, lockedCount;
  HttpTestServer missing([&](HttpTestConnection& connection) {
    missingCount.add(clock.nowMs(), false);
    connection.send(test::httpResponse(404, {{"Content-Type", "text/plain"}}, "no"));
  });
  HttpTestServer locked([&](HttpTestConnection& connection) {
    lockedCount.add(clock.nowMs(), connection.request().header("Authorization").has_value());
    connection.send(test::httpResponse(
        401, {{"WWW-Authenticate", "Basic realm=\"cam\""}, {"Content-Type", "text/plain"}}, "no"));
  });
  ASSERT_TRUE(missing.ok() && locked.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  SourceRequest* views[] = {manager->acquire(missing.url("/cam.mjpg")),
                            manager->acquire(locked.urlWithCredentials("admin", "wrong", "/cam"))};
  for (SourceRequest* view : views) manager->setFps(view, 25.0f);
  const std::uint32_t start = clock.nowMs();
  for (int step = 0; step < 600; ++step) {
    std::this_thread::sleep_for(10ms);
    clock.advance(100);
  }
  // 0, 0.5 and 1.5 s, then 3.5, 7.5, 15.5 and 31.5 s (later when a step was
  // seen late, never sooner).
  EXPECT_LE(missingCount.between(start, start + 2000, false), 3);
  EXPECT_GE(missingCount.between(start, start + 2000, false), 2);
  EXPECT_LE(missingCount.between(start + 2000, start + 60000, false), 4);
  EXPECT_GE(missingCount.between(start + 2000, start + 60000, false), 3);
  // A refused password: one login, the next 30 s later.
  EXPECT_EQ(lockedCount.between(start, start + 29000, true), 1);
  EXPECT_LE(lockedCount.between(start, start + 60000, true), 2);
  EXPECT_EQ(views[0]->source()->health().state().failure, SourceFailure::NotFound);
  EXPECT_EQ(views[1]->source()->health().state().failure, SourceFailure::PasswordRefused);
  for (SourceRequest* view : views) manager->release(view);
}

TEST(ManagerOverHttp, SilentStreamIsDroppedAfterTenSecondsAndKeepsItsPicture) {
  ManualClock clock(5000);
  const ScopedClock installed(clock);
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(40, 30), 40, 30);
  std::atomic<int> connections{0};
  std::atomic<bool> silentClosed{false}, sendAgain{false};
  HttpTestServer server([&](HttpTestConnection& connection) {
    const int index = connections++;
    if (!sendStreamHead(connection)) return;
    if (index == 0) {  // the probe
      connection.send(streamPart(jpeg));
      return;
    }
    if (index == 1) {  // the stream: one picture, then silence with the connection open
      if (connection.send(streamPart(jpeg))) silentClosed = connection.stallUntilClientCloses(30s);
      return;
    }
    while (!sendAgain) {
      if (!connection.pause(10ms)) return;
    }
    for (int i = 0; i < 500; ++i) {
      if (!connection.send(streamPart(jpeg)) || !connection.pause(20ms)) return;
    }
  });
  ASSERT_TRUE(server.ok());
  DecodeLog log;
  auto manager = makeManager(log);
  const std::string url = server.url("/cam.mjpg");
  SourceRequest* view = manager->acquire(url);
  manager->setFps(view, 25.0f);  // four intervals are less than the 10 s
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= 1; }));
  auto step = [&](std::uint32_t ms) {
    for (std::uint32_t done = 0; done < ms; done += 250) {
      clock.advance(250);
      std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(200ms);  // the watchdog's next look
  };
  step(9500);
  EXPECT_EQ(connections.load(), 2);
  EXPECT_FALSE(silentClosed.load());
  step(1000);
  ASSERT_TRUE(waitFor([&] { return silentClosed.load() && connections.load() == 3; }));
  const ImageSource& source = *view->source();
  EXPECT_EQ(source.health().state().failure, SourceFailure::Silent);
  // The picture stays, to be shown as stale, until a new one comes.
  ASSERT_NE(manager->currentFrame(view), nullptr);
  EXPECT_EQ(manager->heldWidth(view), 40);
  EXPECT_GE(elapsedMs(clock.nowMs(), manager->heldTimestamp(view)), 10000);
  EXPECT_TRUE(manager->releaseFrame(view));
  sendAgain = true;
  ASSERT_TRUE(waitFor([&] { return log.count(url) >= 2; }));
  EXPECT_EQ(source.health().state().failure, SourceFailure::None);
  manager->release(view);
}

}  // namespace
}  // namespace vistel
