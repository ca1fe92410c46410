// test-labels: threads
#include "vistel/imaging/frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/test_jpeg.h"
#include "vistel/imaging/jpeg_codec.h"

namespace vistel {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> sceneJpeg(int width, int height) {
  return bytesOf(test::encodeTestJpeg(test::cornerScene(width, height), width, height));
}

// A canvas buffer in the picture layout, filled with one byte value.
CanvasPicture canvasOf(std::int32_t width, std::int32_t height, std::uint8_t fill) {
  const std::size_t size = static_cast<std::size_t>(width) * (height + 1) * 4 + 4;
  auto pixels = std::make_shared<std::uint8_t[]>(size);
  std::memset(pixels.get(), fill, size);
  return {pixels, width, height};
}

TEST(Frame, EncodedFrameOwnsTheBytesItWasGiven) {
  const std::vector<std::uint8_t> jpeg = sceneJpeg(40, 24);
  FrameRef frame = Frame::encoded(jpeg, 1234);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->kind(), Frame::Kind::Encoded);
  EXPECT_EQ(frame->size(), static_cast<std::int32_t>(jpeg.size()));
  EXPECT_EQ(frame->timestamp(), 1234u);
  EXPECT_TRUE(frame->ownsData());
  EXPECT_EQ(frame->width(), 0);
  EXPECT_EQ(frame->height(), 0);
  ASSERT_NE(frame->data(), nullptr);
  EXPECT_EQ(std::memcmp(frame->data(), jpeg.data(), jpeg.size()), 0);

  FrameRef empty = Frame::encoded({}, 5);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 0);
  EXPECT_EQ(empty->data(), nullptr);

  // Sizes must fit the cache's 32-bit counters.
  EXPECT_FALSE(Frame::encoded(std::vector<std::uint8_t>(kMaxEncodedFrameBytes + 1), 5));
}

TEST(Frame, DecodedFrameHoldsTheCodecsPictureAndTakesTheTimestamp) {
  const int width = 37, height = 21;  // odd sides: the size formula is not a power of two
  const std::vector<std::uint8_t> jpeg = sceneJpeg(width, height);
  DecodedPicture reference;
  ASSERT_EQ(decodeJpeg(jpeg.data(), jpeg.size(), reference), JpegResult::Ok);

  FrameRef frame = Frame::decoded(jpeg.data(), jpeg.size(), 0xFFFFFFF0u);
  EXPECT_EQ(frame->kind(), Frame::Kind::Decoded);
  EXPECT_TRUE(frame->complete());
  EXPECT_TRUE(frame->ownsData());
  EXPECT_EQ(frame->timestamp(), 0xFFFFFFF0u);
  EXPECT_EQ(frame->width(), width);
  EXPECT_EQ(frame->height(), height);
  EXPECT_EQ(frame->size(), width * (height + 1) * 4 + 4);
  ASSERT_NE(frame->data(), nullptr);
  EXPECT_EQ(std::memcmp(frame->data(), reference.pixels.get(),
                        static_cast<std::size_t>(reference.bufferSize)),
            0);
}

TEST(Frame, FailedDecodeKeepsTheRowsDecodedSoFar) {
  const int width = 64, height = 96;
  // Noise: the entropy-coded data dwarfs the tables, so the cut falls inside it.
  const std::vector<std::uint8_t> jpeg =
      bytesOf(test::encodeTestJpeg(test::noiseScene(width, height), width, height));
  const std::vector<std::uint8_t> cut(
      jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() * 3 / 4));
  DecodedPicture partial;
  ASSERT_EQ(decodeJpeg(cut.data(), cut.size(), partial), JpegResult::LibraryError);
  ASSERT_NE(partial.pixels, nullptr);

  FrameRef frame = Frame::decoded(cut.data(), cut.size(), 7);
  EXPECT_FALSE(frame->complete());
  EXPECT_EQ(frame->width(), width);
  EXPECT_EQ(frame->height(), height);
  ASSERT_EQ(frame->size(), partial.bufferSize);
  EXPECT_EQ(std::memcmp(frame->data(), partial.pixels.get(),
                        static_cast<std::size_t>(partial.bufferSize)),
            0);
  // The top row made it; the spare row stays zero.
  const std::uint8_t* top = frame->data();
  EXPECT_NE(top[0] | top[1] | top[2], 0);

  // Bytes that are no JPEG at all give a frame without pixels, not nothing.
  const std::vector<std::uint8_t> junk = {1, 2, 3, 4, 5};
  FrameRef none = Frame::decoded(junk.data(), junk.size(), 9);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->data(), nullptr);
  EXPECT_EQ(none->size(), 0);
  EXPECT_EQ(none->width(), 0);
  EXPECT_EQ(none->timestamp(), 9u);
  EXPECT_FALSE(none->complete());
}

TEST(Frame, PlaceholderShowsTheCanvasWithoutOwningIt) {
  FrameRef bare = Frame::placeholder({});
  EXPECT_EQ(bare->kind(), Frame::Kind::Placeholder);
  EXPECT_EQ(bare->data(), nullptr);
  EXPECT_EQ(bare->size(), 0);
  EXPECT_EQ(bare->width(), 0);
  EXPECT_EQ(bare->timestamp(), 0u);
  EXPECT_FALSE(bare->ownsData());

  // A canvas without a size is no picture.
  CanvasPicture flat = canvasOf(8, 0, 1);
  EXPECT_EQ(Frame::placeholder(flat)->data(), nullptr);

  CanvasPicture canvas = canvasOf(16, 8, 0x5A);
  std::weak_ptr<const std::uint8_t[]> watch = canvas.pixels;
  FrameRef shown = Frame::placeholder(canvas);
  EXPECT_EQ(shown->data(), canvas.pixels.get());
  EXPECT_EQ(shown->width(), 16);
  EXPECT_EQ(shown->height(), 8);
  EXPECT_EQ(shown->size(), 0);
  EXPECT_EQ(shown->timestamp(), 0u);

  // The renderer drops its buffer (a resize): the frame still shows it intact.
  canvas.pixels.reset();
  ASSERT_FALSE(watch.expired());
  const std::uint8_t* pixels = shown->data();
  for (int i = 0; i < 16 * 9 * 4 + 4; ++i) ASSERT_EQ(pixels[i], 0x5A) << i;
  shown.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(Frame, LastReferenceDestroysTheFrame) {
  CanvasPicture canvas = canvasOf(4, 4, 0);
  std::weak_ptr<const std::uint8_t[]> alive = canvas.pixels;
  FrameRef first = Frame::placeholder(canvas);
  canvas.pixels.reset();

  FrameRef second = first;  // copy: one more reference
  FrameRef third = FrameRef::share(first.get());
  EXPECT_EQ(third.get(), first.get());
  FrameRef moved = std::move(second);
  EXPECT_FALSE(second);  // NOLINT(bugprone-use-after-move): moved-from is empty by contract

  first.reset();
  third.reset();
  EXPECT_FALSE(alive.expired());
  moved = FrameRef();  // assigning over the last reference gives it back
  EXPECT_TRUE(alive.expired());

  EXPECT_FALSE(FrameRef::share(nullptr));

  // The raw count: addRef and release pair up like FrameRef copies.
  FrameRef raw = Frame::encoded({1, 2, 3}, 1);
  Frame* frame = raw.get();
  ASSERT_TRUE(frame->addRef());
  raw.reset();
  EXPECT_EQ(frame->size(), 3);  // still alive on the extra reference
  frame->release();
}

TEST(Frame, ReferencesFromManyThreadsBalance) {
  CanvasPicture canvas = canvasOf(32, 32, 7);
  std::weak_ptr<const std::uint8_t[]> alive = canvas.pixels;
  FrameRef shared = Frame::placeholder(canvas);
  canvas.pixels.reset();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([frame = shared.get()] {
      for (int i = 0; i < 20000; ++i) {
        FrameRef ref = FrameRef::share(frame);
        ASSERT_TRUE(ref);
        FrameRef copy = ref;
        ASSERT_EQ(copy->data()[i % 64], 7);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(alive.expired());
  shared.reset();
  EXPECT_TRUE(alive.expired());
}

TEST(Frame, OlderTimestampsLoseExceptAcrossTheWrap) {
  EXPECT_TRUE(isOlderFrame(5, 6));
  EXPECT_FALSE(isOlderFrame(6, 5));
  EXPECT_FALSE(isOlderFrame(6, 6));
  EXPECT_FALSE(isOlderFrame(0, 0));
  // The clock wrapped: a small value after a value near the top is newer.
  EXPECT_FALSE(isOlderFrame(0x00000010u, 0xFFFFFFF0u));
  EXPECT_FALSE(isOlderFrame(0x0FFFFFFFu, 0xF0000001u));
  // Only within those two bands.
  EXPECT_TRUE(isOlderFrame(0x10000000u, 0xF0000001u));
  EXPECT_TRUE(isOlderFrame(0x0FFFFFFFu, 0xF0000000u));
  EXPECT_TRUE(isOlderFrame(0x00000010u, 0x80000000u));
  // The other way round is plain comparison: a pre-wrap value counts as newer.
  EXPECT_FALSE(isOlderFrame(0xFFFFFFF0u, 0x00000010u));
}

}  // namespace
}  // namespace vistel
