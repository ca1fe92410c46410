// test-labels: threads
// Project text to pixels through the real parts: the loader, the scene, a
// source manager reading file:// pictures on its loader thread, the renderer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/offline_reader.h"
#include "support/scene_project.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
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
    ASSERT_TRUE(scene.startTraversal("l", false));
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
  ASSERT_TRUE(renderTransitionPixels(
      {want.data(), 200, 150}, grid, *makeTransitionFrame(kQuadA, kQuadB, 0.3f),
      {1.25f, 0.05f, -0.03f}, sourceOf(a, mapA.get()), sourceOf(b, mapB.get())));
  EXPECT_EQ(frame(), want);

  ASSERT_TRUE(scene.startTraversal("", false));
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

}  // namespace
}  // namespace vistel
