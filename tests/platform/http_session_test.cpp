// test-labels: threads network
#include "vistel/platform/http_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/http_test_server.h"
#include "support/python_http_server.h"
#include "support/test_paths.h"
#include "vistel/platform/cookie_store.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using test::HttpTestConnection;
using test::HttpTestServer;
using SteadyClock = std::chrono::steady_clock;

// What one network read may add on top of the buffer limit.
constexpr std::size_t kChunkSlack = 64 * 1024;

// Bounds waits for progress, which end as soon as it is seen: generous, as
// sanitizer builds on a loaded machine run many times slower.
constexpr std::chrono::milliseconds kProgressLimit = 30s;

std::int64_t msSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// Reads the whole body in `step`-byte reads; sets `*failed` on a -1.
std::string readAll(HttpResponse& response, std::size_t step = 32768, HttpError* failed = nullptr) {
  std::string body;
  std::string buffer(step, '\0');
  for (;;) {
    const auto n = response.read(buffer.data(), buffer.size());
    if (n > 0) {
      body.append(buffer.data(), static_cast<std::size_t>(n));
      continue;
    }
    if (failed) *failed = n < 0 ? response.error() : HttpError::None;
    return body;
  }
}

class HttpSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Keeps the user's own cookie jar out of the tests.
    ASSERT_TRUE(CookieStore::instance().useJar(test::scratchDir("http-session") / "cookies.txt"));
  }
  HttpSession session;
};

TEST_F(HttpSessionTest, StatusHeadersAndBodyOfOneResponse) {
  HttpTestServer server(test::fixedResponse(test::httpResponse(
      200, {{"Content-Type", "image/jpeg"}, {"X-Camera", "  front door  "}}, "picture bytes")));
  ASSERT_TRUE(server.ok());
  HttpError error = HttpError::Internal;
  auto response = session.open(server.url("/snap.jpg?resolution=640x480"),
                               HttpOpenFlags::Reload | HttpOpenFlags::Binary, &error);
  ASSERT_TRUE(response) << httpErrorText(error);
  EXPECT_EQ(error, HttpError::None);
  EXPECT_EQ(response->status(), 200);
  EXPECT_EQ(response->header("content-type"), "image/jpeg");
  EXPECT_EQ(response->header("CONTENT-TYPE"), "image/jpeg");
  EXPECT_EQ(response->header("X-Camera"), "front door");
  EXPECT_FALSE(response->header("X-Missing").has_value());
  EXPECT_TRUE(response->isOpen());
  HttpError failed = HttpError::Internal;
  EXPECT_EQ(readAll(*response, 5, &failed), "picture bytes");
  EXPECT_EQ(failed, HttpError::None);
  // The end of the body is sticky and not an error.
  char byte;
  EXPECT_EQ(response->read(&byte, 1), 0);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/snap.jpg?resolution=640x480");
  // Reload keeps proxies from answering out of their caches.
  EXPECT_EQ(requests[0].header("Cache-Control"), "no-cache");
  EXPECT_EQ(requests[0].header("Pragma"), "no-cache");
}

TEST_F(HttpSessionTest, WithoutReloadNoCacheFieldsAreSent) {
  HttpTestServer server(test::fixedResponse(test::httpResponse(200, {}, "x")));
  auto response = session.open(server.url("/"), HttpOpenFlags::Ascii);
  ASSERT_TRUE(response);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_FALSE(server.requests()[0].header("Pragma").has_value());
}

TEST_F(HttpSessionTest, ErrorStatusesAreResponsesWithBodies) {
  HttpTestServer server(
      test::fixedResponse(test::httpResponse(404, {{"Content-Type", "text/html"}}, "<h1>no</h1>")));
  HttpError error = HttpError::Internal;
  auto response = session.open(server.url("/missing.jpg"), HttpOpenFlags::None, &error);
  ASSERT_TRUE(response);
  EXPECT_EQ(error, HttpError::None);
  EXPECT_EQ(response->status(), 404);
  EXPECT_EQ(readAll(*response), "<h1>no</h1>");
}

TEST_F(HttpSessionTest, StatusIsKnownWithoutReadingAnEndlessBody) {
  // A probe opens, looks at the status and closes: it must neither wait for
  // the body nor use HEAD, which cameras often refuse.
  HttpTestServer server([](HttpTestConnection& c) {
    if (!c.send(
            test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace; boundary=frame"}})))
      return;
    while (c.send(std::string(4096, 'x')) && c.pause(1ms)) {
    }
  });
  const auto start = SteadyClock::now();
  auto response = session.open(server.url("/video.cgi"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200);
  EXPECT_EQ(response->header("Content-Type"), "multipart/x-mixed-replace; boundary=frame");
  response->close();
  EXPECT_LT(msSince(start), 5000);
  EXPECT_FALSE(response->isOpen());
  char byte;
  EXPECT_EQ(response->read(&byte, 1), -1);
  EXPECT_EQ(response->error(), HttpError::Closed);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(server.requests()[0].method, "GET");
}

TEST_F(HttpSessionTest, LargeChunkedBodyArrivesWholeInOddPieces) {
  const std::string body = test::patternBytes(300 * 1024 + 17, 7);
  HttpTestServer server([&body](HttpTestConnection& c) {
    if (!c.send(test::httpHead(200, {{"Transfer-Encoding", "chunked"}}))) return;
    std::size_t at = 0;
    std::size_t piece = 1;
    while (at < body.size()) {
      const std::size_t n = std::min(piece, body.size() - at);
      if (!c.send(test::httpChunk(std::string_view(body).substr(at, n)))) return;
      at += n;
      piece = piece * 3 % 40000 + 1;
    }
    c.send(test::httpChunk(""));
  });
  auto response = session.open(server.url("/big"));
  ASSERT_TRUE(response);
  HttpError failed = HttpError::Internal;
  const std::string got = readAll(*response, 32768, &failed);
  EXPECT_EQ(failed, HttpError::None);
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
}

TEST_F(HttpSessionTest, PythonFileServerDeliversALargeFileWhole) {
  const auto root = test::scratchDir("http-python");
  const std::string content = test::patternBytes(1024 * 1024 + 3, 3);
  ASSERT_TRUE(test::writeFile(root / "picture.bin", content));
  test::PythonHttpServer python(root);
  ASSERT_TRUE(python.ok()) << "python3 -m http.server did not start";
  auto response =
      session.open(python.url("/picture.bin"), HttpOpenFlags::Reload | HttpOpenFlags::Binary);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200);
  EXPECT_EQ(response->header("Content-Length"), std::to_string(content.size()));
  HttpError failed = HttpError::Internal;
  const std::string got = readAll(*response, 32768, &failed);
  EXPECT_EQ(failed, HttpError::None);
  EXPECT_TRUE(got == content);

  auto missing = session.open(python.url("/nothing-here.bin"));
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status(), 404);
}

TEST_F(HttpSessionTest, ReadReturnsWhatHasArrivedWithoutWaitingForMore) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {})) && c.send("abc")) c.stallUntilClientCloses(10s);
  });
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  char buffer[100];
  const auto start = SteadyClock::now();
  ASSERT_EQ(response->read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_LT(msSince(start), 5000);
}

TEST_F(HttpSessionTest, AnEndlessStreamIsHeldBackWhileTheReaderLagsBehind) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (!c.send(test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace"}}))) return;
    const std::string block = test::patternBytes(64 * 1024, 5);
    while (c.send(block)) {
    }
  });
  auto response = session.open(server.url("/stream"));
  ASSERT_TRUE(response);
  const std::string block = test::patternBytes(64 * 1024, 5);
  std::string buffer(1000, '\0');
  std::size_t offset = 0;
  for (int i = 0; i < 40; ++i) {
    const auto n = response->read(buffer.data(), buffer.size());
    ASSERT_GT(n, 0);
    for (std::int64_t k = 0; k < n; ++k)
      ASSERT_EQ(buffer[static_cast<std::size_t>(k)],
                block[(offset + static_cast<std::size_t>(k)) % block.size()]);
    offset += static_cast<std::size_t>(n);
    EXPECT_LE(response->bufferedBytes(), HttpResponse::kMaxBufferedBytes + kChunkSlack);
    std::this_thread::sleep_for(5ms);
  }
  // Closing in the middle of an endless body returns at once.
  const auto start = SteadyClock::now();
  response.reset();
  EXPECT_LT(msSince(start), 2000);
}

TEST_F(HttpSessionTest, AbortFromAnotherThreadEndsAStalledReadPromptly) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {})) && c.send("first")) c.stallUntilClientCloses(30s);
  });
  auto response = session.open(server.url("/stalls"));
  ASSERT_TRUE(response);
  char buffer[64];
  ASSERT_EQ(response->read(buffer, sizeof buffer), 5);

  std::atomic<std::int64_t> abortedAtNs{0};
  std::thread watchdog([&] {
    std::this_thread::sleep_for(300ms);
    abortedAtNs.store(SteadyClock::now().time_since_epoch().count());
    response->abort();
  });
  const auto n = response->read(buffer, sizeof buffer);
  const auto returnedAt = SteadyClock::now().time_since_epoch().count();
  watchdog.join();
  EXPECT_EQ(n, -1);
  EXPECT_EQ(response->error(), HttpError::Aborted);
  EXPECT_FALSE(response->isOpen());
  const auto lagMs = (returnedAt - abortedAtNs.load()) / 1'000'000;
  EXPECT_GE(lagMs, 0);
  // The layer promises 100 ms; the bound leaves room for a loaded machine but
  // is well below the layer's internal 1 s wait slice, so a lost wake-up fails.
  EXPECT_LT(lagMs, 500);
  // Once aborted, always aborted.
  EXPECT_EQ(response->read(buffer, sizeof buffer), -1);
  EXPECT_EQ(response->error(), HttpError::Aborted);
}

TEST_F(HttpSessionTest, AbortRacingBusyReadsAlwaysEndsTheReader) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (!c.send(test::httpHead(200, {}))) return;
    const std::string block(1500, 'm');
    while (c.send(block) && c.pause(std::chrono::milliseconds(c.request().target.size() % 2))) {
    }
  });
  for (int round = 0; round < 20; ++round) {
    auto response = session.open(server.url(round % 2 ? "/a" : "/bb"));
    ASSERT_TRUE(response);
    std::atomic<bool> ended{false};
    HttpError reason = HttpError::None;
    std::thread reader([&] {
      char buffer[4096];
      while (response->read(buffer, sizeof buffer) > 0) {
      }
      reason = response->error();
      ended.store(true);
    });
    std::this_thread::sleep_for(std::chrono::microseconds(round * 700));
    response->abort();
    reader.join();
    EXPECT_TRUE(ended.load());
    EXPECT_EQ(reason, HttpError::Aborted) << "round " << round;
  }
}

TEST_F(HttpSessionTest, AbortBeforeReadFailsTheReadAtOnceEvenWithDataBuffered) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {})) && c.send("buffered")) c.stallUntilClientCloses(30s);
  });
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  response->abort();
  char buffer[64];
  EXPECT_EQ(response->read(buffer, sizeof buffer), -1);
  EXPECT_EQ(response->error(), HttpError::Aborted);
}

TEST_F(HttpSessionTest, ReceiveTimeoutEndsAStalledRead) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {})) && c.send("x")) c.stallUntilClientCloses(30s);
  });
  session.setReceiveTimeout(300);
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  char buffer[16];
  ASSERT_EQ(response->read(buffer, sizeof buffer), 1);
  const auto start = SteadyClock::now();
  EXPECT_EQ(response->read(buffer, sizeof buffer), -1);
  const auto waited = msSince(start);
  EXPECT_EQ(response->error(), HttpError::TimedOut);
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 5000);
  // A time-out is a failed read, not an abort: the handle is still open.
  EXPECT_TRUE(response->isOpen());
}

TEST_F(HttpSessionTest, ReceiveTimeoutCountsFromEachReadNotFromTheLastByte) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {})) && c.send("one") && c.pause(250ms)) c.send("two");
  });
  session.setReceiveTimeout(400);
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  std::this_thread::sleep_for(500ms);  // the caller is busy longer than the time-out
  HttpError failed = HttpError::Internal;
  EXPECT_EQ(readAll(*response, 64, &failed), "onetwo");
  EXPECT_EQ(failed, HttpError::None);
}

TEST_F(HttpSessionTest, AServerThatNeverAnswersTimesOutTheOpen) {
  HttpTestServer server([](HttpTestConnection& c) { c.stallUntilClientCloses(30s); });
  session.setReceiveTimeout(300);
  HttpError error = HttpError::None;
  const auto start = SteadyClock::now();
  EXPECT_FALSE(session.open(server.url("/"), HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::TimedOut);
  EXPECT_LT(msSince(start), 5000);
}

TEST_F(HttpSessionTest, AHeaderThatNeverEndsTimesOutTheOpen) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (!c.send("HTTP/1.1 200 OK\r\n")) return;
    for (int i = 0; c.send("X-Drip-" + std::to_string(i) + ": x\r\n") && c.pause(50ms); ++i) {
    }
  });
  session.setReceiveTimeout(400);
  HttpError error = HttpError::None;
  const auto start = SteadyClock::now();
  EXPECT_FALSE(session.open(server.url("/"), HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::TimedOut);
  EXPECT_LT(msSince(start), 5000);
}

TEST_F(HttpSessionTest, AnOversizedHeaderIsRefused) {
  HttpTestServer server([](HttpTestConnection& c) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; head.size() < 400 * 1024; ++i)
      head += "X-Filler-" + std::to_string(i) + ": " + std::string(200, 'f') + "\r\n";
    c.send(head + "\r\nbody");
  });
  HttpError error = HttpError::None;
  EXPECT_FALSE(session.open(server.url("/"), HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::Protocol);
}

TEST_F(HttpSessionTest, ConnectTimeoutEndsAConnectionThatIsNeverAccepted) {
  test::FullBacklog backlog;
  ASSERT_NE(backlog.port(), 0);
  session.setConnectTimeout(300);
  HttpError error = HttpError::None;
  const auto start = SteadyClock::now();
  EXPECT_FALSE(session.open(backlog.url(), HttpOpenFlags::None, &error));
  const auto waited = msSince(start);
  EXPECT_EQ(error, HttpError::TimedOut);
  EXPECT_GE(waited, 250);
  EXPECT_LT(waited, 5000);
}

// ---- Cancelling an open ----------------------------------------------------

TEST_F(HttpSessionTest, CancelEndsAnOpenWaitingForItsConnectionOrHeader) {
  // Default 60 s time-outs throughout: only the cancel can end these opens.
  test::FullBacklog backlog;
  ASSERT_NE(backlog.port(), 0);
  std::atomic<int> closedByClient{0};
  HttpTestServer server([&](HttpTestConnection& c) {
    if (c.request().target == "/moved") {
      c.send(test::httpResponse(302, {{"Location", "/stalls"}}, ""));
      return;
    }
    if (c.stallUntilClientCloses(30s)) ++closedByClient;
  });
  ASSERT_TRUE(server.ok());
  struct Case {
    const char* name;
    std::string url;
    std::size_t requestsBeforeCancel;  // 0: wait a moment instead
  };
  const Case cases[] = {{"connect", backlog.url(), 0},
                        {"header", server.url("/stalls"), 1},
                        {"header after a redirect", server.url("/moved"), 3}};
  for (const Case& c : cases) {
    HttpCancel cancel;
    std::atomic<std::int64_t> cancelledAtNs{0};
    std::thread canceller([&] {
      if (c.requestsBeforeCancel == 0)
        std::this_thread::sleep_for(300ms);
      else
        EXPECT_TRUE(server.waitForRequests(c.requestsBeforeCancel, kProgressLimit)) << c.name;
      cancelledAtNs.store(SteadyClock::now().time_since_epoch().count());
      cancel.cancel();
    });
    HttpError error = HttpError::None;
    const auto response = session.open(c.url, HttpOpenFlags::None, &error, &cancel);
    const auto returnedAt = SteadyClock::now().time_since_epoch().count();
    canceller.join();
    EXPECT_FALSE(response) << c.name;
    EXPECT_EQ(error, HttpError::Aborted) << c.name;
    const auto lagMs = (returnedAt - cancelledAtNs.load()) / 1'000'000;
    EXPECT_GE(lagMs, 0) << c.name;
    EXPECT_LT(lagMs, 500) << c.name;  // well below the layer's 1 s wait slice
  }
  // The cancelled opens hung up on the server.
  const auto deadline = SteadyClock::now() + kProgressLimit;
  while (closedByClient.load() < 2 && SteadyClock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(closedByClient.load(), 2);
}

TEST_F(HttpSessionTest, ACancelledTokenFailsLaterOpensAtOnceUntilReset) {
  HttpTestServer server(test::fixedResponse(test::httpResponse(200, {}, "ok")));
  ASSERT_TRUE(server.ok());
  HttpCancel cancel;
  EXPECT_FALSE(cancel.isCancelled());
  cancel.cancel();
  EXPECT_TRUE(cancel.isCancelled());
  HttpError error = HttpError::None;
  EXPECT_FALSE(session.open(server.url("/first"), HttpOpenFlags::None, &error, &cancel));
  EXPECT_EQ(error, HttpError::Aborted);

  cancel.reset();
  EXPECT_FALSE(cancel.isCancelled());
  auto response = session.open(server.url("/second"), HttpOpenFlags::None, &error, &cancel);
  ASSERT_TRUE(response) << httpErrorText(error);
  // A cancel after open() returned leaves the response alone.
  cancel.cancel();
  EXPECT_EQ(readAll(*response), "ok");
  // The cancelled open never reached the server.
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, "/second");
}

TEST_F(HttpSessionTest, CancelRacingTheStartOfOpensIsNeverLost) {
  HttpTestServer server([](HttpTestConnection& c) { c.stallUntilClientCloses(30s); });
  ASSERT_TRUE(server.ok());
  // A lost cancel would show as this time-out instead of Aborted.
  session.setReceiveTimeout(5000);
  for (int round = 0; round < 30; ++round) {
    HttpCancel cancel;
    HttpError errors[2] = {HttpError::None, HttpError::None};
    std::thread openers[2];
    for (int i = 0; i < 2; ++i)
      openers[i] = std::thread([&, i] {
        EXPECT_FALSE(session.open(server.url("/"), HttpOpenFlags::None, &errors[i], &cancel));
      });
    // From before the opens register with the token to well into their wait.
    std::this_thread::sleep_for(std::chrono::microseconds(round * round * 20));
    const auto cancelledAt = SteadyClock::now();
    cancel.cancel();
    for (auto& opener : openers) opener.join();
    EXPECT_LT(msSince(cancelledAt), 1000) << "round " << round;
    EXPECT_EQ(errors[0], HttpError::Aborted) << "round " << round;
    EXPECT_EQ(errors[1], HttpError::Aborted) << "round " << round;
  }
}

TEST_F(HttpSessionTest, FailuresToOpenGiveNullWithAReason) {
  HttpError error = HttpError::None;
  EXPECT_FALSE(session.open("http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/",
                            HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::CannotConnect);
  EXPECT_FALSE(session.open("ftp://127.0.0.1/picture.jpg", HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::UnsupportedScheme);
  EXPECT_FALSE(session.open("http://", HttpOpenFlags::None, &error));
  EXPECT_EQ(error, HttpError::BadUrl);
  EXPECT_FALSE(session.open("not a url", HttpOpenFlags::None, &error));
  EXPECT_NE(error, HttpError::None);
  // The error pointer is optional.
  EXPECT_FALSE(session.open("http://"));
}

TEST_F(HttpSessionTest, AConnectionClosedInsideTheBodyIsAFailureNotAnEnd) {
  HttpTestServer server([](HttpTestConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n" +
           std::string(500, 'a'));
  });
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  HttpError failed = HttpError::None;
  EXPECT_EQ(readAll(*response, 64, &failed), std::string(500, 'a'));
  EXPECT_EQ(failed, HttpError::ConnectionLost);
}

TEST_F(HttpSessionTest, ABodyWithoutLengthEndsWhenTheServerCloses) {
  HttpTestServer server([](HttpTestConnection& c) {
    c.send("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\n");
    c.sendInPieces(std::string(3000, 'j'), 700, 20ms);
  });
  auto response = session.open(server.url("/"));
  ASSERT_TRUE(response);
  HttpError failed = HttpError::Internal;
  EXPECT_EQ(readAll(*response, 64, &failed), std::string(3000, 'j'));
  EXPECT_EQ(failed, HttpError::None);
}

TEST_F(HttpSessionTest, RedirectsAreFollowedToTheFinalResponse) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (c.request().target == "/old")
      c.send(
          test::httpResponse(302, {{"Location", "/new"}, {"Content-Type", "text/html"}}, "moved"));
    else
      c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, "jpeg"));
  });
  auto response = session.open(server.url("/old"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200);
  EXPECT_EQ(response->header("Content-Type"), "image/jpeg");
  EXPECT_EQ(readAll(*response), "jpeg");
}

TEST_F(HttpSessionTest, BasicCredentialsFromTheUrlAnswerTheChallenge) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (test::hasBasicAuth(c.request(), "viewer", "s3cret"))
      c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, "granted"));
    else
      c.send(test::httpResponse(
          401, {{"WWW-Authenticate", "Basic realm=\"camera\""}, {"Content-Type", "text/html"}},
          "denied"));
  });
  auto response = session.open(server.urlWithCredentials("viewer", "s3cret", "/snap.jpg"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200);
  // The header of the answered request, not of the challenge.
  EXPECT_EQ(response->header("Content-Type"), "image/jpeg");
  EXPECT_EQ(readAll(*response), "granted");

  // Wrong credentials end with the server's 401 instead of a loop.
  auto refused = session.open(server.urlWithCredentials("viewer", "wrong", "/snap.jpg"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status(), 401);
  EXPECT_EQ(readAll(*refused), "denied");

  // No credentials: the challenge is the answer.
  auto anonymous = session.open(server.url("/snap.jpg"));
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status(), 401);
}

TEST_F(HttpSessionTest, DigestCredentialsFromTheUrlAnswerTheChallenge) {
  const std::string realm = "IP camera";
  const std::string nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
  HttpTestServer server([&](HttpTestConnection& c) {
    if (test::hasDigestAuth(c.request(), realm, nonce, "admin", "pa ss"))
      c.send(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, "digest ok"));
    else
      c.send(test::httpResponse(401, {{"WWW-Authenticate", test::digestChallenge(realm, nonce)}},
                                "no"));
  });
  auto response =
      session.open(server.urlWithCredentials("admin", "pa%20ss", "/axis-cgi/jpg/image.cgi?x=1"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status(), 200);
  EXPECT_EQ(readAll(*response), "digest ok");

  auto refused =
      session.open(server.urlWithCredentials("admin", "nope", "/axis-cgi/jpg/image.cgi"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status(), 401);
}

TEST_F(HttpSessionTest, OneSessionServesSeveralThreadsAtOnce) {
  HttpTestServer server([](HttpTestConnection& c) {
    c.pause(50ms);
    c.send(test::httpResponse(200, {}, c.request().target));
  });
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      const std::string path = "/thread/" + std::to_string(i);
      auto response = session.open(server.url(path));
      if (response && readAll(*response) == path) good.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 4);
}

}  // namespace
}  // namespace vistel
