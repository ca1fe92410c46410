// test-labels: threads
// Project text to pixels through the real parts: the loader, the scene, a
// source manager reading file:// pictures on its loader thread, the renderer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/offline_reader.h"
#include "support/scene_project.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/calibration/calibrator.h"
#include "vistel/host/generated_project.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/scene/frame_renderer.h"

namespace vistel {
namespace {

const KeyQuad kQuadA{{-0.05f, -0.2f}, {0.45f, -0.15f}, {0.4f, 0.3f}, {-0.1f, 0.25f}};
const KeyQuad kQuadB{{-0.45f, -0.15f}, {0.05f, -0.2f}, {0.1f, 0.25f}, {-0.4f, 0.3f}};

struct Picture {
  std::string url;
  DecodedPicture decoded;  // what the manager decodes from the same bytes
};

Picture writePicture(const std::filesystem::path& folder, const std::string& name, int width,
                     int height, std::uint32_t seed) {
  const std::string jpeg =
      test::encodeTestJpeg(test::noiseScene(width, height, seed), width, height);
  const auto path = folder / name;
  EXPECT_TRUE(test::writeFile(path, jpeg));
  Picture picture{"file://" + path.string(), {}};
  EXPECT_EQ(
      decodeJpeg(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), picture.decoded),
      JpegResult::Ok);
  return picture;
}

WarpSource sourceOf(const Picture& picture, const DisplacementMap* map) {
  return {{picture.decoded.pixels.get(), picture.decoded.width, picture.decoded.height}, map};
}

struct PipelineFixture : ::testing::Test {
  std::filesystem::path folder = test::scratchDir("render_pipeline");
  Picture a = writePicture(folder, "a.jpg", 100, 70, 1);
  Picture b = writePicture(folder, "b.jpg", 80, 60, 2);
  ImageSourceManager sources{defaultThreadStarter(), 2048, 4096, 1, test::offlineReaderFactory()};
  Scene scene{sources};
  FrameRenderer renderer{nullptr, nullptr, sources, scene};
  std::unique_ptr<ProjectDocument> document;

  void load(const std::string& lensA, const std::string& lensB, const KeyQuad& first,
            const KeyQuad& second) {
    const std::string xml = "<quilo startview='a'><view id='a' src='" + a.url + "' " + lensA +
                            "/><view id='b' src='" + b.url + "' " + lensB +
                            "/><link id='l' from='a' to='b'><key time='0'>" + test::keyText(first) +
                            "</key><key time='1'>" + test::keyText(second) +
                            "</key></link></quilo>";
    document = test::loadProject(xml);
    ASSERT_TRUE(scene.rebuild(document.get()));
    ASSERT_TRUE(scene.setCurrentViews({"a"}));
    ASSERT_TRUE(scene.startTraversal("l", Direction::Forward));
    ASSERT_TRUE(scene.setCurrentViews({"a", "b"}));
    // Both pictures decoded on the loader thread, as updateViews sees them.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (scene.currentView(0)->lastTimestamp() == 0 ||
           scene.currentView(1)->lastTimestamp() == 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "pictures never arrived";
      (void)scene.updateViews();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::vector<std::uint32_t> frame() const {
    return {renderer.pixels(), renderer.pixels() + renderer.width() * renderer.height()};
  }
};

TEST_F(PipelineFixture, TransitionAndSingleViewMatchTheWarpCore) {
  load("lens='kamolens0'", "lens='kamolens1'", kQuadA, kQuadB);
  renderer.resize(200, 150);
  renderer.setZoom(1.25f);
  renderer.setOffset(0.05f, -0.03f);
  scene.currentLink()->setNavProgress(0.3f);
  (void)renderer.renderFrame();

  const auto mapA = buildMap("kamolens0", 100, 70, nullptr);
  const auto mapB = buildMap("kamolens1", 80, 60, nullptr);
  std::vector<std::uint32_t> want(200 * 150, 0);
  WarpGrid grid;
  const auto tf = makeTransitionFrame(kQuadA, kQuadB, 0.3f);
  tf->t = 0.3f / LinkTraversal::kLastProgress;  // the link's blend weight
  ASSERT_TRUE(renderTransitionPixels({want.data(), 200, 150}, grid, *tf, {1.25f, 0.05f, -0.03f},
                                     sourceOf(a, mapA.get()), sourceOf(b, mapB.get())));
  EXPECT_EQ(frame(), want);

  ASSERT_TRUE(scene.startTraversal("", Direction::Forward));
  (void)renderer.renderFrame();
  ASSERT_TRUE(renderSingleViewPixels({want.data(), 200, 150}, grid, sourceOf(a, mapA.get())));
  EXPECT_EQ(frame(), want);
}

TEST_F(PipelineFixture, AtTheStartOfAnIdentityLinkOnlyTheSourceShows) {
  load("", "", kImageCornerKey, kImageCornerKey);
  // The frame as large as picture A; 100 is no multiple of 16, so every node
  // lies inside A. Blocks start at column 50 mod 8 = 2, row 35 mod 8 = 3.
  // Positions come out of float arithmetic a few 1/65536 pixel short of whole
  // pixels; the sampler's two truncating stages (steps of 2) then move a
  // sample of this noise by up to 4. A share of B, or a pixel off, moves it
  // far more.
  renderer.resize(100, 70);
  (void)renderer.renderFrame();
  const auto* pixelsA = reinterpret_cast<const std::uint32_t*>(a.decoded.pixels.get());
  for (int y = 3; y < 3 + 64; ++y) {
    for (int x = 2; x < 2 + 96; ++x) {
      const std::uint32_t got = renderer.pixels()[y * 100 + x];
      const std::uint32_t want = pixelsA[(y - 3) * 100 + (x - 2)];
      ASSERT_EQ(got >> 24, 0u);
      for (int shift : {0, 8, 16}) {
        ASSERT_LE(std::abs(int(got >> shift & 255) - int(want >> shift & 255)), 4)
            << x << "," << y << " byte " << shift / 8;
      }
    }
  }
}

// Placeholder frames read the renderer's canvas on other threads while the
// engine thread resizes and renders: each must see a whole picture.
TEST_F(PipelineFixture, PlaceholdersSeeWholeBlankFramesWhileTheRendererResizes) {
  load("", "", kQuadA, kQuadB);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; !done.load(); ++i) {
      SourceRequest* request = sources.acquire("never-fetched-" + std::to_string(i));
      if (const std::uint8_t* pixels = sources.currentFrame(request)) {
        const std::size_t bytes =
            std::size_t(sources.heldWidth(request)) * (sources.heldHeight(request) + 1) * 4 + 4;
        EXPECT_EQ(pixels[bytes - 1], 0);  // the spare pixel, read at the very end
      }
      sources.release(request);
    }
  });
  for (int i = 0; i < 300; ++i) {
    renderer.resize(32 + i % 7 * 16, 24 + i % 5 * 8);
    (void)renderer.getBlankFrame();
    (void)renderer.renderFrame();
  }
  done = true;
  reader.join();
}

// Pictures of today's cameras, up to 1920 x 1080, in a manager whose budget
// holds them, shown through the whole pipeline.
struct CameraPictures : ::testing::Test {
  std::filesystem::path folder = test::scratchDir("render_cameras");
  ImageSourceManager sources{defaultThreadStarter(), 16384, 65536, 1, test::offlineReaderFactory()};
  Scene scene{sources};
  FrameRenderer renderer{nullptr, nullptr, sources, scene};
  std::unique_ptr<ProjectDocument> document;

  std::string write(const std::string& name, const std::vector<std::uint8_t>& rgb, int width,
                    int height) {
    const auto path = folder / name;
    EXPECT_TRUE(test::writeFile(path, test::encodeTestJpeg(rgb, width, height)));
    return "file://" + path.string();
  }
  // Smooth waves (at most 4 levels a pixel) far from black, and distinct
  // enough that a picture shifted by two pixels differs by more than rounding.
  std::string writeWaves(const std::string& name, int width, int height) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = &rgb[(std::size_t(y) * width + x) * 3];
        p[0] = std::uint8_t(130 + 40 * std::sin(x * 0.1));
        p[1] = std::uint8_t(130 + 40 * std::sin(y * 0.09));
        p[2] = std::uint8_t(130 + 40 * std::sin((x + y) * 0.05));
      }
    }
    return write(name, rgb, width, height);
  }
  std::string writeSolid(const std::string& name, int width, int height, std::uint8_t r,
                         std::uint8_t g, std::uint8_t b) {
    std::vector<std::uint8_t> rgb(std::size_t(width) * height * 3);
    for (std::size_t i = 0; i < rgb.size(); i += 3) rgb[i] = r, rgb[i + 1] = g, rgb[i + 2] = b;
    return write(name, rgb, width, height);
  }

  // Loads `xml` and travels `link` from `from` to `to` once both pictures are in.
  void show(const std::string& xml, const std::string& link, const std::string& from,
            const std::string& to) {
    document = test::loadProject(xml);
    ASSERT_TRUE(document);
    ASSERT_TRUE(scene.rebuild(document.get()));
    ASSERT_TRUE(scene.setCurrentViews({from}));
    ASSERT_TRUE(scene.startTraversal(link, Direction::Forward));
    ASSERT_TRUE(scene.setCurrentViews({from, to}));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (scene.currentView(0)->lastTimestamp() == 0 ||
           scene.currentView(1)->lastTimestamp() == 0) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "pictures never arrived";
      (void)scene.updateViews();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::vector<std::uint32_t> render() {
    (void)renderer.renderFrame();
    return {renderer.pixels(), renderer.pixels() + renderer.width() * renderer.height()};
  }
  // Calls check(x, y, pixel) for every pixel of the block area.
  template <typename Check>
  void forBlockArea(const std::vector<std::uint32_t>& frame, Check&& check) const {
    const int W = renderer.width(), H = renderer.height();
    const int left = W / 2 % 8, top = H / 2 % 8;
    for (int y = top; y < top + H / 16 * 16; ++y) {
      for (int x = left; x < left + W / 16 * 16; ++x) check(x, y, frame[std::size_t(y) * W + x]);
    }
  }
};

int channel(std::uint32_t pixel, int k) { return int(pixel >> (8 * k) & 255); }

TEST_F(CameraPictures, StartOfALinkWithEqualKeysIsTheSingleViewAtHdSizes) {
  for (const auto& [W, H] : {std::pair{1280, 720}, std::pair{1920, 1080}}) {
    SCOPED_TRACE(std::to_string(W) + "x" + std::to_string(H));
    const std::string tag = std::to_string(W);
    const std::string key = test::keyText(kQuadA);
    show("<quilo startview='a'><view id='a' lens='kamolens0' src='" +
             writeWaves("waves" + tag + ".jpg", W, H) + "'/><view id='b' src='" +
             writeSolid("blue" + tag + ".jpg", W, H, 0, 0, 255) +
             "'/><link id='l' from='a' to='b'><key time='0'>" + key + "</key><key time='1'>" + key +
             "</key></link></quilo>",
         "l", "a", "b");
    renderer.resize(W, H);
    scene.currentLink()->setNavProgress(0);
    const auto transition = render();
    ASSERT_TRUE(scene.startTraversal("", Direction::Forward));
    const auto single = render();
    // Both samplers interpolate the same positions within 1/65536 pixel, and
    // the smooth picture moves by under one level for that. Their rounding
    // differs: the transition sampler's two stages each truncate a doubled
    // 15-bit step (down by up to 2), the single view's each truncate once (down
    // by up to 1), so each lands within 4 levels of the exact value, from
    // below, and the two within 4 of each other; 5 allows for the positions.
    int black = 0, worst = 0;
    forBlockArea(transition, [&](int x, int y, std::uint32_t got) {
      const std::uint32_t want = single[std::size_t(y) * W + x];
      black += (got & 0xFFFFFF) == 0;
      for (int k = 0; k < 3; ++k)
        worst = std::max(worst, std::abs(channel(got, k) - channel(want, k)));
    });
    EXPECT_EQ(black, 0);
    EXPECT_LE(worst, 5);
  }
}

TEST_F(CameraPictures, GeneratedTwoCameraProjectAtHdIsNotBlackAlongItsLink) {
  const std::string top = writeWaves("top.jpg", 1280, 720),
                    bottom = writeWaves("bottom.jpg", 1280, 720);
  show(generatedProject(top, 5, bottom, kDefaultSourceKeyText, kDefaultDestinationKeyText),
       "Cam0Cam1", "Cam0", "Cam1");
  renderer.resize(1280, 720);
  // The two keys say the top camera's lower half is the bottom camera's upper
  // half: together they cover the view at every position. Only lens
  // correction fetching from beyond a camera picture's edge leaves pixels
  // black, a few in a thousand.
  for (const float progress : {0.0f, 0.5f, 1.0f}) {
    scene.currentLink()->setNavProgress(progress);
    int black = 0, total = 0;
    forBlockArea(render(), [&](int, int, std::uint32_t pixel) {
      black += (pixel & 0xFFFFFF) == 0;
      ++total;
    });
    EXPECT_LT(black, total / 200) << "progress " << progress;
  }
}

TEST_F(CameraPictures, EachEndOfALinkShowsItsPictureAlone) {
  // B sees the reference square shifted up and to the left, so at the start
  // B covers the frame's last block row and column (a side a multiple of
  // 16), and at the end A still covers a band along B's left and upper edges.
  const KeyQuad keyB{kQuadA.p0 - Vec2{0.3f, 0.2f}, kQuadA.p1 - Vec2{0.3f, 0.2f},
                     kQuadA.p2 - Vec2{0.3f, 0.2f}, kQuadA.p3 - Vec2{0.3f, 0.2f}};
  show("<quilo startview='a'><view id='a' src='" + writeSolid("red.jpg", 320, 240, 255, 0, 0) +
           "'/><view id='b' src='" + writeSolid("blue.jpg", 320, 240, 0, 0, 255) +
           "'/><link id='l' from='a' to='b'><key time='0'>" + test::keyText(kQuadA) +
           "</key><key time='1'>" + test::keyText(keyB) + "</key></link></quilo>",
       "l", "a", "b");
  renderer.resize(320, 240);
  LinkTraversal& link = *scene.currentLink();

  link.setNavProgress(0);
  int blue = 0, notRed = 0;
  forBlockArea(render(), [&](int, int, std::uint32_t pixel) {
    blue += channel(pixel, 0) > 8;  // more than JPEG noise
    notRed += channel(pixel, 2) < 240;
  });
  EXPECT_EQ(blue, 0);
  EXPECT_EQ(notRed, 0);

  for (const float zoom : {1.0f, 0.6f}) {
    renderer.setZoom(zoom);
    link.setNavProgress(1);
    const auto tf = scene.transitionAt(link);
    const auto frame = render();
    // Where a pixel's view point lies in a picture, two pixels clear of its edges.
    const auto covers = [&](const Homography& h, int x, int y) {
      // The block area starts at pixel (0, 0) of a 320 x 240 frame.
      const double c = 1.0 / zoom, vx = -c / 2 + x * c / 320, vy = -c / 2 + y * c / 240;
      const double X = h.c0.x * vx + h.c1.x * vy + h.c2.x, Y = h.c0.y * vx + h.c1.y * vy + h.c2.y,
                   Z = h.c0.z * vx + h.c1.z * vy + h.c2.z;
      const double s = X / Z + 0.5, t = Y / Z + 0.5, margin = 2.0 / 240;
      return Z > 0 && s > margin && s < 1 - margin && t > margin && t < 1 - margin;
    };
    int inBoth = 0, red = 0;
    forBlockArea(frame, [&](int x, int y, std::uint32_t pixel) {
      if (!covers(tf->dstH, x, y)) return;
      inBoth += covers(tf->srcH, x, y);
      red += channel(pixel, 2) > 8;
    });
    EXPECT_EQ(red, 0) << "zoom " << zoom;
    EXPECT_GT(inBoth, 2000) << "zoom " << zoom;  // the band where A could show through
  }
}

}  // namespace
}  // namespace vistel
