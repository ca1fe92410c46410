// test-labels: threads network
#include "vistel/imaging/image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "support/http_test_server.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/platform/cookie_store.h"

namespace vistel {
namespace {

void expectEmpty(const Image& image) {
  EXPECT_FALSE(image.loaded());
  EXPECT_EQ(image.pixels(), nullptr);
  EXPECT_EQ(image.byteSize(), 4);
  const BitmapInfoHeader zero{};
  EXPECT_EQ(std::memcmp(&image.header(), &zero, sizeof zero), 0);
}

// Checks the pixel at (x, y) against r, g, b within the tolerance JPEG
// compression of flat 16x16 blocks allows, and its fourth byte against 0.
void expectPixel(const Image& image, int x, int y, int r, int g, int b) {
  const int width = image.header().biWidth;
  const std::uint8_t* p = image.pixels() + (static_cast<std::size_t>(y) * width + x) * 4;
  constexpr int kTolerance = 12;
  EXPECT_LE(std::abs(p[0] - b), kTolerance) << "blue at " << x << "," << y;
  EXPECT_LE(std::abs(p[1] - g), kTolerance) << "green at " << x << "," << y;
  EXPECT_LE(std::abs(p[2] - r), kTolerance) << "red at " << x << "," << y;
  EXPECT_EQ(p[3], 0);
}

TEST(Image, FromNothingStaysEmpty) {
  expectEmpty(Image());
  expectEmpty(Image(""));
  expectEmpty(Image("no/such/picture.jpg"));
  expectEmpty(Image("ftp://127.0.0.1/picture.jpg"));
  const auto dir = test::scratchDir("image-empty");
  ASSERT_TRUE(test::writeFile(dir / "text.jpg", "not a picture"));
  expectEmpty(Image((dir / "text.jpg").string()));
}

TEST(Image, FromA640x480JpegFile) {
  const auto dir = test::scratchDir("image-file");
  ASSERT_TRUE(test::writeFile(dir / "corners.jpg",
                              test::encodeTestJpeg(test::cornerScene(640, 480), 640, 480, 95)));
  const Image image((dir / "corners.jpg").string());
  ASSERT_TRUE(image.loaded());
  ASSERT_NE(image.pixels(), nullptr);
  const BitmapInfoHeader& h = image.header();
  EXPECT_EQ(h.biSize, 40u);
  EXPECT_EQ(h.biWidth, 640);
  EXPECT_EQ(h.biHeight, 480);
  EXPECT_EQ(h.biPlanes, 1);
  EXPECT_EQ(h.biBitCount, 32);
  EXPECT_EQ(h.biCompression, 0u);
  EXPECT_EQ(h.biSizeImage, 0u);
  EXPECT_EQ(image.byteSize(), 640 * 481 * 4 + 4 + 4);

  // Rows top first, blue-green-red-zero: the corner colours land where the
  // scene put them.
  expectPixel(image, 0, 0, 255, 0, 0);
  expectPixel(image, 639, 0, 0, 255, 0);
  expectPixel(image, 0, 479, 0, 0, 255);
  expectPixel(image, 639, 479, 255, 255, 255);
  expectPixel(image, 320, 240, 128, 128, 128);
  // The spare row and the four spare bytes are zero.
  const std::uint8_t* spare = image.pixels() + 640 * 480 * 4;
  for (int i = 0; i < 640 * 4 + 4; ++i) ASSERT_EQ(spare[i], 0) << i;
}

TEST(Image, FromAnHttpAddressAndMovedOn) {
  ASSERT_TRUE(CookieStore::instance().useJar(test::scratchDir("image-http") / "cookies.txt"));
  const std::string jpeg = test::encodeTestJpeg(test::cornerScene(64, 32), 64, 32);
  test::HttpTestServer server(
      test::fixedResponse(test::httpResponse(200, {{"Content-Type", "image/jpeg"}}, jpeg)));
  Image image(server.url("/snap.jpg"));
  ASSERT_TRUE(image.loaded());
  EXPECT_EQ(image.header().biWidth, 64);
  expectPixel(image, 0, 0, 255, 0, 0);

  Image moved(std::move(image));
  EXPECT_TRUE(moved.loaded());
  EXPECT_EQ(moved.byteSize(), 64 * 33 * 4 + 8);
  expectEmpty(image);  // NOLINT(bugprone-use-after-move): the moved-from state is defined
}

}  // namespace
}  // namespace vistel
