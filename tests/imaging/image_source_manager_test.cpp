// test-labels: threads
#include "vistel/imaging/image_source_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "support/wait_for.h"
#include "vistel/platform/clock.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Info = ImageSourceManager::SourceInfo;

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> sceneJpeg(int width, int height) {
  return bytesOf(test::encodeTestJpeg(test::cornerScene(width, height), width, height));
}

std::int32_t decodedSizeOf(int width, int height) { return width * (height + 1) * 4 + 4; }

using test::waitFor;

// A reader driven by the test: it never touches the network; the test says
// when it has a picture or failed. Shared between the test thread and the
// manager's loader thread through its own lock.
class FakeReader final : public SourceReader {
 public:
  struct Start {
    std::string url;
    std::int32_t mode;
    float frameRate;
  };

  std::int32_t start(std::shared_ptr<ImageSource> owner, std::string_view url, std::size_t,
                     std::int32_t mode) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (state_ == StreamReader::StateFetching) return StreamReader::AlreadyFetching;
    owner_ = std::move(owner);
    starts_.push_back({std::string(url), mode, frameRate_});
    streaming_ = streamNext_;
    state_ = StreamReader::StateFetching;
    return StreamReader::Started;
  }
  void setFrameRate(std::int32_t selector, float value) override {
    std::lock_guard<std::mutex> guard(lock_);
    ++rateCalls_;
    if (selector == StreamReader::kFrameRateSelector) frameRate_ = value;
  }
  std::int32_t pollState() override {
    std::lock_guard<std::mutex> guard(lock_);
    ++polls_;
    if (held_) return StreamReader::StateFetching;
    const std::int32_t state = state_;
    if (state == StreamReader::StateFailed && streaming_) {
      state_ = StreamReader::StateFetching;  // a stream reconnects
    } else if ((state == StreamReader::StateReady || state == StreamReader::StateFailed) &&
               !streaming_) {
      state_ = StreamReader::StateIdle;
    }
    return state;
  }
  bool takeFrame(std::vector<std::uint8_t>& out) override {
    std::lock_guard<std::mutex> guard(lock_);
    out.clear();
    if (slot_.empty()) return false;
    out.swap(slot_);
    if (streaming_) state_ = StreamReader::StateFetching;
    return true;
  }
  std::shared_ptr<ImageSource> owner() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return owner_;
  }
  std::uint32_t lastPartTime() const override {
    std::lock_guard<std::mutex> guard(lock_);
    return partTime_;
  }

  // ---- The test's side ----
  // Whether the next start behaves like a stream (stays busy on its source).
  void streamNext(bool stream) {
    std::lock_guard<std::mutex> guard(lock_);
    streamNext_ = stream;
  }
  // While held the reader looks busy, so it is given nothing.
  void hold(bool held) {
    std::lock_guard<std::mutex> guard(lock_);
    held_ = held;
  }
  void deliver(std::vector<std::uint8_t> jpeg, std::uint32_t partTime) {
    std::lock_guard<std::mutex> guard(lock_);
    slot_ = std::move(jpeg);
    partTime_ = partTime;
    state_ = StreamReader::StateReady;
  }
  void fail() {
    std::lock_guard<std::mutex> guard(lock_);
    state_ = StreamReader::StateFailed;
  }
  std::vector<Start> starts() const {
    std::lock_guard<std::mutex> guard(lock_);
    return starts_;
  }
  int polls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return polls_;
  }
  float frameRate() const {
    std::lock_guard<std::mutex> guard(lock_);
    return frameRate_;
  }
  int rateCalls() const {
    std::lock_guard<std::mutex> guard(lock_);
    return rateCalls_;
  }
  // Waits until the loader thread has polled this reader `count` more times,
  // so everything set before has been seen and handled.
  bool waitForPolls(int count = 2) const {
    const int target = polls() + count;
    return waitFor([&] { return polls() >= target; });
  }

 private:
  mutable std::mutex lock_;
  std::int32_t state_ = StreamReader::StateIdle;
  bool streaming_ = false;
  bool streamNext_ = false;
  bool held_ = false;
  std::shared_ptr<ImageSource> owner_;
  std::vector<std::uint8_t> slot_;
  std::uint32_t partTime_ = 0;
  float frameRate_ = 0.0f;
  std::vector<Start> starts_;
  int polls_ = 0;
  int rateCalls_ = 0;
};

// Hands out readers the test keeps pointers to.
struct FakePool {
  std::vector<FakeReader*> readers;
  SourceReaderFactory factory() {
    return [this](const ThreadStarter&) -> std::unique_ptr<SourceReader> {
      auto reader = std::make_unique<FakeReader>();
      readers.push_back(reader.get());
      return reader;
    };
  }
};

class TestCanvas final : public OutputCanvas {
 public:
  TestCanvas(std::int32_t width, std::int32_t height) {
    const std::size_t size = static_cast<std::size_t>(decodedSizeOf(width, height));
    auto pixels = std::make_shared<std::uint8_t[]>(size);
    std::memset(pixels.get(), 0x33, size);
    picture_ = {pixels, width, height};
  }
  CanvasPicture picture() const override { return picture_; }
  const std::uint8_t* pixels() const { return picture_.pixels.get(); }

 private:
  CanvasPicture picture_;  // fixed at construction, so any thread may read it
};

// The sum the counters must equal: sizes of the frames the cache holds now.
std::pair<std::int64_t, std::int64_t> heldBytes(const ImageSourceManager& manager) {
  std::int64_t encoded = 0, decoded = 0;
  for (const Info& info : manager.sources()) {
    encoded += std::max(info.encodedSize, 0);
    decoded += std::max(info.decodedSize, 0);
  }
  return {encoded, decoded};
}

std::optional<Info> findSource(const std::vector<Info>& list, const std::string& url) {
  for (const Info& info : list) {
    if (info.url == url) return info;
  }
  return std::nullopt;
}

std::string fileUrl(const std::filesystem::path& path) { return "file://" + path.string(); }

// Gives a file a new modification time, as a camera's upload does: an
// unchanged file is not read again.
void changeFile(const std::filesystem::path& path) {
  std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + 1s);
}

class ManagerTest : public ::testing::Test {
 protected:
  std::unique_ptr<ImageSourceManager> makeManager(int readers, std::int32_t encodedKiB = 2048,
                                                  std::int32_t decodedKiB = 4096,
                                                  ImageSourceManager::Observers observers = {}) {
    return std::make_unique<ImageSourceManager>(defaultThreadStarter(), encodedKiB, decodedKiB,
                                                readers, pool.factory(), std::move(observers));
  }

  // Takes and gives back the current frame, returning what was held.
  struct Held {
    const std::uint8_t* pixels;
    std::int32_t size;
    std::uint32_t timestamp;
    std::int32_t width;
  };
  static Held peek(ImageSourceManager& manager, SourceRequest* request) {
    Held held{manager.currentFrame(request), manager.heldSize(request),
              manager.heldTimestamp(request), manager.heldWidth(request)};
    EXPECT_TRUE(manager.releaseFrame(request));
    return held;
  }

  FakePool pool;
};

TEST(ImageKindFromName, StillPicturesByTheirEndingInAnyCase) {
  for (const char* still :
       {"a.jpg", "http://cam/SNAP.JPG", "x.jpeg", "X.JPEG", "p.jpe", "file:///tmp/a.JpG", ".jpg"}) {
    EXPECT_EQ(imageKindFromName(still), ImageKind::StillPicture) << still;
  }
  for (const char* stream : {"http://cam/video.mjpg", "http://cam/video", "http://cam/snap.cgi",
                             "jpg", "", "a.jp", "a.jpgx", "a.png", "a_jpg"}) {
    EXPECT_EQ(imageKindFromName(stream), ImageKind::MotionStream) << stream;
  }
}

TEST_F(ManagerTest, NamesAreUsedExactlyAsWrittenAndCountedPerRequest) {
  auto manager = makeManager(0);
  SourceRequest* a = manager->acquire("http://cam/a.jpg");
  SourceRequest* b = manager->acquire("http://cam/a.jpg");
  SourceRequest* upper = manager->acquire("HTTP://cam/a.jpg");
  SourceRequest* noScheme = manager->acquire("cam/a.jpg");
  SourceRequest* forced = manager->acquire("http://cam/b.jpg", ImageKind::MotionStream);
  ASSERT_TRUE(a && b && upper && noScheme && forced);
  EXPECT_NE(a, b);
  EXPECT_EQ(a->source(), b->source());
  EXPECT_NE(a->source(), upper->source());

  auto list = manager->sources();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].url, "http://cam/a.jpg");  // new sources join at the back
  EXPECT_EQ(list[0].useCount, 2);
  EXPECT_EQ(list[0].kind, ImageKind::StillPicture);
  EXPECT_EQ(list[1].url, "HTTP://cam/a.jpg");
  EXPECT_EQ(list[2].url, "cam/a.jpg");  // not completed with a scheme
  EXPECT_EQ(list[3].kind, ImageKind::MotionStream);

  EXPECT_EQ(manager->acquire("#reserved"), nullptr);
  EXPECT_EQ(manager->sources().size(), 4u);

  // A released source stays cached and moves to the front.
  manager->release(forced);
  manager->release(a);
  list = manager->sources();
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].url, "http://cam/a.jpg");
  EXPECT_EQ(list[0].useCount, 1);
  EXPECT_EQ(list[1].url, "http://cam/b.jpg");
  EXPECT_EQ(list[1].useCount, 0);
  manager->release(nullptr);
  manager->release(b);
  manager->release(upper);
  manager->release(noScheme);
  for (const Info& info : manager->sources()) EXPECT_EQ(info.useCount, 0) << info.url;
}

TEST_F(ManagerTest, NewSourceShowsThePlaceholderAtOnce) {
  auto manager = makeManager(0);
  SourceRequest* request = manager->acquire("http://cam/a.mjpg");
  ASSERT_NE(request, nullptr);

  // No canvas yet: a placeholder without pixels is held all the same.
  EXPECT_EQ(manager->currentFrame(request), nullptr);
  EXPECT_EQ(manager->heldSize(request), 0);
  EXPECT_EQ(manager->heldTimestamp(request), 0u);
  EXPECT_EQ(manager->heldWidth(request), 0);
  EXPECT_TRUE(manager->releaseFrame(request));
  EXPECT_FALSE(manager->releaseFrame(request));
  EXPECT_EQ(manager->heldSize(request), -1);
  EXPECT_EQ(manager->heldWidth(request), -1);
  EXPECT_EQ(manager->heldHeight(request), -1);

  // Sources made once the renderer exists show its canvas, without waiting.
  auto canvas = std::make_shared<TestCanvas>(64, 48);
  manager->setOutputCanvas(canvas);
  SourceRequest* second = manager->acquire("http://cam/b.mjpg");
  const auto begin = Clock::now();
  EXPECT_EQ(manager->currentFrame(second), canvas->pixels());
  EXPECT_LT(Clock::now() - begin, 20ms);
  EXPECT_EQ(manager->heldWidth(second), 64);
  EXPECT_EQ(manager->heldHeight(second), 48);
  EXPECT_EQ(manager->heldSize(second), 0);
  // Taking again without releasing first gives the old reference back.
  EXPECT_EQ(manager->currentFrame(second), canvas->pixels());
  EXPECT_TRUE(manager->releaseFrame(second));

  EXPECT_EQ(manager->fps(request), 0.0f);
  manager->setFps(request, 12.5f);
  EXPECT_EQ(manager->fps(request), 12.5f);
  manager->release(request);
  manager->release(second);
}

TEST_F(ManagerTest, ReservedAndEmptyNamesAreNotPrefetchedNorAreCachedOnes) {
  auto manager = makeManager(0);
  manager->prefetchHint("");
  manager->prefetchHint("#later");
  EXPECT_TRUE(manager->sources().empty());

  manager->prefetchHint("http://cam/next.jpg");
  manager->prefetchHint("http://cam/next.jpg");
  SourceRequest* request = manager->acquire("http://cam/now.mjpg");
  manager->prefetchHint("http://cam/now.mjpg");
  const auto list = manager->sources();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].url, "http://cam/next.jpg");
  EXPECT_EQ(list[0].useCount, 0);
  EXPECT_EQ(list[0].kind, ImageKind::StillPicture);
  EXPECT_EQ(list[1].url, "http://cam/now.mjpg");

  // A later acquire uses the prefetched entry.
  SourceRequest* next = manager->acquire("http://cam/next.jpg");
  EXPECT_EQ(manager->sources().size(), 2u);
  manager->release(next);
  manager->release(request);
}

TEST_F(ManagerTest, IdleReaderIsGivenTheSourceAndItsFrameRate) {
  auto manager = makeManager(1);
  ASSERT_EQ(pool.readers.size(), 1u);
  FakeReader& reader = *pool.readers[0];
  reader.streamNext(true);
  reader.hold(true);
  SourceRequest* request = manager->acquire("http://cam/video.mjpg");
  manager->setFps(request, 4.0f);
  reader.hold(false);
  ASSERT_TRUE(waitFor([&] { return !reader.starts().empty(); }));
  const auto starts = reader.starts();
  EXPECT_EQ(starts[0].url, "http://cam/video.mjpg");
  EXPECT_EQ(starts[0].mode, StreamReader::ModeProbe);
  EXPECT_EQ(starts[0].frameRate, 4.0f);
  EXPECT_TRUE(manager->sources()[0].busy);

  const auto jpeg = sceneJpeg(40, 30);
  reader.deliver(jpeg, 5000);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).timestamp == 5000; }));
  const Held held = peek(*manager, request);
  EXPECT_EQ(held.width, 40);
  EXPECT_EQ(held.size, decodedSizeOf(40, 30));
  Info info = manager->sources()[0];
  EXPECT_TRUE(info.busy);  // a motion stream keeps its reader
  EXPECT_FALSE(info.failed);
  EXPECT_EQ(info.encodedSize, static_cast<std::int32_t>(jpeg.size()));
  EXPECT_EQ(manager->encodedBytes(), static_cast<std::int64_t>(jpeg.size()));
  EXPECT_EQ(manager->decodedBytes(), decodedSizeOf(40, 30));

  // A failed connection: failed, not busy, and the camera's last picture
  // stays (to be shown as stale once it is old), not the canvas.
  auto canvas = std::make_shared<TestCanvas>(8, 8);
  manager->setOutputCanvas(canvas);
  reader.fail();
  ASSERT_TRUE(reader.waitForPolls());
  info = manager->sources()[0];
  EXPECT_TRUE(info.failed);
  EXPECT_FALSE(info.busy);
  EXPECT_EQ(info.decodedSize, decodedSizeOf(40, 30));
  EXPECT_EQ(manager->decodedBytes(), decodedSizeOf(40, 30));
  EXPECT_EQ(peek(*manager, request).timestamp, 5000u);

  // The stream reconnects and delivers again: failed clears.
  reader.deliver(jpeg, 6000);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).timestamp == 6000; }));
  EXPECT_FALSE(manager->sources()[0].failed);
  EXPECT_EQ(reader.starts().size(), 1u);  // the reader kept its source
  manager->release(request);
}

// A view subscribes first and sets its frame rate afterwards, so the loader
// may give the source to a reader in between; a stream keeps that reader for
// good, so the rate must reach it later, and so must every change.
TEST_F(ManagerTest, StreamingReaderFollowsTheFrameRatesOfItsRequests) {
  auto manager = makeManager(1);
  FakeReader& reader = *pool.readers[0];
  reader.streamNext(true);
  SourceRequest* first = manager->acquire("http://cam/live.mjpg");
  ASSERT_TRUE(waitFor([&] { return reader.starts().size() == 1; }));
  EXPECT_EQ(reader.starts()[0].frameRate, 0.0f);  // started before setFps
  manager->setFps(first, 5.0f);
  ASSERT_TRUE(waitFor([&] { return reader.frameRate() == 5.0f; }));
  manager->setFps(first, 2.0f);
  ASSERT_TRUE(waitFor([&] { return reader.frameRate() == 2.0f; }));

  // Two views on one source: the highest rate, or every picture when one wants that.
  SourceRequest* second = manager->acquire("http://cam/live.mjpg");
  manager->setFps(second, 8.0f);
  ASSERT_TRUE(waitFor([&] { return reader.frameRate() == 8.0f; }));
  manager->setFps(first, -1.0f);
  ASSERT_TRUE(waitFor([&] { return reader.frameRate() == -1.0f; }));
  manager->release(first);
  ASSERT_TRUE(waitFor([&] { return reader.frameRate() == 8.0f; }));

  // Nobody holds the source: the reader streams on at its last rate, and an
  // unchanged rate is not passed again.
  manager->release(second);
  ASSERT_TRUE(reader.waitForPolls());
  const int calls = reader.rateCalls();
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(reader.rateCalls(), calls);
  EXPECT_EQ(reader.frameRate(), 8.0f);
  EXPECT_EQ(reader.starts().size(), 1u);
}

TEST_F(ManagerTest, StillPictureFreesItsSourceAfterEachFetch) {
  auto manager = makeManager(1);
  FakeReader& reader = *pool.readers[0];
  SourceRequest* request = manager->acquire("http://cam/snap.jpg");
  ASSERT_TRUE(waitFor([&] { return reader.starts().size() == 1; }));
  reader.deliver(sceneJpeg(16, 16), 100);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).timestamp == 100; }));
  ASSERT_TRUE(reader.waitForPolls());
  EXPECT_FALSE(manager->sources()[0].busy);
  // fps 0: passes 1 and 2 are done with it, pass 3 never picks it.
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(reader.starts().size(), 1u);

  // With a frame rate it is fetched again once due (fps -1: at once).
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] { return reader.starts().size() == 2; }));
  EXPECT_EQ(reader.starts()[1].frameRate, -1.0f);

  // An empty answer is a failed fetch, not a picture.
  reader.deliver({}, 200);
  ASSERT_TRUE(reader.waitForPolls());
  const Info info = manager->sources()[0];
  EXPECT_TRUE(info.failed);
  EXPECT_EQ(info.encodedTimestamp, 100u);
  manager->release(request);
}

TEST_F(ManagerTest, ViewWithoutAPictureIsAskedAgainAsItsBackoffAllows) {
  ManualClock clock(1000);
  const ScopedClock installed(clock);
  auto manager = makeManager(1);
  FakeReader& reader = *pool.readers[0];
  // fps 0: the view wants one picture, and has none yet.
  SourceRequest* request = manager->acquire("http://cam/snap.jpg");
  ASSERT_TRUE(waitFor([&] { return reader.starts().size() == 1; }));
  // The reader records why, as the stream reader does, and fails.
  request->source()->health().recordFailure(clock.nowMs(), SourceFailure::NotReachable, 0);
  reader.fail();
  ASSERT_TRUE(waitFor([&] { return manager->sources()[0].failed; }));
  clock.advance(499);
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(reader.starts().size(), 1u);
  clock.advance(1);
  ASSERT_TRUE(waitFor([&] { return reader.starts().size() == 2; }));
  // Once it has its picture, fps 0 asks for nothing more.
  reader.deliver(sceneJpeg(32, 32), clock.nowMs());
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).width == 32; }));
  clock.advance(60000);
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(reader.starts().size(), 2u);
  manager->release(request);
}

TEST_F(ManagerTest, TrimmedSourceWaitsOnceThenShowsAPlaceholderAndFailedOneGivesNull) {
  auto manager = makeManager(3, 4096, 1);  // 1 KiB for decoded pictures: any picture is too much
  const auto dir = test::scratchDir("manager-trimmed");
  auto canvas = std::make_shared<TestCanvas>(32, 16);
  manager->setOutputCanvas(canvas);
  FakeReader& first = *pool.readers[0];
  FakeReader& second = *pool.readers[1];
  FakeReader& third = *pool.readers[2];
  third.hold(true);  // until the file below is to be read

  // The first reader streams a picture that stays in use, so the decoded
  // budget is exceeded from then on. The second is held meanwhile: polled
  // after the first, it would otherwise take a source acquired between the two.
  first.streamNext(true);
  second.hold(true);
  SourceRequest* live = manager->acquire("http://cam/live.mjpg");
  ASSERT_TRUE(waitFor([&] { return first.starts().size() == 1; }));
  second.hold(false);
  first.deliver(sceneJpeg(16, 16), 10);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, live).timestamp == 10; }));

  // The second reader fails its only source.
  second.streamNext(true);
  SourceRequest* broken = manager->acquire("http://cam/broken.mjpg");
  ASSERT_TRUE(waitFor([&] { return second.starts().size() == 1; }));
  second.fail();
  ASSERT_TRUE(
      waitFor([&] { return findSource(manager->sources(), "http://cam/broken.mjpg")->failed; }));

  // Both readers are taken now, and the third is held, so this source is not fetched yet.
  SourceRequest* waiting = manager->acquire("http://cam/idle.jpg");
  manager->release(waiting);
  manager->release(broken);
  // The budget holds three times the picture in use; a larger picture nobody
  // uses any more (a file, read by the loader itself) exceeds it, so
  // trimming drops the pictures of every source not in use.
  const auto large = dir / "large.jpg";
  ASSERT_TRUE(test::writeFile(large, test::encodeTestJpeg(test::cornerScene(64, 64), 64, 64)));
  SourceRequest* unused = manager->acquire(fileUrl(large));
  third.hold(false);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, unused).width == 64; }));
  manager->release(unused);
  ASSERT_TRUE(waitFor([&] {
    const auto list = manager->sources();
    return findSource(list, "http://cam/idle.jpg")->decodedSize == -1 &&
           findSource(list, "http://cam/broken.mjpg")->decodedSize == -1;
  }));

  waiting = manager->acquire("http://cam/idle.jpg");
  auto begin = Clock::now();
  EXPECT_EQ(manager->currentFrame(waiting), canvas->pixels());
  EXPECT_GE(Clock::now() - begin, 20ms);
  EXPECT_EQ(manager->heldWidth(waiting), 32);
  EXPECT_EQ(manager->heldTimestamp(waiting), 0u);
  EXPECT_FALSE(waiting->waiting());
  EXPECT_TRUE(manager->releaseFrame(waiting));

  broken = manager->acquire("http://cam/broken.mjpg");
  EXPECT_EQ(manager->currentFrame(broken), nullptr);
  EXPECT_EQ(manager->heldSize(broken), -1);
  EXPECT_FALSE(manager->releaseFrame(broken));

  manager->release(waiting);
  manager->release(broken);
  manager->release(live);
}

TEST_F(ManagerTest, BudgetsHoldThreeTimesTheLargestPictureInUse) {
  // Two HD cameras on screen and the picture of the view just left, which a
  // travel back needs at once: one 1920x1080 picture is 8.3 MB, twice the
  // engine's decoded budget of 4 MiB.
  const auto dir = test::scratchDir("manager-hd");
  const auto hd = bytesOf(test::encodeTestJpeg(test::cornerScene(1920, 1080), 1920, 1080));
  const std::int64_t hdSize = decodedSizeOf(1920, 1080);
  auto manager = makeManager(3);  // the engine's budgets
  FakeReader& a = *pool.readers[0];
  FakeReader& b = *pool.readers[1];
  FakeReader& files = *pool.readers[2];
  a.streamNext(true);
  b.streamNext(true);
  files.hold(true);  // so that it takes no stream
  SourceRequest* cameras[] = {manager->acquire("http://cam/a.mjpg"),
                              manager->acquire("http://cam/b.mjpg")};
  ASSERT_TRUE(waitFor([&] { return a.starts().size() == 1 && b.starts().size() == 1; }));
  a.deliver(hd, 100);
  b.deliver(hd, 100);
  for (SourceRequest* camera : cameras)
    ASSERT_TRUE(waitFor([&] { return peek(*manager, camera).width == 1920; }));

  files.hold(false);
  const auto left = dir / "left.jpg";
  ASSERT_TRUE(test::writeFile(left, std::string(hd.begin(), hd.end())));
  SourceRequest* previous = manager->acquire(fileUrl(left));
  ASSERT_TRUE(waitFor([&] { return peek(*manager, previous).width == 1920; }));
  manager->release(previous);
  ASSERT_TRUE(files.waitForPolls(5));
  EXPECT_EQ(findSource(manager->sources(), fileUrl(left))->decodedSize, hdSize);
  EXPECT_EQ(manager->decodedBytes(), 3 * hdSize);
  EXPECT_EQ(manager->decodedBudget(), 3 * hdSize);
  EXPECT_EQ(manager->decodedLimit(), 4096 * 1024);
  EXPECT_EQ(manager->encodedBudget(), std::max<std::int64_t>(2048 * 1024, 3 * hd.size()));

  // Nothing on screen any more: the configured budget applies again.
  for (SourceRequest* camera : cameras) manager->release(camera);
  ASSERT_TRUE(waitFor([&] { return manager->decodedBytes() <= 4096 * 1024; }));
  EXPECT_EQ(manager->decodedBudget(), 4096 * 1024);
}

TEST_F(ManagerTest, StreamingSourceOutlivesTrimmingAndKeepsTheCountsExact) {
  const auto dir = test::scratchDir("manager-stream-trim");
  const auto still = bytesOf(test::encodeTestJpeg(test::noiseScene(128, 128), 128, 128));
  ASSERT_GT(still.size() * 6, 64u * 1024);
  auto manager = makeManager(2, 64, 64);  // small budgets: a few pictures are too many
  FakeReader& camera = *pool.readers[0];
  FakeReader& other = *pool.readers[1];
  camera.streamNext(true);
  other.hold(true);  // else it may take the stream, acquired between two polls
  SourceRequest* request = manager->acquire("http://cam/live.mjpg");
  ASSERT_TRUE(waitFor([&] { return camera.starts().size() == 1; }));
  other.hold(false);  // reads the still pictures below
  const auto picture = bytesOf(test::encodeTestJpeg(test::noiseScene(80, 60), 80, 60));
  camera.deliver(picture, 10);
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).timestamp == 10; }));
  // The connection fails (busy clears), and nobody holds the source any more.
  camera.fail();
  ASSERT_TRUE(camera.waitForPolls());
  manager->release(request);

  // Still pictures push the encoded bytes over the budget, so trimming runs
  // and deletes every unused source it may.
  for (int i = 0; i < 6; ++i) {
    const auto path = dir / ("still" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, std::string(still.begin(), still.end())));
    SourceRequest* r = manager->acquire(fileUrl(path));
    ASSERT_TRUE(waitFor([&] { return peek(*manager, r).size > 0; }));
    manager->release(r);
  }
  ASSERT_TRUE(camera.waitForPolls());
  EXPECT_LT(manager->sources().size(), 7u);  // trimming did delete sources
  // The reader still streams to its source, so the source is still cached
  // and what it delivers is counted where it can be trimmed again.
  ASSERT_TRUE(findSource(manager->sources(), "http://cam/live.mjpg"));
  camera.deliver(picture, 20);
  ASSERT_TRUE(waitFor([&] {
    const auto info = findSource(manager->sources(), "http://cam/live.mjpg");
    return info && info->encodedTimestamp == 20;
  }));
  ASSERT_TRUE(camera.waitForPolls());
  const auto [encoded, decoded] = heldBytes(*manager);
  EXPECT_EQ(manager->encodedBytes(), encoded);
  EXPECT_EQ(manager->decodedBytes(), decoded);
}

TEST_F(ManagerTest, FilePicturesAreReadAndDecodedOnTheLoaderThread) {
  const auto dir = test::scratchDir("manager-files");
  const auto jpeg = sceneJpeg(48, 32);
  ASSERT_TRUE(test::writeFile(dir / "a.jpg", std::string(jpeg.begin(), jpeg.end())));
  ASSERT_TRUE(test::writeFile(dir / "empty.jpg", ""));
  std::atomic<int> decodes{0};
  ImageSourceManager::Observers observers;
  observers.decoded = [&](const ImageSourceManager::DecodeEvent& event) {
    EXPECT_TRUE(event.complete);
    EXPECT_EQ(event.width, 48);
    ++decodes;
  };
  auto manager = makeManager(1, 2048, 4096, observers);
  SourceRequest* request = manager->acquire(fileUrl(dir / "a.jpg"));
  ASSERT_TRUE(waitFor([&] { return peek(*manager, request).size > 0; }));
  const Held held = peek(*manager, request);
  EXPECT_EQ(held.width, 48);
  EXPECT_EQ(manager->heldHeight(request), -1);  // released by peek
  EXPECT_EQ(decodes.load(), 1);
  EXPECT_EQ(manager->encodedBytes(), static_cast<std::int64_t>(jpeg.size()));
  EXPECT_EQ(manager->decodedBytes(), decodedSizeOf(48, 32));
  EXPECT_TRUE(pool.readers[0]->starts().empty());  // files never go to a reader

  // Missing, empty and folder names fail and keep their placeholder.
  for (const auto& path : {dir / "missing.jpg", dir / "empty.jpg", dir}) {
    SCOPED_TRACE(path.string());
    SourceRequest* bad = manager->acquire(fileUrl(path));
    ASSERT_TRUE(waitFor([&] { return findSource(manager->sources(), fileUrl(path))->failed; }));
    const Held none = peek(*manager, bad);
    EXPECT_EQ(none.size, 0);
    EXPECT_EQ(none.timestamp, 0u);
    EXPECT_EQ(bad->source()->health().state().failure, SourceFailure::FileUnreadable);
    manager->release(bad);
  }
  EXPECT_EQ(decodes.load(), 1);
  manager->release(request);
}

TEST_F(ManagerTest, FrameRateDecidesWhenASourceIsDueAgain) {
  ManualClock clock(100000);
  ScopedClock installed(clock);
  const auto dir = test::scratchDir("manager-fps");
  const auto jpeg = sceneJpeg(16, 16);
  ASSERT_TRUE(test::writeFile(dir / "a.jpg", std::string(jpeg.begin(), jpeg.end())));
  std::atomic<int> decodes{0};
  ImageSourceManager::Observers observers;
  observers.decoded = [&](const ImageSourceManager::DecodeEvent&) { ++decodes; };
  auto manager = makeManager(1, 2048, 4096, observers);
  FakeReader& reader = *pool.readers[0];

  // fps 0: read once (pass 2), never again.
  SourceRequest* request = manager->acquire(fileUrl(dir / "a.jpg"));
  ASSERT_TRUE(waitFor([&] { return decodes.load() == 1; }));
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(decodes.load(), 1);

  // fps -1: due on every poll, whatever the clock says; a file read again is
  // decoded only when it changed.
  const auto path = dir / "a.jpg";
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] {
    changeFile(path);
    return decodes.load() >= 4;
  }));
  ASSERT_TRUE(reader.waitForPolls(5));
  const int unchanged = decodes.load();
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(decodes.load(), unchanged);

  // fps 5: due once more than 200 ms have passed since the picture.
  manager->setFps(request, 5.0f);
  ASSERT_TRUE(reader.waitForPolls(3));
  const int settled = decodes.load();
  changeFile(path);
  clock.advance(150);
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(decodes.load(), settled);
  clock.advance(60);
  ASSERT_TRUE(waitFor([&] { return decodes.load() == settled + 1; }));
  changeFile(path);
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(decodes.load(), settled + 1);

  clock.advance(30000);
  ASSERT_TRUE(waitFor([&] { return decodes.load() == settled + 2; }));

  // Unchanged at its due time, the picture is confirmed as current rather
  // than shown again: never stale while the file is there to read.
  clock.advance(30000);
  ASSERT_TRUE(reader.waitForPolls(5));
  EXPECT_EQ(decodes.load(), settled + 2);
  const auto status = manager->pictureStatus(request, clock.nowMs());
  EXPECT_TRUE(status.hasPicture);
  EXPECT_LT(status.ageMs, 200u);
  EXPECT_FALSE(status.stale);

  // A clock that runs backwards past the picture makes it due at once.
  changeFile(path);
  clock.set(50000);
  ASSERT_TRUE(waitFor([&] { return decodes.load() == settled + 3; }));
  manager->release(request);
}

TEST_F(ManagerTest, OlderPicturesAreDroppedAndTheWrapCountsAsNewer) {
  ManualClock clock(0xFFFFFF00u);
  ScopedClock installed(clock);
  const auto dir = test::scratchDir("manager-wrap");
  const auto jpeg = sceneJpeg(16, 16);
  ASSERT_TRUE(test::writeFile(dir / "a.jpg", std::string(jpeg.begin(), jpeg.end())));
  std::mutex lock;
  std::map<std::uint32_t, std::pair<int, int>> seen;  // timestamp -> kept, dropped
  ImageSourceManager::Observers observers;
  observers.decoded = [&](const ImageSourceManager::DecodeEvent& event) {
    std::lock_guard<std::mutex> guard(lock);
    auto& [kept, dropped] = seen[event.timestamp];
    ++(event.kept ? kept : dropped);
  };
  auto manager = makeManager(1, 2048, 4096, observers);
  auto seenAt = [&](std::uint32_t timestamp) {
    std::lock_guard<std::mutex> guard(lock);
    const auto it = seen.find(timestamp);
    return it == seen.end() ? std::make_pair(0, 0) : it->second;
  };
  // fps -1: the file is read on every poll, stamped with the clock.
  const auto path = dir / "a.jpg";
  SourceRequest* request = manager->acquire(fileUrl(path));
  manager->setFps(request, -1.0f);
  ASSERT_TRUE(waitFor([&] {
    changeFile(path);
    return seenAt(0xFFFFFF00u).first >= 2;
  }));
  EXPECT_EQ(seenAt(0xFFFFFF00u).second, 0);  // an equal timestamp is not older
  EXPECT_EQ(peek(*manager, request).timestamp, 0xFFFFFF00u);

  // The clock wraps: pictures stamped 0x10 are newer.
  clock.set(0x10);
  ASSERT_TRUE(waitFor([&] {
    changeFile(path);
    return seenAt(0x10).first >= 1;
  }));
  EXPECT_EQ(peek(*manager, request).timestamp, 0x10u);

  // Pictures stamped earlier than the shown one are decoded but dropped.
  clock.set(0x8);
  ASSERT_TRUE(waitFor([&] {
    changeFile(path);
    return seenAt(0x8).second >= 3;
  }));
  EXPECT_EQ(seenAt(0x8).first, 0);
  EXPECT_EQ(peek(*manager, request).timestamp, 0x10u);
  const Info info = manager->sources()[0];
  EXPECT_EQ(info.encodedTimestamp, 0x8u);
  EXPECT_EQ(info.decodedTimestamp, 0x10u);
  EXPECT_EQ(manager->decodedBytes(), decodedSizeOf(16, 16));
  EXPECT_EQ(manager->encodedBytes(), static_cast<std::int64_t>(jpeg.size()));
  manager->release(request);
}

TEST_F(ManagerTest, PrefetchedNameIsFetchedBeforeAnyoneAsks) {
  const auto dir = test::scratchDir("manager-prefetch");
  const auto jpeg = sceneJpeg(24, 24);
  ASSERT_TRUE(test::writeFile(dir / "next.jpg", std::string(jpeg.begin(), jpeg.end())));
  auto manager = makeManager(1);
  manager->prefetchHint(fileUrl(dir / "next.jpg"));
  ASSERT_TRUE(waitFor([&] { return manager->sources()[0].decodedSize > 0; }));
  EXPECT_EQ(manager->sources()[0].useCount, 0);
  // Acquiring it now shows the picture straight away.
  SourceRequest* request = manager->acquire(fileUrl(dir / "next.jpg"));
  EXPECT_EQ(peek(*manager, request).width, 24);
  manager->release(request);
}

TEST_F(ManagerTest, DueRequestsTakeTurns) {
  const auto dir = test::scratchDir("manager-round-robin");
  const auto jpeg = sceneJpeg(16, 16);
  std::vector<SourceRequest*> requests;
  std::mutex lock;
  std::map<std::string, int> reads;
  ImageSourceManager::Observers observers;
  observers.decoded = [&](const ImageSourceManager::DecodeEvent& event) {
    std::lock_guard<std::mutex> guard(lock);
    ++reads[event.source->url()];
  };
  auto manager = makeManager(1, 2048, 4096, observers);
  for (int i = 0; i < 3; ++i) {
    const auto path = dir / ("cam" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, std::string(jpeg.begin(), jpeg.end())));
    requests.push_back(manager->acquire(fileUrl(path)));
    manager->setFps(requests.back(), -1.0f);
  }
  // One reader slot, every request due every poll: each gets read in turn.
  ASSERT_TRUE(waitFor([&] {
    for (int i = 0; i < 3; ++i) changeFile(dir / ("cam" + std::to_string(i) + ".jpg"));
    std::lock_guard<std::mutex> guard(lock);
    return reads.size() == 3 &&
           std::all_of(reads.begin(), reads.end(), [](const auto& r) { return r.second >= 5; });
  }));
  {
    std::lock_guard<std::mutex> guard(lock);
    int low = 1 << 30, high = 0;
    for (const auto& [url, count] : reads) {
      low = std::min(low, count);
      high = std::max(high, count);
    }
    EXPECT_LE(high - low, 2);
  }
  for (SourceRequest* r : requests) manager->release(r);
}

// 200 file pictures of 640x480 acquired and released one after the other: the
// counters never end a trim above their budgets and always match what the
// cache holds.
TEST_F(ManagerTest, TwoHundredPicturesStayWithinTheBudgets) {
  const auto dir = test::scratchDir("manager-memory");
  const std::string jpeg = test::encodeTestJpeg(test::noiseScene(640, 480), 640, 480, 40);
  ASSERT_FALSE(jpeg.empty());
  std::atomic<int> trims{0}, overBudget{0};
  std::atomic<std::int64_t> peakEncoded{0}, peakDecoded{0};
  const std::int64_t encodedLimit = 2048 * 1024, decodedLimit = 4096 * 1024;
  ImageSourceManager::Observers observers;
  observers.trimmed = [&](std::int64_t encoded, std::int64_t decoded) {
    ++trims;
    if (encoded > encodedLimit || decoded > decodedLimit) ++overBudget;
    peakEncoded = std::max(peakEncoded.load(), encoded);
    peakDecoded = std::max(peakDecoded.load(), decoded);
  };
  auto manager = makeManager(2, 2048, 4096, observers);
  for (int i = 0; i < 200; ++i) {
    const auto path = dir / ("cam" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, jpeg));
    SourceRequest* request = manager->acquire(fileUrl(path));
    ASSERT_TRUE(waitFor([&] { return peek(*manager, request).width == 640; })) << i;
    manager->release(request);
  }
  ASSERT_TRUE(pool.readers[0]->waitForPolls());
  EXPECT_GT(trims.load(), 100);
  EXPECT_EQ(overBudget.load(), 0);
  EXPECT_LE(peakEncoded.load(), encodedLimit);
  EXPECT_LE(peakDecoded.load(), decodedLimit);
  // Whole sources were deleted, not just their pictures.
  EXPECT_LE(manager->sources().size(), static_cast<std::size_t>(encodedLimit) / jpeg.size() + 2);
  const auto [encoded, decoded] = heldBytes(*manager);
  EXPECT_EQ(manager->encodedBytes(), encoded);
  EXPECT_EQ(manager->decodedBytes(), decoded);
}

// The drawing thread reads whole frames while the loader replaces and trims
// them as fast as it can: no frame may go away under a reader (the sanitizer
// builds check this).
TEST_F(ManagerTest, FramesSurviveWhileDrawnAsTheLoaderReplacesThem) {
  const auto dir = test::scratchDir("manager-draw-race");
  const auto jpeg = sceneJpeg(64, 48);
  auto manager = makeManager(1, 1, 1);  // every poll trims
  std::vector<SourceRequest*> requests;
  for (int i = 0; i < 3; ++i) {
    const auto path = dir / ("cam" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(test::writeFile(path, std::string(jpeg.begin(), jpeg.end())));
    requests.push_back(manager->acquire(fileUrl(path)));
    manager->setFps(requests.back(), -1.0f);
  }
  const auto end = Clock::now() + 300ms;
  std::uint64_t sum = 0;
  int drawn = 0;
  while (Clock::now() < end) {
    for (SourceRequest* request : requests) {
      const std::uint8_t* pixels = manager->currentFrame(request);
      const std::int32_t size = manager->heldSize(request);
      if (pixels && size > 0) {
        for (std::int32_t i = 0; i < size; i += 61) sum += pixels[i];
        ++drawn;
      }
      manager->releaseFrame(request);
    }
  }
  EXPECT_GT(drawn, 0);
  EXPECT_GT(sum, 0u);
  // Destroyed with requests outstanding and a frame still held.
  EXPECT_NE(manager->currentFrame(requests[0]), nullptr);
  const auto begin = Clock::now();
  manager.reset();
  EXPECT_LT(Clock::now() - begin, 1s);
}

}  // namespace
}  // namespace vistel
