// test-labels: threads network
// The stream reader against ffmpeg's multipart JPEG muxer, an independent
// camera: chunked transfer whose chunks do not line up with the parts, part
// headers spelled "Content-type" and "Content-length", a named boundary.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/ffmpeg_camera.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/imaging/stream_reader.h"
#include "vistel/platform/clock.h"
#include "vistel/platform/cookie_store.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

struct Taken {
  std::vector<std::uint8_t> bytes;
  std::uint32_t time = 0;  // lastPartTime when taken
};

// Takes ready pictures as the image source manager does, for `duration`
// after the first one arrived (waiting at most `firstLimit` for it: generous,
// as ffmpeg starts slowly on a loaded machine).
std::vector<Taken> collect(StreamReader& reader, std::chrono::milliseconds duration,
                           std::chrono::milliseconds firstLimit = 30s) {
  std::vector<Taken> taken;
  auto deadline = SteadyClock::now() + firstLimit;
  while (SteadyClock::now() < deadline) {
    if (reader.pollState() == StreamReader::StateReady) {
      Taken picture;
      if (reader.takeFrame(picture.bytes)) {
        picture.time = reader.lastPartTime();
        if (taken.empty()) deadline = SteadyClock::now() + duration;
        taken.push_back(std::move(picture));
      }
    }
    std::this_thread::sleep_for(2ms);
  }
  return taken;
}

class StreamReaderFfmpegTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::FfmpegCamera::available())
      GTEST_SKIP() << "ffmpeg is not installed (scripts/lib.sh lists it); the ffmpeg camera "
                      "tests need it";
    ASSERT_TRUE(CookieStore::instance().useJar(test::scratchDir("stream-ffmpeg") / "cookies.txt"));
  }
};

TEST_F(StreamReaderFfmpegTest, DeliversDecodablePicturesPacedToTheFrameRate) {
  test::FfmpegCamera camera;  // 640x480 at 25 pictures per second
  ASSERT_TRUE(camera.ok());
  StreamReader reader(defaultThreadStarter(), 5000);
  // 5 per second from 25: a picture is due every 200 ms of the schedule, and
  // the part nearest each due time is taken.
  reader.setFrameRate(StreamReader::kFrameRateSelector, 5.0f);
  ASSERT_EQ(reader.start(nullptr, camera.url(), 0, StreamReader::ModeProbe), StreamReader::Started);
  const auto taken = collect(reader, 3000ms);
  ASSERT_FALSE(taken.empty()) << "no picture from ffmpeg";
  RecordProperty("pictures", static_cast<int>(taken.size()));
  EXPECT_GE(taken.size(), 9u);
  EXPECT_LE(taken.size(), 17u);
  // 200 ms apart on the schedule. One picture taken late (a loaded machine
  // reads the camera in bursts) brings the next one closer, but never two
  // parts in a row, and on average the schedule holds.
  for (std::size_t i = 1; i < taken.size(); ++i) {
    EXPECT_GT(elapsedMs(taken[i].time, taken[i - 1].time), 40) << i;
  }
  if (taken.size() > 1) {
    const double mean =
        double(elapsedMs(taken.back().time, taken.front().time)) / double(taken.size() - 1);
    EXPECT_GT(mean, 160.0);
    EXPECT_LT(mean, 240.0);
  }
  for (const auto& picture : taken) {
    DecodedPicture decoded;
    ASSERT_EQ(decodeJpeg(picture.bytes.data(), picture.bytes.size(), decoded), JpegResult::Ok);
    EXPECT_EQ(decoded.width, 640);
    EXPECT_EQ(decoded.height, 480);
  }
  EXPECT_EQ(camera.connections(), 2);  // the probe's and the stream's
}

TEST_F(StreamReaderFfmpegTest, EveryPictureWithoutPacing) {
  test::FfmpegCamera camera;
  ASSERT_TRUE(camera.ok());
  StreamReader reader(defaultThreadStarter(), 5000);
  reader.setFrameRate(StreamReader::kFrameRateSelector, -1.0f);
  ASSERT_EQ(reader.start(nullptr, camera.url(), 0, StreamReader::ModeProbe), StreamReader::Started);
  const auto taken = collect(reader, 2000ms);
  RecordProperty("pictures", static_cast<int>(taken.size()));
  // About 50 in two seconds; far more than any paced rate would give.
  EXPECT_GE(taken.size(), 30u);
  std::size_t whole = 0;
  for (const auto& picture : taken) {
    DecodedPicture decoded;
    whole += decodeJpeg(picture.bytes.data(), picture.bytes.size(), decoded) == JpegResult::Ok &&
             decoded.width == 640 && decoded.height == 480;
  }
  EXPECT_EQ(whole, taken.size());
}

}  // namespace
}  // namespace vistel
