// test-labels: threads network
// test-resources: rtsp-camera
// One RTSP connection through libav against GStreamer's RTSP server on
// loopback: what arrives (size, colours, frame numbers) for each codec and
// transport, and how each fault ends a connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "frame_code.h"
#include "support/http_test_server.h"
#include "support/rtsp_test_camera.h"
#include "vistel/imaging/rtsp_stream_p.h"
#include "vistel/platform/clock.h"

namespace vistel::detail {
namespace {

using namespace std::chrono_literals;
using test::RtspTestCamera;
using Clock = std::chrono::steady_clock;

RtspAddress addressOf(const std::string& url) {
  RtspAddress address;
  EXPECT_TRUE(parseRtspAddress(url, address)) << url;
  return address;
}

struct Bgr {
  int b, g, r;
};

// The mean colour of a 9 x 9 block around (x, y).
Bgr colourAt(const DecodedPicture& picture, int x, int y) {
  int sum[3] = {0, 0, 0};
  for (int dy = -4; dy <= 4; ++dy) {
    for (int dx = -4; dx <= 4; ++dx) {
      const std::uint8_t* p =
          picture.pixels.get() + (static_cast<std::size_t>(y + dy) * picture.width + x + dx) * 4;
      for (int c = 0; c < 3; ++c) sum[c] += p[c];
    }
  }
  return {sum[0] / 81, sum[1] / 81, sum[2] / 81};
}

// Checks the camera's picture: its quarters' colours, the layout's fourth and
// spare bytes, and its frame number, which it returns.
std::optional<std::uint32_t> checkPicture(const DecodedPicture& picture, int width, int height) {
  EXPECT_EQ(picture.width, width);
  EXPECT_EQ(picture.height, height);
  if (!picture.pixels || picture.width != width || picture.height != height) return std::nullopt;
  EXPECT_EQ(picture.bufferSize, width * (height + 1) * 4 + 4);
  constexpr int kTolerance = 24;
  const struct {
    int x, y;
    Bgr want;
  } quarters[] = {{width / 4, height * 3 / 8, {0, 0, 255}},  // red, below the code
                  {width * 3 / 4, height / 4, {0, 255, 0}},
                  {width / 4, height * 3 / 4, {255, 0, 0}},
                  {width * 3 / 4, height * 3 / 4, {255, 255, 255}}};
  for (const auto& q : quarters) {
    const Bgr got = colourAt(picture, q.x, q.y);
    EXPECT_NEAR(got.b, q.want.b, kTolerance) << "at " << q.x << "," << q.y;
    EXPECT_NEAR(got.g, q.want.g, kTolerance) << "at " << q.x << "," << q.y;
    EXPECT_NEAR(got.r, q.want.r, kTolerance) << "at " << q.x << "," << q.y;
  }
  for (std::size_t i = 3; i < static_cast<std::size_t>(width) * height * 4; i += 4 * 97) {
    EXPECT_EQ(picture.pixels[i], 0) << "fourth byte of pixel " << i / 4;
  }
  const std::size_t spare = static_cast<std::size_t>(width) * height * 4;
  for (std::size_t i = spare; i < static_cast<std::size_t>(picture.bufferSize); ++i) {
    if (picture.pixels[i] != 0) {
      ADD_FAILURE() << "spare byte " << i - spare << " is " << int(picture.pixels[i]);
      break;
    }
  }
  return sim::readFrameCode(picture.pixels.get(), width, height);
}

class RtspStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RtspTestCamera::available())
      GTEST_SKIP() << "python3-gi with gir1.2-gst-rtsp-server-1.0 is not installed "
                      "(scripts/lib.sh lists them)";
  }
};

TEST_F(RtspStreamTest, DecodesEachCodecOverEachTransportIntoThePictureLayout) {
  RtspTestCamera camera({.width = 320, .height = 240});
  ASSERT_TRUE(camera.ok());
  const struct {
    const char* mount;
    const char* query;
    const char* codec;
  } cases[] = {{"/h264", "", "h264"},
               {"/h265", "", "hevc"},
               {"/h265-slices", "", "hevc"},
               {"/mjpeg", "", "mjpeg"},
               {"/h264", "?transport=udp", "h264"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mount) + c.query);
    RtspStream stream;
    ASSERT_EQ(stream.open(addressOf(camera.url(c.mount) + c.query)), RtspResult::Ok);
    EXPECT_EQ(stream.info().codec, c.codec);
    EXPECT_EQ(stream.info().transport, *c.query ? RtspTransport::Udp : RtspTransport::Tcp);
    std::optional<std::uint32_t> previous;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(stream.nextPicture(), RtspResult::Ok) << "picture " << i;
      const std::optional<std::uint32_t> number = checkPicture(stream.convert(), 320, 240);
      ASSERT_TRUE(number) << "picture " << i << " has no readable frame number";
      // Every picture decoded, in order: the camera numbers them one by one.
      if (previous) {
        EXPECT_EQ(*number, *previous + 1);
      }
      previous = number;
    }
    // JPEG's profile ("Baseline") too comes with the first picture at the latest.
    EXPECT_FALSE(stream.info().profile.empty());
  }
}

TEST_F(RtspStreamTest, NamesWhyACameraGivesNoPictures) {
  RtspTestCamera open({});
  RtspTestCamera locked({.credentials = "admin:s3cret"});
  RtspTestCamera basic({.credentials = "admin:s3cret", .basicAuth = true});
  ASSERT_TRUE(open.ok() && locked.ok() && basic.ok());
  RtspStream stream;
  EXPECT_EQ(stream.open(addressOf(open.url("/vp8"))), RtspResult::UnsupportedCodec);
  EXPECT_EQ(stream.info().codec, "vp8");
  EXPECT_EQ(stream.open(addressOf(open.url("/audio"))), RtspResult::NoVideo);
  EXPECT_EQ(stream.open(addressOf(open.url("/no-such-stream"))), RtspResult::NotFound);
  EXPECT_EQ(stream.info().httpStatus, 404);
  EXPECT_EQ(stream.open(addressOf(locked.url("/h264"))), RtspResult::PasswordRefused);
  EXPECT_EQ(stream.info().httpStatus, 401);
  EXPECT_EQ(stream.open(addressOf(locked.url("/h264", "admin:wrong"))),
            RtspResult::PasswordRefused);
  // Digest and Basic answers from the address's user information.
  for (RtspTestCamera* camera : {&locked, &basic}) {
    SCOPED_TRACE(camera == &basic ? "basic" : "digest");
    ASSERT_EQ(stream.open(addressOf(camera->url("/h264", "admin:s3cret"))), RtspResult::Ok);
    EXPECT_EQ(stream.nextPicture(), RtspResult::Ok);
  }

  // A web server at an rtsp:// address.
  test::HttpTestServer web([](test::HttpTestConnection& connection) {
    (void)connection.send(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 13\r\n\r\n"
        "<html></html>");
  });
  ASSERT_TRUE(web.ok());
  EXPECT_EQ(stream.open(addressOf("rtsp://127.0.0.1:" + std::to_string(web.port()) + "/h264")),
            RtspResult::NotACamera);

  // A port nobody listens on.
  const auto started = Clock::now();
  EXPECT_EQ(stream.open(addressOf("rtsp://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) +
                                  "/h264")),
            RtspResult::NotReachable);
  EXPECT_LT(Clock::now() - started, 2s);
}

TEST_F(RtspStreamTest, ASilentPeerOrStreamEndsAfterTheSilenceLimit) {
  // A peer that takes the connection and never answers.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  RtspStream stream;
  stream.setSilenceLimit(800);
  auto started = Clock::now();
  EXPECT_EQ(stream.open(
                addressOf("rtsp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/h264")),
            RtspResult::Silent);
  EXPECT_GE(Clock::now() - started, 700ms);
  EXPECT_LT(Clock::now() - started, 3s);
  ::close(listener);

  // A stream that stops sending pictures and keeps the connection.
  RtspTestCamera camera({});
  ASSERT_TRUE(camera.ok());
  ASSERT_EQ(stream.open(addressOf(camera.url("/h264"))), RtspResult::Ok);
  ASSERT_EQ(stream.nextPicture(), RtspResult::Ok);
  ASSERT_TRUE(camera.command("stall"));
  started = Clock::now();
  RtspResult result = RtspResult::Ok;
  while (result == RtspResult::Ok && Clock::now() - started < 5s) result = stream.nextPicture();
  EXPECT_EQ(result, RtspResult::Silent);
  EXPECT_LT(Clock::now() - started, 3s);

  // stop() from another thread ends a wait at once.
  ASSERT_TRUE(camera.command("resume"));
  ASSERT_EQ(stream.open(addressOf(camera.url("/h264"))), RtspResult::Ok);
  ASSERT_TRUE(camera.command("stall"));
  stream.setSilenceLimit(60000);
  std::thread stopper([&] {
    std::this_thread::sleep_for(300ms);
    stream.stop();
  });
  started = Clock::now();
  while (result != RtspResult::Stopped && Clock::now() - started < 5s)
    result = stream.nextPicture();
  stopper.join();
  EXPECT_EQ(result, RtspResult::Stopped);
  EXPECT_LT(Clock::now() - started, 1500ms);
  EXPECT_EQ(stream.open(addressOf(camera.url("/h264"))), RtspResult::Stopped);
}

TEST_F(RtspStreamTest, LostPacketsShowNoGarbageBeyondTheNextKeyPicture) {
  // Pictures change only in their frame number; a picture decoded from a
  // damaged reference shows a mixture of two numbers, which fails the check.
  RtspTestCamera camera({.keyInterval = 20});
  ASSERT_TRUE(camera.ok());
  for (const char* mount : {"/h264", "/h265"}) {
    SCOPED_TRACE(mount);
    RtspStream stream;
    ASSERT_EQ(stream.open(addressOf(camera.url(mount) + "?transport=udp")), RtspResult::Ok);
    ASSERT_EQ(stream.nextPicture(), RtspResult::Ok);
    ASSERT_TRUE(camera.command("drop 12"));
    // The twelve packets are gone well within this.
    const std::uint32_t lossOver = nowMs() + 400;
    struct Seen {
      std::uint32_t at;
      bool key;
      std::optional<std::uint32_t> number;
    };
    std::vector<Seen> seen;
    const auto until = Clock::now() + 3000ms;
    while (Clock::now() < until) {
      ASSERT_EQ(stream.nextPicture(), RtspResult::Ok);
      const DecodedPicture picture = stream.convert();
      ASSERT_TRUE(picture.pixels);
      seen.push_back({nowMs(), stream.picture().keyPicture,
                      sim::readFrameCode(picture.pixels.get(), picture.width, picture.height)});
    }
    std::size_t key = 0;
    while (key < seen.size() && !(seen[key].key && elapsedMs(seen[key].at, lossOver) > 0)) ++key;
    ASSERT_LT(key, seen.size()) << "no key picture after the loss";
    bool damage = false;
    for (std::size_t i = 1; i <= key; ++i) {
      damage = damage || !seen[i].number || !seen[i - 1].number ||
               *seen[i].number != *seen[i - 1].number + 1;
    }
    EXPECT_TRUE(damage) << "the loss left no trace: the test saw no fault";
    for (std::size_t i = key; i < seen.size(); ++i) {
      ASSERT_TRUE(seen[i].number) << "garbage " << i - key << " pictures after the key picture";
      if (i > key) {
        EXPECT_EQ(*seen[i].number, *seen[i - 1].number + 1);
      }
    }
    EXPECT_GT(seen.size() - key, 15u);
  }
}

TEST_F(RtspStreamTest, AServerThatDiesMidStreamEndsTheConnectionAndCanBeReachedAgain) {
  auto camera =
      std::make_unique<RtspTestCamera>(RtspTestCamera::Options{.width = 640, .height = 480});
  ASSERT_TRUE(camera->ok());
  const std::uint16_t port = camera->port();
  RtspStream stream;
  ASSERT_EQ(stream.open(addressOf(camera->url("/h264"))), RtspResult::Ok);
  ASSERT_EQ(stream.nextPicture(), RtspResult::Ok);
  camera.reset();  // killed, whatever it was sending
  const auto started = Clock::now();
  RtspResult result = RtspResult::Ok;
  while (result == RtspResult::Ok && Clock::now() - started < 5s) result = stream.nextPicture();
  EXPECT_EQ(result, RtspResult::ConnectionLost);
  EXPECT_LT(Clock::now() - started, 2s);

  camera = std::make_unique<RtspTestCamera>(
      RtspTestCamera::Options{.width = 640, .height = 480, .port = port});
  ASSERT_TRUE(camera->ok());
  ASSERT_EQ(stream.open(addressOf(camera->url("/h264"))), RtspResult::Ok);
  ASSERT_EQ(stream.nextPicture(), RtspResult::Ok);
  EXPECT_TRUE(checkPicture(stream.convert(), 640, 480));
}

}  // namespace
}  // namespace vistel::detail
