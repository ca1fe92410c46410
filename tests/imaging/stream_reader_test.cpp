// test-labels: threads network
// The stream reader against a scripted camera on 127.0.0.1 that does what
// real cameras get wrong: missing or quoted boundaries, changing part headers,
// lying lengths, stalls, trickles, early closes, error statuses, garbage.
#include "vistel/imaging/stream_reader.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/cookie_store.h"
#include "vistel/platform/http_types.h"
#include "vistel/platform/sanitizers.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using test::HttpTestConnection;
using test::HttpTestServer;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kShortWatchdogMs = 300;

std::vector<std::string> testJpegs(int count) {
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i)
    out.push_back(
        test::encodeTestJpeg(test::noiseScene(32, 24, static_cast<std::uint32_t>(i + 1)), 32, 24));
  return out;
}

// One part as most cameras send it.
std::string part(const std::string& line, const std::string& body, bool withLength = true,
                 const std::string& extra = "") {
  std::string out = "--" + line + "\r\nContent-Type: image/jpeg\r\n";
  if (withLength) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return out + extra + "\r\n" + body + "\r\n";
}

std::string streamHead(const std::string& contentType) {
  return test::httpHead(200, {{"Content-Type", contentType}});
}

// Sends `pieces` with a gap after each, long enough for a poller to take every
// picture (the reader keeps only the latest one).
bool sendSpaced(HttpTestConnection& c, const std::vector<std::string>& pieces) {
  for (const auto& piece : pieces)
    if (!c.send(piece) || !c.pause(40ms)) return false;
  return true;
}

// An owner for start(): the reader only keeps and returns it, so a token
// that shares the control block of a counter stands in for a source.
std::shared_ptr<ImageSource> ownerOf(const std::shared_ptr<int>& token) {
  return std::shared_ptr<ImageSource>(token, nullptr);
}

double msSince(SteadyClock::time_point from) {
  return std::chrono::duration<double, std::milli>(SteadyClock::now() - from).count();
}

double msBetween(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Waits for progress under sanitizers on a loaded machine, which run many
// times slower: generous, as waits end as soon as their condition holds.
constexpr std::chrono::milliseconds kProgressLimit = 30s;

// Polls `done` every 5 ms for up to `limit`.
bool eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = kProgressLimit) {
  const auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Polls a reader the way the image source manager does and keeps what it takes.
struct Poller {
  std::vector<std::string> pictures;
  std::vector<std::uint32_t> times;  // lastPartTime of each picture
  std::vector<std::int32_t> states;  // every state seen, repeats folded

  // Polls every 2 ms until `done` holds or `limit` passes; true when done.
  bool run(StreamReader& reader, const std::function<bool()>& done,
           std::chrono::milliseconds limit = kProgressLimit) {
    const auto deadline = SteadyClock::now() + limit;
    while (SteadyClock::now() < deadline) {
      poll(reader);
      if (done()) return true;
      std::this_thread::sleep_for(2ms);
    }
    return false;
  }

  void poll(StreamReader& reader) {
    const std::int32_t state = reader.pollState();
    if (states.empty() || states.back() != state) states.push_back(state);
    if (state == StreamReader::StateReady) {
      std::vector<std::uint8_t> bytes;
      if (reader.takeFrame(bytes)) {
        pictures.emplace_back(bytes.begin(), bytes.end());
        times.push_back(reader.lastPartTime());
      }
    }
  }

  bool saw(std::int32_t state) const {
    return std::find(states.begin(), states.end(), state) != states.end();
  }
};

class StreamReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CookieStore::instance().useJar(test::scratchDir("stream-reader") / "cookies.txt"));
  }
};

// ---- Camera dialects ----------------------------------------------------------

struct Dialect {
  const char* name;
  std::string contentType;
  // The body as pieces sent with a short gap between them.
  std::function<std::vector<std::string>(const std::vector<std::string>&)> pieces;
  // The pictures the reader must hand out, in order.
  std::function<std::vector<std::string>(const std::vector<std::string>&)> expected;
};

std::vector<std::string> allButLast(const std::vector<std::string>& jpegs) {
  return {jpegs.begin(), jpegs.end() - 1};
}
std::vector<std::string> all(const std::vector<std::string>& jpegs) { return jpegs; }

std::vector<Dialect> dialects() {
  std::vector<Dialect> out;
  out.push_back({"NoBoundaryConstantHeaders", "multipart/x-mixed-replace",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs) p.push_back(part("frame", j, false));
                   return p;
                 },
                 allButLast});
  // Parts with a length are handed over as soon as they are complete: the
  // last one too, with no delimiter after it.
  out.push_back({"BoundaryWithLengths", "multipart/x-mixed-replace; boundary=myboundary",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs) p.push_back(part("myboundary", j));
                   return p;
                 },
                 all});
  out.push_back({"QuotedBoundary", "multipart/x-mixed-replace;boundary=\"myboundary\"",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs) p.push_back(part("myboundary", j));
                   return p;
                 },
                 all});
  out.push_back({"BoundaryStartingWithDashes", "multipart/x-mixed-replace;boundary=--myboundary",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;  // lines carry the boundary as it is
                   for (const auto& j : jpegs) p.push_back(part("myboundary", j));
                   return p;
                 },
                 all});
  out.push_back({"NoBoundaryPerPartLength", "multipart/x-mixed-replace",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs) p.push_back(part("frame", j, true));
                   return p;
                 },
                 all});
  out.push_back({"BoundaryWithoutLengths", "multipart/x-mixed-replace; boundary=frame",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs) p.push_back(part("frame", j, false));
                   return p;
                 },
                 allButLast});
  out.push_back({"MissingFirstDelimiter", "multipart/x-mixed-replace; boundary=myboundary",
                 [](const auto& jpegs) {
                   // The probe's look at the body stops in the first picture,
                   // so the part headers must repeat for the learned block.
                   std::vector<std::string> p = {jpegs[0] + "\r\n"};
                   for (std::size_t i = 1; i < jpegs.size(); ++i)
                     p.push_back(part("myboundary", jpegs[i], false));
                   return p;
                 },
                 [](const auto& jpegs) {
                   return std::vector<std::string>(jpegs.begin() + 1, jpegs.end() - 1);
                 }});
  out.push_back({"LyingContentLength", "multipart/x-mixed-replace; boundary=myboundary",
                 [](const auto& jpegs) {
                   std::vector<std::string> p;
                   for (const auto& j : jpegs)
                     p.push_back("--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(j.size() / 3) + "\r\n\r\n" + j + "\r\n");
                   return p;
                 },
                 allButLast});
  out.push_back({"GarbageBeforeTheFirstPart", "multipart/x-mixed-replace; boundary=myboundary",
                 [](const auto& jpegs) {
                   // Text without a zero byte, so the probe still reads up to the first part.
                   std::string garbage = test::patternBytes(3000, 9);
                   for (auto& c : garbage)
                     if (c == '\0') c = 'g';
                   std::vector<std::string> p = {garbage + "\r\n\r\n" + garbage};
                   for (const auto& j : jpegs) p.push_back(part("myboundary", j));
                   return p;
                 },
                 all});
  return out;
}

class CameraDialectTest : public StreamReaderTest, public ::testing::WithParamInterface<Dialect> {};

TEST_P(CameraDialectTest, DeliversEveryPictureWhole) {
  const Dialect& dialect = GetParam();
  const auto jpegs = testJpegs(6);
  const auto pieces = dialect.pieces(jpegs);
  const auto expected = dialect.expected(jpegs);
  HttpTestServer server([&](HttpTestConnection& c) {
    if (!c.send(streamHead(dialect.contentType)) || !sendSpaced(c, pieces)) return;
    c.stallUntilClientCloses(kProgressLimit);
  });
  ASSERT_TRUE(server.ok());

  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs * 10);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  auto token = std::make_shared<int>(0);
  ASSERT_EQ(reader.start(ownerOf(token), server.url("/video.mjpg"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  EXPECT_TRUE(poller.run(reader, [&] { return poller.pictures.size() >= expected.size(); }));
  ASSERT_EQ(poller.pictures.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(poller.pictures[i], expected[i]) << i;
    DecodedPicture picture;
    EXPECT_EQ(decodeJpeg(reinterpret_cast<const std::uint8_t*>(poller.pictures[i].data()),
                         poller.pictures[i].size(), picture),
              JpegResult::Ok);
  }
  // The probe's connection and the stream's.
  EXPECT_EQ(server.requests().size(), 2u);
  for (std::size_t i = 1; i < poller.times.size(); ++i)
    EXPECT_GE(elapsedMs(poller.times[i], poller.times[i - 1]), 0);
}

INSTANTIATE_TEST_SUITE_P(Cameras, CameraDialectTest, ::testing::ValuesIn(dialects()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Connection faults ------------------------------------------------------------

TEST_F(StreamReaderTest, StalledStreamIsAbortedByTheWatchdogAndReconnects) {
  const auto jpegs = testJpegs(4);
  std::atomic<int> connections{0};
  std::mutex mutex;
  SteadyClock::time_point stallBegan;
  std::atomic<bool> clientClosedStall{false};
  HttpTestServer server([&](HttpTestConnection& c) {
    const int index = connections++;
    if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam"))) return;
    if (!sendSpaced(c, {part("cam", jpegs[0]), part("cam", jpegs[1])})) return;
    if (index == 1) {
      {
        std::lock_guard lock(mutex);
        stallBegan = SteadyClock::now();
      }
      clientClosedStall = c.stallUntilClientCloses(kProgressLimit);
      return;
    }
    c.stallUntilClientCloses(kProgressLimit);
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(
      reader, [&] { return server.requests().size() >= 3; }, kProgressLimit));
  EXPECT_TRUE(clientClosedStall.load());
  const auto requests = server.requests();
  {
    // The watchdog's time-out ends the read, which is not tried again on the
    // dead connection; the reconnection follows half a second after the
    // failed connection began.
    std::lock_guard lock(mutex);
    const double gap = msBetween(stallBegan, requests[2].received);
    EXPECT_GE(gap, kShortWatchdogMs - 50);
    EXPECT_GE(msBetween(requests[1].received, requests[2].received), 450);
    EXPECT_LT(gap, 4000);
  }
  EXPECT_EQ(reader.lastError(), static_cast<std::uint32_t>(HttpError::Aborted));
  EXPECT_TRUE(poller.saw(StreamReader::StateFailed));
  // The stalled connection delivered its first picture, the new one delivers too.
  EXPECT_TRUE(poller.run(reader, [&] { return poller.pictures.size() >= 2; }));
  EXPECT_EQ(poller.pictures.front(), jpegs[0]);
}

TEST_F(StreamReaderTest, TrickleIsNotMistakenForAHang) {
  const auto jpegs = testJpegs(3);
  HttpTestServer server([&](HttpTestConnection& c) {
    if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam"))) return;
    const std::string first = part("cam", jpegs[0]);
    const std::string second = part("cam", jpegs[1]);
    if (!c.send(first + second.substr(0, 200))) return;
    // Three bytes a second, well within the watchdog's time-out each.
    if (!c.sendInPieces(second.substr(200, 3), 1, 1000ms)) return;
    if (!c.send(second.substr(203)) || !c.pause(200ms) || !c.send(part("cam", jpegs[2]))) return;
    c.stallUntilClientCloses(kProgressLimit);
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), 1500);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(
      reader, [&] { return poller.pictures.size() >= 2; }, kProgressLimit));
  EXPECT_EQ(poller.pictures[0], jpegs[0]);
  EXPECT_EQ(poller.pictures[1], jpegs[1]);
  EXPECT_EQ(server.requests().size(), 2u);  // no reconnection
  EXPECT_FALSE(poller.saw(StreamReader::StateFailed));
}

TEST_F(StreamReaderTest, ServerClosingMidPartReconnectsHalfASecondAfterItBegan) {
  const auto jpegs = testJpegs(3);
  std::atomic<int> connections{0};
  std::mutex mutex;
  SteadyClock::time_point closedAt;
  HttpTestServer server([&](HttpTestConnection& c) {
    const int index = connections++;
    if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam"))) return;
    if (index == 1) {
      const std::string second = part("cam", jpegs[1]);
      c.send(part("cam", jpegs[0]) + second.substr(0, second.size() / 2));
      c.pause(100ms);
      std::lock_guard lock(mutex);
      closedAt = SteadyClock::now();
      return;  // the connection closes in the middle of a part
    }
    if (!sendSpaced(c, {part("cam", jpegs[0]), part("cam", jpegs[1]), part("cam", jpegs[2])}))
      return;
    c.stallUntilClientCloses(kProgressLimit);
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), 5000);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(
      reader, [&] { return server.requests().size() >= 3; }, kProgressLimit));
  const auto requests = server.requests();
  {
    // The picture ended the backoff; the first retry is due half a second
    // after the failed connection began, so no sooner than it closed.
    std::lock_guard lock(mutex);
    EXPECT_GE(msBetween(requests[1].received, requests[2].received), 450);
    EXPECT_LT(msBetween(requests[1].received, requests[2].received), 1500);
    EXPECT_GE(msBetween(closedAt, requests[2].received), 0);
  }
  EXPECT_TRUE(poller.run(reader, [&] { return poller.pictures.size() >= 3; }));
  ASSERT_GE(poller.pictures.size(), 3u);
  EXPECT_EQ(poller.pictures[0], jpegs[0]);  // before the close
  EXPECT_EQ(poller.pictures[1], jpegs[0]);  // the new connection starts over
  EXPECT_EQ(poller.pictures[2], jpegs[1]);
}

TEST_F(StreamReaderTest, MoreThanOneMebibyteWithoutDelimiterEndsTheConnection) {
  // No boundary and a per-part sequence header: the learned header block
  // never comes back. The reader gives up after 1 MiB (long before its
  // watchdog) and cuts the next connection on the delimiter line.
  const auto jpegs = testJpegs(4);
  std::atomic<int> connections{0};
  std::atomic<bool> closedByClient{false};
  std::atomic<std::size_t> sent{0};
  HttpTestServer server([&](HttpTestConnection& c) {
    const int index = connections++;
    if (!c.send(streamHead("multipart/x-mixed-replace"))) return;
    if (index == 1) {
      const std::string filler = test::patternBytes(20000, 5);
      for (int seq = 0; sent < (3u << 20); ++seq) {
        const std::string piece =
            part("frame", filler, false, "X-Seq: " + std::to_string(seq) + "\r\n");
        if (!c.send(piece)) {
          closedByClient = true;
          return;
        }
        sent += piece.size();
      }
      closedByClient = c.stallUntilClientCloses(kProgressLimit);
      return;
    }
    std::vector<std::string> parts;
    for (int seq = 0; seq < 4; ++seq)
      parts.push_back(part("frame", jpegs[static_cast<std::size_t>(seq)], false,
                           "X-Seq: " + std::to_string(seq) + "\r\n"));
    if (!sendSpaced(c, parts)) return;
    c.stallUntilClientCloses(kProgressLimit);
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), 20000);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(
      reader, [&] { return poller.pictures.size() >= 3; }, kProgressLimit));
  EXPECT_TRUE(closedByClient.load());
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(poller.pictures[0], jpegs[0]);
  EXPECT_EQ(poller.pictures[2], jpegs[2]);
}

TEST_F(StreamReaderTest, ErrorStatusesDoNotStart) {
  const auto jpegs = testJpegs(3);
  HttpTestServer server([&](HttpTestConnection& c) {
    const std::string& target = c.request().target;
    if (target == "/missing") {
      c.send(test::httpResponse(404, {{"Content-Type", "image/jpeg"}}, "not here"));
    } else if (!test::hasBasicAuth(c.request(), "admin", "secret")) {
      c.send(test::httpResponse(
          401, {{"WWW-Authenticate", "Basic realm=\"cam\""}, {"Content-Type", "text/html"}},
          "<html>401</html>"));
    } else {
      if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam"))) return;
      if (!sendSpaced(c, {part("cam", jpegs[0]), part("cam", jpegs[1]), part("cam", jpegs[2])}))
        return;
      c.stallUntilClientCloses(kProgressLimit);
    }
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs * 10);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  const std::pair<std::string, SourceFailure> refusals[] = {
      {"/missing", SourceFailure::NotFound}, {"/protected", SourceFailure::PasswordRefused}};
  for (const auto& [path, reason] : refusals) {
    // The probe runs on the reader's own thread: start() does not wait for it.
    ASSERT_EQ(reader.start(nullptr, server.url(path), 0, StreamReader::ModeProbe),
              StreamReader::Started);
    ASSERT_TRUE(eventually([&] { return reader.pollState() == StreamReader::StateFailed; }))
        << path;
    EXPECT_EQ(reader.pollState(), StreamReader::StateIdle);  // consumed: not streaming
    EXPECT_EQ(reader.health().failure, reason) << path;
    EXPECT_EQ(reader.lastProbe().status, reason == SourceFailure::NotFound ? 404 : 401);
    EXPECT_EQ(reader.lastProbe().mode, StreamReader::ModeIdle);
  }
  // The camera's credentials in the address answer the challenge.
  ASSERT_EQ(reader.start(nullptr, server.urlWithCredentials("admin", "secret", "/protected"), 0,
                         StreamReader::ModeProbe),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(reader, [&] { return poller.pictures.size() >= 2; }));
  EXPECT_EQ(poller.pictures[0], jpegs[0]);
}

TEST_F(StreamReaderTest, StreamThatTurnsIntoAWebPageIsProbedAgain) {
  const auto jpegs = testJpegs(2);
  std::atomic<int> connections{0};
  HttpTestServer server([&](HttpTestConnection& c) {
    if (connections++ == 0) {
      c.send(streamHead("multipart/x-mixed-replace; boundary=cam") + part("cam", jpegs[0]));
      return;
    }
    // From then on a login page, as a camera shows after a reset.
    c.send(test::httpResponse(200, {{"Content-Type", "text/html"}}, "<html>login</html>"));
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs * 10);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  // The probe, the stream that is a web page, and a probe that finds one:
  // the reader stops there instead of reconnecting to the page.
  Poller poller;
  // The reader passes through idle between the failed stream and the second
  // probe, so the wait is for that probe's finding too.
  ASSERT_TRUE(poller.run(reader, [&] {
    return server.requests().size() >= 3 && reader.health().failure == SourceFailure::NotACamera &&
           poller.states.back() == StreamReader::StateIdle &&
           reader.lastProbe().contentType == "text/html";
  }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.requests().size(), 3u);
}

// ---- Single pictures ------------------------------------------------------------

TEST_F(StreamReaderTest, SinglePictureIsFetchedOnceAndHandedOver) {
  const std::string jpeg = testJpegs(1)[0];
  HttpTestServer server(
      test::fixedResponse(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpeg)));
  ASSERT_TRUE(server.ok());
  auto token = std::make_shared<int>(0);
  {
    StreamReader reader(defaultThreadStarter(), kShortWatchdogMs);
    EXPECT_EQ(reader.owner(), nullptr);
    const std::uint32_t before = nowMs();
    ASSERT_EQ(reader.start(ownerOf(token), server.url("/snap.jpg"), 4096, StreamReader::ModeProbe),
              StreamReader::Started);
    const std::uint32_t after = nowMs();
    EXPECT_GE(token.use_count(), 2);  // kept alive by the reader
    const auto owner = reader.owner();
    EXPECT_FALSE(owner.owner_before(ownerOf(token)) || ownerOf(token).owner_before(owner));

    Poller poller;
    ASSERT_TRUE(poller.run(reader, [&] { return !poller.pictures.empty(); }));
    EXPECT_EQ(poller.pictures[0], jpeg);
    // A single picture carries the time of its start.
    EXPECT_GE(elapsedMs(poller.times[0], before), 0);
    EXPECT_LE(elapsedMs(poller.times[0], after), 0);
    EXPECT_EQ(reader.pollState(), StreamReader::StateIdle);
    std::vector<std::uint8_t> none = {1};
    EXPECT_FALSE(reader.takeFrame(none));
    EXPECT_TRUE(none.empty());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.requests().size(), 2u);  // the probe and the download
  }
  EXPECT_EQ(token.use_count(), 1);
}

TEST_F(StreamReaderTest, RateZeroShowsTheFirstPictureOfEachJob) {
  // One reader of the pool serves a still picture, then a stream asked for
  // one picture only: that stream's first picture is still marked.
  const std::vector<std::string> jpegs = testJpegs(2);
  HttpTestServer still(
      test::fixedResponse(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpegs[0])));
  HttpTestServer stream([&](HttpTestConnection& c) {
    if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam"))) return;
    for (int i = 0; i < 200; ++i)
      if (!c.send(part("cam", jpegs[1])) || !c.pause(20ms)) return;
  });
  ASSERT_TRUE(still.ok() && stream.ok());
  StreamReader reader(defaultThreadStarter(), 5000);
  reader.setFrameRate(StreamReader::kFrameRateSelector, 0.0f);
  Poller poller;
  ASSERT_EQ(reader.start(nullptr, still.url("/snap.jpg"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  ASSERT_TRUE(poller.run(reader, [&] { return poller.pictures.size() == 1; }));
  ASSERT_TRUE(poller.run(reader, [&] { return reader.pollState() == StreamReader::StateIdle; }));
  ASSERT_EQ(reader.start(nullptr, stream.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  ASSERT_TRUE(poller.run(reader, [&] { return poller.pictures.size() == 2; }));
  EXPECT_EQ(poller.pictures[1], jpegs[1]);
  // And no other: 0 asks for one picture.
  std::this_thread::sleep_for(200ms);
  poller.poll(reader);
  EXPECT_EQ(poller.pictures.size(), 2u);
}

TEST_F(StreamReaderTest, SinglePictureFailingTwiceEndsFailedAndIdle) {
  std::atomic<int> connections{0};
  HttpTestServer server([&](HttpTestConnection& c) {
    if (connections++ == 0) {
      c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, "x"));
      return;
    }
    // Every download: the picture breaks off after its header.
    c.send(test::httpHead(200, {{"Content-Type", "image/jpeg"}, {"Transfer-Encoding", "chunked"}}) +
           test::httpChunk("abc"));
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), 100);
  ASSERT_EQ(reader.start(nullptr, server.url("/snap.jpg"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  // Not polled meanwhile: two attempts, 500 ms apart, then nothing more
  // (the last attempt's pause ends 500 ms after its request).
  ASSERT_TRUE(server.waitForRequests(3, kProgressLimit));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(server.requests().size(), 3u);
  EXPECT_EQ(reader.pollState(), StreamReader::StateFailed);
  EXPECT_EQ(reader.pollState(), StreamReader::StateIdle);  // mode 0: consumed
  std::vector<std::uint8_t> bytes;
  EXPECT_FALSE(reader.takeFrame(bytes));  // the broken picture was not handed over
  EXPECT_EQ(reader.lastError(), static_cast<std::uint32_t>(HttpError::ConnectionLost));
}

TEST_F(StreamReaderTest, StartDuringARetryTakesOverTheReader) {
  const std::string jpeg = testJpegs(1)[0];
  HttpTestServer server([&](HttpTestConnection& c) {
    if (c.request().target == "/broken.jpg") {
      // The download breaks off inside its chunked body.
      c.send(
          test::httpHead(200, {{"Content-Type", "image/jpeg"}, {"Transfer-Encoding", "chunked"}}) +
          test::httpChunk("abc"));
      return;
    }
    c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpeg));
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), 100);
  auto first = std::make_shared<int>(1);
  auto second = std::make_shared<int>(2);
  ASSERT_EQ(reader.start(ownerOf(first), server.url("/broken.jpg"), 0, StreamReader::ModeSingle),
            StreamReader::Started);
  // The manager sees the first failure while the reader waits to retry, and
  // gives the reader another picture.
  Poller failing;
  ASSERT_TRUE(failing.run(reader, [&] { return failing.saw(StreamReader::StateFailed); }));
  ASSERT_EQ(reader.start(ownerOf(second), server.url("/good.jpg"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  // The reader holds the new owner (its fetch thread may hold a second copy
  // for a moment while it takes the job up).
  EXPECT_GE(second.use_count(), 2);
  // The fetch thread lets go of the old job as it leaves its wait for the retry.
  EXPECT_TRUE(eventually([&] { return first.use_count() == 1; }));
  Poller after;
  ASSERT_TRUE(after.run(reader, [&] { return !after.pictures.empty(); }));
  EXPECT_EQ(after.pictures[0], jpeg);
  std::this_thread::sleep_for(800ms);  // past the old job's retry time
  after.poll(reader);
  EXPECT_EQ(after.pictures.size(), 1u);
  // The old job did not retry: one broken download, then the new picture's
  // probe and download.
  std::vector<std::string> targets;
  for (const auto& request : server.requests()) targets.push_back(request.target);
  EXPECT_EQ(targets, (std::vector<std::string>{"/broken.jpg", "/good.jpg", "/good.jpg"}));
}

// ---- Camera down ------------------------------------------------------------------

std::size_t heapInUse() { return mallinfo2().uordblks; }

TEST_F(StreamReaderTest, CameraDownIsRetriedWithGrowingPausesAndFlatMemory) {
  // Accepts and hangs up without a word, as a camera that is booting does. It
  // waits a little first: a connection ended at once on loopback keeps the
  // reader fetching for well under a poll, too short to be seen under load.
  HttpTestServer server([](HttpTestConnection& c) { c.pause(50ms); });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs);
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeStream),
            StreamReader::Started);
  ASSERT_TRUE(server.waitForRequests(1, kProgressLimit));
  const std::size_t heapBefore = heapInUse();
  Poller poller;
  poller.run(
      reader, [&] { return server.requests().size() >= 4; }, 6000ms);
  const auto requests = server.requests();
  ASSERT_GE(requests.size(), 4u);
  // Attempts 0.5, 1 and 2 s apart, counted from each attempt's start.
  for (std::size_t i = 1; i < 4; ++i) {
    const double expected = 500.0 * static_cast<double>(1u << (i - 1));
    const double gap = msBetween(requests[i - 1].received, requests[i].received);
    EXPECT_GE(gap, expected - 50) << i;
    EXPECT_LT(gap, expected + 1000) << i;
  }
  EXPECT_TRUE(poller.saw(StreamReader::StateFailed));
  EXPECT_TRUE(poller.saw(StreamReader::StateFetching));
  EXPECT_EQ(reader.health().failure, SourceFailure::ConnectionLost);
  EXPECT_GE(reader.health().failures, 3);
  if (!kSanitizedBuild) {
    // The recorded requests grow a little; the reader itself holds nothing more.
    EXPECT_LT(heapInUse(), heapBefore + 64 * 1024);
  }

  // Nothing listening at all: the reason is kept, and a probe fails alike,
  // on the reader's thread.
  const std::string nowhere =
      "http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/cam";
  for (const std::int32_t mode :
       {std::int32_t{StreamReader::ModeStream}, StreamReader::ModeProbe}) {
    StreamReader refused(defaultThreadStarter(), kShortWatchdogMs);
    ASSERT_EQ(refused.start(nullptr, nowhere, 0, mode), StreamReader::Started);
    Poller refusedPoller;
    EXPECT_TRUE(refusedPoller.run(
        refused, [&] { return refusedPoller.saw(StreamReader::StateFailed); }, kProgressLimit));
    EXPECT_EQ(refused.lastError(), static_cast<std::uint32_t>(HttpError::CannotConnect));
    EXPECT_EQ(refused.health().failure, SourceFailure::NotReachable);
  }
}

// ---- Destruction --------------------------------------------------------------------

std::size_t threadCount() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
  }
  return count;
}

// A thread that has just been joined can stay listed for a moment while the
// kernel finishes it, so a count taken right after a join may be one too high.
// This waits until the count has held for 100 ms (or a second has passed).
std::size_t settledThreadCount() {
  const auto deadline = SteadyClock::now() + 1s;
  std::size_t count = threadCount();
  int steady = 0;
  while (steady < 5 && SteadyClock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
    const std::size_t now = threadCount();
    steady = now == count ? steady + 1 : 0;
    count = now;
  }
  return count;
}

TEST_F(StreamReaderTest, DestructionEndsABlockedReadAtOnceAndLeavesNoThreads) {
  const auto jpegs = testJpegs(2);
  std::atomic<bool> clientClosed{false};
  // The process's first new thread may bring a runtime thread of its own
  // (ThreadSanitizer starts its background thread then), so one is started
  // and joined before counting.
  std::thread([] {}).join();
  const std::size_t threadsBefore = settledThreadCount();
  {
    HttpTestServer server([&](HttpTestConnection& c) {
      if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam") + part("cam", jpegs[0]) +
                  part("cam", jpegs[1])))
        return;
      clientClosed = c.stallUntilClientCloses(30s);
    });
    ASSERT_TRUE(server.ok());
    auto reader = std::make_unique<StreamReader>(defaultThreadStarter());  // 60 s watchdog
    reader->setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
    ASSERT_EQ(reader->start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
              StreamReader::Started);
    Poller poller;
    ASSERT_TRUE(poller.run(*reader, [&] { return !poller.pictures.empty(); }));
    std::this_thread::sleep_for(200ms);  // the fetch thread now waits in a read
    const auto began = SteadyClock::now();
    reader.reset();
    EXPECT_LT(msSince(began), 1000);
    ASSERT_TRUE(server.waitForRequests(2));
    // The server's side sees the hang-up when its thread next runs; stopping
    // the server first would end its wait for it.
    EXPECT_TRUE(eventually([&] { return clientClosed.load(); }, 5s));
    server.stop();

    // Destruction during the pause after a failure, and right after construction.
    HttpTestServer down([](HttpTestConnection&) {});
    auto retrying = std::make_unique<StreamReader>(defaultThreadStarter(), kShortWatchdogMs);
    ASSERT_EQ(retrying->start(nullptr, down.url("/cam"), 0, StreamReader::ModeStream),
              StreamReader::Started);
    ASSERT_TRUE(down.waitForRequests(1));
    std::this_thread::sleep_for(100ms);
    const auto began2 = SteadyClock::now();
    retrying.reset();
    EXPECT_LT(msSince(began2), 1000);
    const auto began3 = SteadyClock::now();
    { StreamReader idle(defaultThreadStarter()); }
    EXPECT_LT(msSince(began3), 1000);
  }
  // A joined thread can stay listed for a moment while the kernel finishes it.
  EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }, 1s))
      << threadCount() << " threads, " << threadsBefore << " before";
}

TEST_F(StreamReaderTest, HttpTimeoutsBoundAProbeThatGetsNoAnswer) {
  // Accepts, reads the request and never answers: the HTTP layer's own
  // time-outs end the probe.
  HttpTestServer server([](HttpTestConnection& c) { c.stallUntilClientCloses(kProgressLimit); });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter(), kShortWatchdogMs);
  reader.setHttpTimeouts(300, 300);
  const auto began = SteadyClock::now();
  ASSERT_EQ(reader.start(nullptr, server.url("/cam"), 0, StreamReader::ModeProbe),
            StreamReader::Started);
  ASSERT_TRUE(eventually([&] { return reader.pollState() == StreamReader::StateFailed; }));
  EXPECT_GE(msSince(began), 250);
  EXPECT_LT(msSince(began), 2000);
  EXPECT_EQ(reader.lastError(), static_cast<std::uint32_t>(HttpError::TimedOut));
}

// A camera that is slow to connect or to answer, with the default 60 s HTTP
// time-outs and watchdog: only the reader's own shutdown can end the wait.
struct SlowCamera {
  test::FullBacklog backlog;  // connect hangs
  std::atomic<int> hungUp{0};
  HttpTestServer server{[this](HttpTestConnection& c) {
    // "/head": no answer at all; "/first-part": a stream header, then nothing.
    if (c.request().target == "/first-part" &&
        !c.send(streamHead("multipart/x-mixed-replace; boundary=cam")))
      return;
    if (c.stallUntilClientCloses(30s)) ++hungUp;
  }};

  std::size_t requests = 0;  // test thread

  // Waits until the reader surely waits on `url`, the next one asked for:
  // connecting, or past whatever the server sends on arrival.
  void waitUntilWaiting(const std::string& url) {
    if (url != backlog.url("/cam")) {
      EXPECT_TRUE(server.waitForRequests(++requests, kProgressLimit)) << url;
    }
    std::this_thread::sleep_for(300ms);
  }
};

TEST_F(StreamReaderTest, DestructionEndsAConnectionBeingOpenedWithinASecond) {
  SlowCamera camera;
  ASSERT_NE(camera.backlog.port(), 0);
  ASSERT_TRUE(camera.server.ok());
  const std::string urls[] = {camera.backlog.url("/cam"), camera.server.url("/head")};
  for (const auto& url : urls) {
    auto reader = std::make_unique<StreamReader>(defaultThreadStarter());
    ASSERT_EQ(reader->start(nullptr, url, 0, StreamReader::ModeStream), StreamReader::Started);
    camera.waitUntilWaiting(url);
    const auto destroying = SteadyClock::now();
    reader.reset();
    EXPECT_LT(msSince(destroying), 1000) << url;
  }
  // The reader hung up on the camera that had answered the connection.
  EXPECT_TRUE(eventually([&] { return camera.hungUp.load() == 1; }));
}

TEST_F(StreamReaderTest, ProbeNeverHoldsUpTheOwnerAndShutdownEndsItWithinASecond) {
  SlowCamera camera;
  ASSERT_NE(camera.backlog.port(), 0);
  ASSERT_TRUE(camera.server.ok());
  // Connecting, waiting for the response header, reading the first part.
  const std::string urls[] = {camera.backlog.url("/cam"), camera.server.url("/head"),
                              camera.server.url("/first-part")};
  for (const auto& url : urls) {
    auto reader = std::make_unique<StreamReader>(defaultThreadStarter());
    const auto starting = SteadyClock::now();
    ASSERT_EQ(reader->start(nullptr, url, 0, StreamReader::ModeProbe), StreamReader::Started);
    EXPECT_LT(msSince(starting), 100) << url;
    camera.waitUntilWaiting(url);
    EXPECT_EQ(reader->pollState(), StreamReader::StateFetching) << url;
    const auto destroying = SteadyClock::now();
    reader->shutdown();
    // Nothing starts any more, and nothing waits for the camera.
    EXPECT_EQ(reader->start(nullptr, url, 0, StreamReader::ModeProbe), StreamReader::CouldNotStart);
    reader.reset();
    EXPECT_LT(msSince(destroying), 1000) << url;
  }
  EXPECT_TRUE(eventually([&] { return camera.hungUp.load() == 2; }));
}

TEST_F(StreamReaderTest, StartingAnotherJobEndsTheOldJobsConnectionAttempt) {
  const std::string jpeg = testJpegs(1)[0];
  std::atomic<int> flakyRequests{0};
  std::atomic<bool> retryHungUp{false};
  HttpTestServer server([&](HttpTestConnection& c) {
    if (c.request().target == "/good.jpg") {
      c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpeg));
      return;
    }
    // The first download fails at once; the retry never gets an answer.
    if (++flakyRequests == 2) retryHungUp = c.stallUntilClientCloses(30s);
  });
  ASSERT_TRUE(server.ok());
  StreamReader reader(defaultThreadStarter());  // 60 s HTTP time-outs
  ASSERT_EQ(reader.start(nullptr, server.url("/flaky.jpg"), 0, StreamReader::ModeSingle),
            StreamReader::Started);
  ASSERT_TRUE(server.waitForRequests(2, kProgressLimit));  // the retry waits for its header
  const auto began = SteadyClock::now();
  ASSERT_EQ(reader.start(nullptr, server.url("/good.jpg"), 0, StreamReader::ModeSingle),
            StreamReader::Started);
  Poller poller;
  ASSERT_TRUE(poller.run(
      reader, [&] { return !poller.pictures.empty(); }, kProgressLimit));
  // The failed open is followed by the usual half-second pause.
  EXPECT_LT(msSince(began), 2000);
  EXPECT_EQ(poller.pictures[0], jpeg);
  EXPECT_TRUE(eventually([&] { return retryHungUp.load(); }));
}

TEST_F(StreamReaderTest, NoFetchThreadMeansNoStart) {
  const ThreadStarter refusing = [](std::function<void()>, std::size_t) { return Thread(); };
  StreamReader reader(refusing);
  EXPECT_EQ(reader.start(nullptr, "http://127.0.0.1:1/cam", 0, StreamReader::ModeStream),
            StreamReader::CouldNotStart);
}

// ---- Pacing through the reader, on a stepped clock -------------------------------------

// A camera whose parts the test releases one at a time; each release sends the
// next body followed by the next delimiter, so the part is cut on arrival.
class SteppedCamera {
 public:
  explicit SteppedCamera(std::vector<std::string> jpegs)
      : jpegs_(std::move(jpegs)), server_([this](HttpTestConnection& c) { serve(c); }) {}

  bool ok() const { return server_.ok(); }
  std::string url() const { return server_.url("/cam"); }

  void release() {
    {
      std::lock_guard lock(mutex_);
      ++released_;
    }
    changed_.notify_all();
  }

 private:
  void serve(HttpTestConnection& c) {
    const std::string head = "--cam\r\nContent-Type: image/jpeg\r\n\r\n";
    if (!c.send(streamHead("multipart/x-mixed-replace; boundary=cam") + head)) return;
    if (connections_++ == 0) {
      c.send(jpegs_[0]);  // the probe
      return;
    }
    for (std::size_t i = 0; i < jpegs_.size(); ++i) {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, kProgressLimit, [&] { return released_ > i; })) return;
      lock.unlock();
      if (!c.send(jpegs_[i] + "\r\n" + head)) return;
    }
    c.stallUntilClientCloses(kProgressLimit);
  }

  std::vector<std::string> jpegs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t released_ = 0;  // guarded by mutex_
  std::atomic<int> connections_{0};
  HttpTestServer server_;  // last: its threads stop before the members above go
};

// Ready marks of `count` parts arriving every `stepMs` of the stepped clock.
std::vector<bool> readyMarks(float frameRate, std::size_t count, std::uint32_t stepMs) {
  ManualClock clock(100000);
  const ScopedClock installed(clock);
  SteppedCamera camera(testJpegs(static_cast<int>(count)));
  EXPECT_TRUE(camera.ok());
  StreamReader reader(defaultThreadStarter(), 5000);
  reader.setFrameRate(StreamReader::kFrameRateSelector, frameRate);
  EXPECT_EQ(reader.start(nullptr, camera.url(), 0, StreamReader::ModeProbe), StreamReader::Started);
  std::vector<bool> marks;
  for (std::size_t i = 0; i < count; ++i) {
    clock.advance(stepMs);
    const std::uint32_t now = clock.nowMs();
    camera.release();
    const auto deadline = SteadyClock::now() + kProgressLimit;
    while (reader.lastPartTime() != now && SteadyClock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    EXPECT_EQ(reader.lastPartTime(), now) << "part " << i << " never arrived";
    const std::int32_t state = reader.pollState();
    marks.push_back(state == StreamReader::StateReady);
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(reader.takeFrame(bytes));  // the slot holds every part, marked or not
    EXPECT_EQ(reader.pollState(), StreamReader::StateFetching);
  }
  return marks;
}

TEST_F(StreamReaderTest, FrameRatePacingOnASteppedClock) {
  // 2 per second with parts every 300 ms: the first, then the part nearest
  // each due time 500 ms apart (at 600, 900 and 1500 ms: 100 ms late, 100 ms
  // early, on time).
  EXPECT_EQ(readyMarks(2.0f, 6, 300), (std::vector<bool>{true, false, true, true, false, true}));
  // -1: every picture; 0: only the first.
  EXPECT_EQ(readyMarks(-1.0f, 4, 10), (std::vector<bool>{true, true, true, true}));
  EXPECT_EQ(readyMarks(0.0f, 4, 5000), (std::vector<bool>{true, false, false, false}));
}

}  // namespace
}  // namespace vistel
