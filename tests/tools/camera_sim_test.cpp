// test-labels: threads network
// The camera simulator on 127.0.0.1: its pictures carry their frame numbers
// through JPEG coding, every layout reads back through the viewer's own stream
// reader, faults switched at run time reach open streams, it serves many
// clients at once and stops promptly whatever they do.
#include "camera_sim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame_code.h"
#include "live_camera.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/cookie_store.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using sim::CameraFault;
using sim::CameraSimulator;
using sim::StreamLayout;

// Generous: sanitizer builds on a loaded machine run many times slower, and
// every wait ends as soon as its condition holds.
constexpr auto kLimit = 30s;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = kLimit) {
  const auto deadline = SteadyClock::now() + limit;
  while (!done()) {
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::unique_ptr<CameraSimulator> startSimulator(sim::SimulatorOptions options = {}) {
  options.width = kWidth;
  options.height = kHeight;
  std::string error;
  auto simulator = CameraSimulator::start(std::move(options), error);
  EXPECT_NE(simulator, nullptr) << error;
  return simulator;
}

// A bare HTTP client, to see exactly what the simulator sends.
class RawClient {
 public:
  // `receiveBuffer` > 0 shrinks the socket's receive buffer (a client that
  // does not read then blocks the server's sends soon).
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
      (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool get(const std::string& path, const std::string& fields = "") {
    const std::string request =
        "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + fields + "\r\n";
    return connected_ && ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
                             static_cast<ssize_t>(request.size());
  }

  // Reads until `done(received())` holds (true), the server closes the
  // connection or `limit` passes (false).
  bool readUntil(const std::function<bool(const std::string&)>& done,
                 std::chrono::milliseconds limit = kLimit) {
    const auto deadline = SteadyClock::now() + limit;
    while (!done(received_)) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
      if (closed_ || left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[65536];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
      } else {
        received_.append(buffer, static_cast<std::size_t>(n));
      }
    }
    return true;
  }

  // Reads whatever comes for `duration`; true when the server closed meanwhile.
  bool readFor(std::chrono::milliseconds duration) {
    (void)readUntil([](const std::string&) { return false; }, duration);
    return closed_;
  }

  const std::string& received() const { return received_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string received_;
};

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

const std::string kDelimiter = "--" + std::string(sim::kBoundary);

// ---- The frame number in the pixels ----------------------------------------

// `picture` stretched to outW x outH with bilinear interpolation, as a
// renderer showing it at another size would.
std::vector<std::uint8_t> stretched(const DecodedPicture& picture, int outW, int outH) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(outW) * outH * 4);
  for (int y = 0; y < outH; ++y) {
    const double sy =
        std::clamp((y + 0.5) * picture.height / outH - 0.5, 0.0, picture.height - 1.001);
    for (int x = 0; x < outW; ++x) {
      const double sx =
          std::clamp((x + 0.5) * picture.width / outW - 0.5, 0.0, picture.width - 1.001);
      const int x0 = int(sx), y0 = int(sy);
      const double fx = sx - x0, fy = sy - y0;
      for (int c = 0; c < 3; ++c) {
        const auto at = [&](int dx, int dy) {
          return double(picture.pixels[((y0 + dy) * std::size_t(picture.width) + x0 + dx) * 4 + c]);
        };
        const double v = (at(0, 0) * (1 - fx) + at(1, 0) * fx) * (1 - fy) +
                         (at(0, 1) * (1 - fx) + at(1, 1) * fx) * fy;
        out[(y * std::size_t(outW) + x) * 4 + c] = static_cast<std::uint8_t>(v + 0.5);
      }
    }
  }
  return out;
}

TEST(FrameCode, ReadsBackThroughJpegCodingAndStretching) {
  const auto backdrop = sim::streetBackdrop(0, kWidth, kHeight);
  ASSERT_NE(backdrop, nullptr);
  const sim::LiveCamera camera(backdrop);
  for (const std::uint32_t number :
       {0u, 1u, 0x5A5A5Au, 0xABCDEFu, sim::kFrameCodeModulus - 1, sim::kFrameCodeModulus + 77}) {
    std::vector<std::uint8_t> pixels;
    camera.draw(number * 0.04, number, pixels);
    for (const int quality : {85, 30}) {
      sim::JpegBytes jpeg;
      ASSERT_TRUE(sim::encodeJpegInMemory(pixels.data(), kWidth, kHeight, quality,
                                          sim::frameComment("right", number, 4000000000u), jpeg));
      const auto stamp = sim::readFrameStamp(jpeg.data(), jpeg.size());
      ASSERT_TRUE(stamp.has_value());
      EXPECT_EQ(stamp->camera, "right");
      EXPECT_EQ(stamp->frameNumber, number);
      EXPECT_EQ(stamp->sentMs, 4000000000u);

      DecodedPicture decoded;
      ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), decoded), JpegResult::Ok);
      const std::uint32_t expected = number % sim::kFrameCodeModulus;
      EXPECT_EQ(sim::readFrameCode(decoded.pixels.get(), kWidth, kHeight), expected)
          << number << " at quality " << quality;
      const auto big = stretched(decoded, 512, 300);
      EXPECT_EQ(sim::readFrameCode(big.data(), 512, 300, 512.0 / kWidth, 300.0 / kHeight), expected)
          << number << " stretched";
    }
  }

  // No code, and a code with one wrong cell.
  EXPECT_FALSE(sim::readFrameCode(backdrop->pixels.data(), kWidth, kHeight).has_value());
  std::vector<std::uint8_t> pixels = backdrop->pixels;
  sim::drawFrameCode(pixels.data(), kWidth, kHeight, 12345);
  ASSERT_EQ(sim::readFrameCode(pixels.data(), kWidth, kHeight), 12345u);
  const int cell = sim::kFrameCodeCell;
  for (int y = 2 * cell; y < 3 * cell; ++y) {  // the second row's first cell
    for (int x = cell; x < 2 * cell; ++x) {
      std::uint8_t* p = &pixels[(y * std::size_t(kWidth) + x) * 4];
      p[0] = p[1] = p[2] = static_cast<std::uint8_t>(255 - p[0]);
    }
  }
  EXPECT_FALSE(sim::readFrameCode(pixels.data(), kWidth, kHeight).has_value());
}

// ---- Through the viewer's stream reader ------------------------------------

class CameraSimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CookieStore::instance().useJar(test::scratchDir("camera-sim") / "cookies.txt"));
  }
};

// An owner for start(): the reader only keeps it, so a token stands in.
std::shared_ptr<ImageSource> ownerOf(const std::shared_ptr<int>& token) {
  return std::shared_ptr<ImageSource>(token, nullptr);
}

// Takes pictures the way the image source manager does until `wanted` came.
std::vector<sim::JpegBytes> takePictures(StreamReader& reader, std::size_t wanted) {
  std::vector<sim::JpegBytes> pictures;
  (void)eventually([&] {
    if (reader.pollState() == StreamReader::StateReady) {
      std::vector<std::uint8_t> bytes;
      if (reader.takeFrame(bytes)) pictures.push_back(std::move(bytes));
    }
    return pictures.size() >= wanted;
  });
  return pictures;
}

TEST_F(CameraSimulatorTest, EveryLayoutReadsBackThroughTheStreamReader) {
  sim::PartLog log;
  sim::SimulatorOptions options;
  options.fps = 25;
  options.onPartSent = log.hook();
  const auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  const auto token = std::make_shared<int>(0);

  for (const StreamLayout layout :
       {StreamLayout::DelimiterBefore, StreamLayout::DelimiterAfter, StreamLayout::NoBoundary,
        StreamLayout::QuotedBoundary, StreamLayout::Single}) {
    SCOPED_TRACE(std::string(sim::layoutName(layout)));
    simulator->setLayout(0, layout);
    const bool single = layout == StreamLayout::Single;
    std::vector<sim::JpegBytes> pictures;
    StreamReader reader(defaultThreadStarter());
    reader.setFrameRate(StreamReader::kFrameRateSelector, -1);
    // A single picture per start; a stream goes on.
    for (int start = 0; start < (single ? 3 : 1); ++start) {
      ASSERT_EQ(reader.start(ownerOf(token), simulator->url(0), 65536, StreamReader::ModeProbe),
                StreamReader::Started);
      for (auto& picture : takePictures(reader, single ? 1 : 3)) pictures.push_back(picture);
      // The probe runs on the reader's thread, before its first picture.
      EXPECT_EQ(reader.lastProbe().mode,
                single ? StreamReader::ModeSingle : StreamReader::ModeStream);
    }
    ASSERT_EQ(pictures.size(), 3u);

    std::optional<std::uint32_t> previous;
    for (const sim::JpegBytes& jpeg : pictures) {
      const auto stamp = sim::readFrameStamp(jpeg.data(), jpeg.size());
      ASSERT_TRUE(stamp.has_value());
      EXPECT_EQ(stamp->camera, "left");
      DecodedPicture decoded;
      ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), decoded), JpegResult::Ok);
      EXPECT_EQ(decoded.width, kWidth);
      EXPECT_EQ(sim::readFrameCode(decoded.pixels.get(), decoded.width, decoded.height),
                stamp->frameNumber);
      // A stream sends every picture once; single requests in quick
      // succession may get the same current picture.
      if (previous && single) {
        EXPECT_GE(stamp->frameNumber, *previous);
      } else if (previous) {
        EXPECT_GT(stamp->frameNumber, *previous);
      }
      previous = stamp->frameNumber;
      const auto sent = log.find(0, stamp->frameNumber);
      ASSERT_TRUE(sent.has_value()) << stamp->frameNumber;
      EXPECT_EQ(sent->sentMs, stamp->sentMs);
      EXPECT_LE(sent->lastByte, SteadyClock::now());
      EXPECT_FALSE(log.find(1, stamp->frameNumber).has_value());
    }
  }
  const sim::CameraCounters counters = simulator->counters(0);
  EXPECT_GE(counters.partsSent, 15u);
  EXPECT_EQ(simulator->counters(1).connections, 0u);
}

// ---- On the wire ------------------------------------------------------------

TEST(CameraSimulator, LayoutsFrameThePicturesAsCamerasDo) {
  const auto simulator = startSimulator();
  ASSERT_NE(simulator, nullptr);
  // What a client gets until `until` appeared `times` times.
  const auto streamOf = [&](StreamLayout layout, const std::string& until, std::size_t times) {
    simulator->setLayout(1, layout);
    RawClient client(simulator->port(1));
    EXPECT_TRUE(client.get("/video.mjpg"));
    EXPECT_TRUE(client.readUntil([&](const std::string& r) { return count(r, until) >= times; }));
    return client.received();
  };
  const std::string kPictureEnd = "\xFF\xD9";

  // Delimiter and length before the picture; the part is whole at its last byte.
  const std::string before = streamOf(StreamLayout::DelimiterBefore, kPictureEnd, 1);
  EXPECT_NE(before.find("Content-Type: multipart/x-mixed-replace;boundary=" +
                        std::string(sim::kBoundary) + "\r\n"),
            std::string::npos);
  const std::size_t body = before.find("\r\n\r\n", before.find(kDelimiter)) + 4;
  const std::size_t length = before.find("Content-Length: ", before.find(kDelimiter));
  ASSERT_LT(length, body);
  EXPECT_EQ(before.substr(body, 2), "\xFF\xD8");
  EXPECT_EQ(before.substr(body + std::stoul(before.substr(length + 16)) - 2, 2), "\xFF\xD9");

  // Delimiter after each picture: the next part's headers follow the picture
  // at once, without lengths.
  const std::string nextHeaders =
      kPictureEnd + "\r\n" + kDelimiter + "\r\nContent-Type: image/jpeg\r\n\r\n";
  const std::string after = streamOf(StreamLayout::DelimiterAfter, nextHeaders, 2);
  EXPECT_TRUE(after.ends_with(nextHeaders));
  EXPECT_EQ(count(after, "Content-Length"), 0u);

  const std::string bare = streamOf(StreamLayout::NoBoundary, kPictureEnd, 2);
  EXPECT_NE(bare.find("Content-Type: multipart/x-mixed-replace\r\n"), std::string::npos);
  EXPECT_EQ(count(bare, kDelimiter + "\r\nContent-Type: image/jpeg\r\n\r\n\xFF\xD8"), 2u);

  const std::string quoted = streamOf(StreamLayout::QuotedBoundary, kPictureEnd, 1);
  EXPECT_NE(quoted.find("boundary=\"" + std::string(sim::kBoundary) + "\"\r\n"), std::string::npos);
}

TEST(CameraSimulator, FaultsSwitchedAtRunTimeReachOpenStreams) {
  const auto simulator = startSimulator();
  ASSERT_NE(simulator, nullptr);
  RawClient client(simulator->port(0));
  ASSERT_TRUE(client.get("/video.mjpg"));
  ASSERT_TRUE(client.readUntil([](const std::string& r) { return count(r, kDelimiter) >= 2; }));

  // Stalled: nothing more on the open connection; cleared: pictures again.
  simulator->setFault(0, CameraFault::StallBody);
  client.readFor(150ms);  // a picture already on its way may still arrive
  const std::size_t stalledAt = client.received().size();
  EXPECT_FALSE(client.readFor(400ms));
  EXPECT_EQ(client.received().size(), stalledAt);
  simulator->setFault(0, CameraFault::None);
  const std::size_t parts = count(client.received(), kDelimiter);
  ASSERT_TRUE(client.readUntil(
      [parts](const std::string& r) { return count(r, kDelimiter) >= parts + 2; }));

  // Closed in the middle of the next picture: fewer bytes than its length.
  simulator->setFault(0, CameraFault::CloseMidPart);
  EXPECT_TRUE(client.readFor(5s));
  const std::string& r = client.received();
  const std::size_t last = r.rfind(kDelimiter);
  const std::size_t body = r.find("\r\n\r\n", last) + 4;
  const std::size_t length = r.find("Content-Length: ", last);
  ASSERT_LT(length, body);
  EXPECT_LT(r.size() - body, std::stoul(r.substr(length + 16)));

  // A camera that stalled on accepting answers the waiting request once it recovers.
  simulator->setFault(1, CameraFault::Stall);
  RawClient waiting(simulator->port(1));
  ASSERT_TRUE(waiting.get("/video.mjpg"));
  EXPECT_FALSE(waiting.readFor(300ms));
  EXPECT_TRUE(waiting.received().empty());
  simulator->setFault(1, CameraFault::None);
  EXPECT_TRUE(waiting.readUntil([](const std::string& r) { return count(r, kDelimiter) >= 1; }));
  EXPECT_TRUE(waiting.received().starts_with("HTTP/1.1 200 "));

  // Now every request is asked for credentials; a right answer streams.
  simulator->setFault(0, CameraFault::BasicAuth);
  RawClient refused(simulator->port(0));
  ASSERT_TRUE(refused.get("/video.mjpg"));
  EXPECT_TRUE(refused.readFor(5s));
  EXPECT_TRUE(refused.received().starts_with("HTTP/1.1 401 "));
  EXPECT_NE(refused.received().find("WWW-Authenticate: Basic realm=\"" + std::string(sim::kRealm)),
            std::string::npos);
  RawClient admitted(simulator->port(0));
  ASSERT_TRUE(admitted.get("/video.mjpg", "Authorization: Basic YWRtaW46c2VjcmV0\r\n"));
  EXPECT_TRUE(admitted.readUntil([](const std::string& r) { return count(r, kDelimiter) >= 2; }));
  EXPECT_TRUE(admitted.received().starts_with("HTTP/1.1 200 "))
      << admitted.received().substr(0, 300);
  EXPECT_EQ(simulator->counters(0).unauthorized, 1u);
}

// ---- Load and shutdown --------------------------------------------------------

TEST(CameraSimulator, ServesManyClientsAtOnce) {
  sim::SimulatorOptions options;
  options.fps = 30;
  const auto simulator = startSimulator(options);
  ASSERT_NE(simulator, nullptr);
  constexpr int kClients = 24;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<RawClient>(simulator->port(1)));
    ASSERT_TRUE(clients.back()->get(i % 4 == 0 ? "/snapshot.jpg" : "/video.mjpg"));
  }
  std::vector<std::thread> readers;
  std::vector<int> done(kClients, 0);
  for (int i = 0; i < kClients; ++i) {
    readers.emplace_back([&, i] {
      if (i % 4 == 0) {  // a single picture, then the camera closes
        done[i] = clients[i]->readFor(kLimit) && clients[i]->received().ends_with("\xFF\xD9");
      } else {  // three whole pictures
        done[i] =
            clients[i]->readUntil([](const std::string& r) { return count(r, kDelimiter) >= 4; });
      }
    });
  }
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(std::count(done.begin(), done.end(), 1), kClients);
  const sim::CameraCounters counters = simulator->counters(1);
  EXPECT_EQ(counters.connections, std::uint64_t{kClients});
  EXPECT_EQ(counters.requests, std::uint64_t{kClients});
  clients.clear();
  EXPECT_TRUE(eventually([&] { return simulator->counters(1).openConnections == 0; }));
}

TEST(CameraSimulator, StopsPromptlyWithClientsConnected) {
  const auto simulator = startSimulator();
  ASSERT_NE(simulator, nullptr);
  simulator->setFault(1, CameraFault::Stall);
  RawClient reading(simulator->port(0));
  RawClient notReading(simulator->port(0), 4096);
  RawClient silent(simulator->port(0));  // sends no request
  RawClient stalled(simulator->port(1));
  ASSERT_TRUE(reading.get("/video.mjpg"));
  ASSERT_TRUE(notReading.get("/video.mjpg"));
  ASSERT_TRUE(stalled.get("/video.mjpg"));
  ASSERT_TRUE(reading.readUntil([](const std::string& r) { return count(r, kDelimiter) >= 3; }));
  ASSERT_TRUE(eventually([&] {
    return simulator->counters(0).connections == 3 && simulator->counters(1).connections == 1;
  }));

  const auto began = SteadyClock::now();
  simulator->stop();
  const auto took = SteadyClock::now() - began;
  EXPECT_LT(took, 2s) << std::chrono::duration<double>(took).count() << " s";
  for (RawClient* client : {&reading, &silent, &stalled}) EXPECT_TRUE(client->readFor(5s));
  EXPECT_EQ(simulator->counters(0).openConnections, 0u);
}

}  // namespace
}  // namespace vistel
