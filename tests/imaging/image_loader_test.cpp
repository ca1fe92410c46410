// test-labels: threads network
#include "vistel/imaging/image_loader.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/http_test_server.h"
#include "support/python_http_server.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/platform/cookie_store.h"

namespace vistel {
namespace {

using namespace std::chrono_literals;
using test::HttpTestConnection;
using test::HttpTestServer;

const std::vector<std::uint8_t> kSentinel = {1, 2, 3};

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

class ImageLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::scratchDir("image-loader");
    ASSERT_TRUE(CookieStore::instance().useJar(dir / "cookies.txt"));
  }

  // Loads into a slot that already holds sentinel bytes, to see what a code leaves.
  int load(std::string_view name, SourceKind kind = SourceKind::Unknown) {
    slot = ImageSlot{};
    slot.bytes = kSentinel;
    info = DecodedInfo{};
    return loader.load(name, slot, info, kind);
  }

  std::filesystem::path dir;
  ImageLoader loader;
  ImageSlot slot;
  DecodedInfo info;
};

TEST_F(ImageLoaderTest, DetectTellsTheKindsApart) {
  ASSERT_TRUE(test::writeFile(dir / "picture.jpg", "x"));
  for (const char* http : {"http://camera/snap.jpg", "HTTP://camera/", "hTtP://x", "http://"})
    EXPECT_EQ(loader.detect(http), SourceKind::Http) << http;
  for (const char* ftp : {"ftp://camera/snap.jpg", "FTP://camera/", "fTp://"})
    EXPECT_EQ(loader.detect(ftp), SourceKind::Ftp) << ftp;
  EXPECT_EQ(loader.detect((dir / "picture.jpg").string()), SourceKind::LocalFile);
  EXPECT_EQ(loader.detect(dir.string()), SourceKind::LocalFile);  // any entry, folders too
  for (const char* nothing : {"", "https://camera/snap.jpg", "http:/camera", " http://camera",
                              "no/such/picture.jpg", "file:///etc/hostname"})
    EXPECT_EQ(loader.detect(nothing), SourceKind::Unknown) << nothing;

  EXPECT_FALSE(loader.isSupported(SourceKind::Unknown));
  EXPECT_TRUE(loader.isSupported(SourceKind::LocalFile));
  EXPECT_TRUE(loader.isSupported(SourceKind::Http));
  EXPECT_FALSE(loader.isSupported(SourceKind::Ftp));
}

TEST_F(ImageLoaderTest, FtpNamesAreRefusedWithoutAnyNetworkAccess) {
  HttpTestServer server(test::fixedResponse(test::httpResponse(200, {}, "never")));
  const std::string port = std::to_string(server.port());
  EXPECT_EQ(load("ftp://127.0.0.1:" + port + "/snap.jpg"), ImageLoadCode::Unsupported);
  EXPECT_EQ(load("FTP://127.0.0.1:" + port + "/snap.jpg"), ImageLoadCode::Unsupported);
  EXPECT_EQ(load("ftp://127.0.0.1:" + port + "/snap.jpg", SourceKind::Ftp),
            ImageLoadCode::Unsupported);
  EXPECT_EQ(loader.fetch("ftp://127.0.0.1:" + port + "/", slot, info, SourceKind::Ftp),
            ImageLoadCode::Unsupported);
  EXPECT_EQ(slot.bytes, kSentinel);
  server.stop();
  EXPECT_EQ(server.finishedConnections(), 0u);
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ImageLoaderTest, NamesThatDesignateNothingAreUnsupported) {
  for (const char* name : {"no/such/picture.jpg", "", "https://127.0.0.1/snap.jpg"}) {
    EXPECT_EQ(load(name), ImageLoadCode::Unsupported) << name;
    EXPECT_EQ(slot.bytes, kSentinel);
    EXPECT_FALSE(slot.pixels);
  }
}

TEST_F(ImageLoaderTest, LocalFiles) {
  const auto jpeg = test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48);
  ASSERT_TRUE(test::writeFile(dir / "good.jpg", jpeg));
  ASSERT_EQ(load((dir / "good.jpg").string()), ImageLoadCode::Ok);
  ASSERT_TRUE(slot.pixels);
  EXPECT_TRUE(slot.bytes.empty());
  EXPECT_EQ(info.width, 64);
  EXPECT_EQ(info.height, 48);
  EXPECT_EQ(info.bufferSize, 64 * 49 * 4 + 4);
  EXPECT_EQ(info.header.biWidth, 64);

  ASSERT_TRUE(test::writeFile(dir / "empty.jpg", ""));
  EXPECT_EQ(load((dir / "empty.jpg").string()), ImageLoadCode::EmptyFile);
  EXPECT_EQ(slot.bytes, kSentinel);

  const std::string text = "this is not a picture";
  ASSERT_TRUE(test::writeFile(dir / "text.jpg", text));
  EXPECT_EQ(load((dir / "text.jpg").string()), ImageLoadCode::DecodeFailed);
  EXPECT_EQ(slot.bytes, bytesOf(text));  // the caller gets the bytes back
  EXPECT_FALSE(slot.pixels);
  EXPECT_EQ(info.width, 0);

  // A JPEG cut short is an error, not a picture with grey rows.
  ASSERT_TRUE(test::writeFile(dir / "cut.jpg", jpeg.substr(0, jpeg.size() / 2)));
  EXPECT_EQ(load((dir / "cut.jpg").string()), ImageLoadCode::DecodeFailed);
  EXPECT_FALSE(slot.pixels);

  // A folder exists but is no file.
  EXPECT_EQ(load(dir.string()), ImageLoadCode::CannotOpen);
  EXPECT_EQ(slot.bytes, kSentinel);
  EXPECT_EQ(load((dir / "missing.jpg").string(), SourceKind::LocalFile), ImageLoadCode::CannotOpen);
}

TEST_F(ImageLoaderTest, DecodeChecksFormatAndData) {
  ImageSlot input;
  input.bytes = bytesOf(test::encodeTestJpeg(test::cornerScene(32, 32), 32, 32));
  const auto copy = input.bytes;
  EXPECT_EQ(loader.decode(input, info, 2), ImageLoadCode::BadFormat);
  EXPECT_EQ(input.bytes, copy);
  EXPECT_FALSE(input.pixels);
  ImageSlot empty;
  EXPECT_EQ(loader.decode(empty, info, kJpegFormat), ImageLoadCode::NoData);
  EXPECT_EQ(loader.decode(input, info, kJpegFormat), ImageLoadCode::Ok);
  EXPECT_TRUE(input.pixels);
  EXPECT_TRUE(input.bytes.empty());
}

TEST_F(ImageLoaderTest, AJpegLargerThanOneReadStepArrivesWholeOverHttp) {
  const auto jpeg = test::encodeTestJpeg(test::noiseScene(640, 480), 640, 480, 90);
  ASSERT_GT(jpeg.size(), 4 * kPictureReadStep);
  ASSERT_TRUE(test::writeFile(dir / "big.jpg", jpeg));
  ImageSlot reference;
  DecodedInfo referenceInfo;
  ASSERT_EQ(loader.load((dir / "big.jpg").string(), reference, referenceInfo), ImageLoadCode::Ok);

  HttpTestServer server([&jpeg](HttpTestConnection& c) {
    if (c.send(test::httpHead(200, {{"Content-Type", "image/jpeg"}})))
      c.sendInPieces(jpeg, 9000, 1ms);  // no length: the body ends with the connection
  });
  ASSERT_EQ(load(server.url("/axis-cgi/jpg/image.cgi").replace(0, 4, "HTTP")), ImageLoadCode::Ok);
  EXPECT_EQ(info.bufferSize, referenceInfo.bufferSize);
  ASSERT_TRUE(slot.pixels);
  EXPECT_EQ(std::memcmp(slot.pixels.get(), reference.pixels.get(),
                        static_cast<std::size_t>(info.bufferSize)),
            0);
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_EQ(server.requests()[0].header("Pragma"), "no-cache");  // fetched with reload

  test::PythonHttpServer python(dir);
  ASSERT_TRUE(python.ok());
  ASSERT_EQ(load(python.url("/big.jpg")), ImageLoadCode::Ok);
  EXPECT_EQ(std::memcmp(slot.pixels.get(), reference.pixels.get(),
                        static_cast<std::size_t>(info.bufferSize)),
            0);
}

TEST_F(ImageLoaderTest, AnHttpErrorPageIsDecodedLikeAnyBody) {
  // The loader does not look at the status: a 404 page is no JPEG (-9), an
  // empty 404 has nothing to decode (-10).
  const std::string page = "<html>Not Found</html>";
  HttpTestServer server([&page](HttpTestConnection& c) {
    c.send(test::httpResponse(404, {{"Content-Type", "text/html"}},
                              c.request().target == "/page" ? page : ""));
  });
  EXPECT_EQ(load(server.url("/page")), ImageLoadCode::DecodeFailed);
  EXPECT_EQ(slot.bytes, bytesOf(page));
  EXPECT_EQ(load(server.url("/empty")), ImageLoadCode::NoData);
  EXPECT_TRUE(slot.bytes.empty());
}

TEST_F(ImageLoaderTest, HttpFailuresToOpenAndToRead) {
  EXPECT_EQ(load("http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/snap.jpg"),
            ImageLoadCode::CannotOpen);
  EXPECT_EQ(slot.bytes, kSentinel);

  const std::string part = test::patternBytes(20000, 9);
  HttpTestServer server([&part](HttpTestConnection& c) {
    c.send("HTTP/1.1 200 OK\r\nContent-Length: 50000\r\nConnection: close\r\n\r\n" + part);
  });
  EXPECT_EQ(load(server.url("/snap.jpg")), ImageLoadCode::ReadFailed);
  EXPECT_EQ(slot.bytes, bytesOf(part));  // what arrived stays with the caller
  EXPECT_FALSE(slot.pixels);
}

TEST_F(ImageLoaderTest, AnEndlessHttpBodyStopsAtTheSizeLimit) {
  HttpTestServer server([](HttpTestConnection& c) {
    if (!c.send(test::httpHead(200, {{"Content-Type", "multipart/x-mixed-replace; boundary=x"}})))
      return;
    const std::string block(256 * 1024, 'z');
    while (c.send(block)) {
    }
  });
  EXPECT_EQ(load(server.url("/video.cgi")), ImageLoadCode::ReadFailed);
  EXPECT_EQ(slot.bytes.size(), kMaxPictureBytes + 1);
}

}  // namespace
}  // namespace vistel
