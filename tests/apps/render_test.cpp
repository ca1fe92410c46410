// test-labels: threads network
// `vistel render` as a user runs it: the real executable, the bundled demo,
// the engine's thread and image sources; the frame it writes is checked
// against the warp core run directly on the demo's pictures and keys.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "support/http_test_server.h"
#include "support/scene_project.h"
#include "support/shell.h"
#include "support/test_jpeg.h"
#include "support/test_paths.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/scene/lens.h"
#include "vistel/scene/link_traversal.h"
#include "vistel/scene/warp_raster.h"

namespace vistel {
namespace {

using Outcome = test::ShellResult;

// Runs `cd FOLDER && vistel ARGUMENTS` through the shell.
Outcome render(const std::string& arguments, const std::filesystem::path& folder) {
  return test::runShell("cd '" + folder.string() + "' && '" + VISTEL_CLI_PATH + "' render " +
                        arguments);
}

// The RGB samples of a binary PPM; empty unless it is width x height.
std::string ppmSamples(const std::string& file, int width, int height) {
  const std::string head =
      "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  if (file.compare(0, head.size(), head) != 0 ||
      file.size() != head.size() + std::size_t(width) * height * 3) {
    return {};
  }
  return file.substr(head.size());
}

DecodedPicture decodeFile(const std::filesystem::path& path) {
  const std::string jpeg = test::readFile(path);
  DecodedPicture picture;
  EXPECT_EQ(decodeJpeg(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), picture),
            JpegResult::Ok);
  return picture;
}

const std::filesystem::path kDemo = test::sourceDir() / "examples" / "demo";

TEST(Render, DemoFrameIsTheWarpCoreAtTheReachedPosition) {
  constexpr int W = 320, H = 240;
  const auto folder = test::scratchDir("render_demo");
  const Outcome result = render(
      (kDemo / "demo.xml").string() + " --size 320x240 --goto '0.6;0,0;1;'" +
          " --goto '0.3;0.1,-0.05;2;' --preset-time 150 --frames-dir frames" + " --out out.ppm",
      folder);
  ASSERT_EQ(result.status, 0) << result.err;
  const std::string got = ppmSamples(test::readFile(folder / "out.ppm"), W, H);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(std::filesystem::exists(folder / "frames" / "frame-00002.ppm"));

  // The same frame from the demo's own files: its keys, lenses and pictures.
  const auto document = test::loadProject(test::readFile(kDemo / "demo.xml"));
  ASSERT_TRUE(document && document->findLink("walk"));
  const auto& keys = document->findLink("walk")->keys;
  ASSERT_EQ(keys.size(), 2u);
  const KeyQuad from = *keyQuadFromBytes(keys[0]->data), to = *keyQuadFromBytes(keys[1]->data);
  const DecodedPicture left = decodeFile(kDemo / "left.jpg"),
                       right = decodeFile(kDemo / "right.jpg");
  const auto leftMap = buildMap("kamolens0", left.width, left.height, nullptr);
  const auto rightMap = buildMap("kamolens1", right.width, right.height, nullptr);
  std::vector<std::uint32_t> want(W * H, 0);
  WarpGrid grid;
  const auto tf = makeTransitionFrame(from, to, 0.3f);
  tf->t = 0.3f / LinkTraversal::kLastProgress;  // the link's blend weight
  ASSERT_TRUE(
      renderTransitionPixels({want.data(), W, H}, grid, *tf, {2.0f, 0.1f, -0.05f},
                             {{left.pixels.get(), left.width, left.height}, leftMap.get()},
                             {{right.pixels.get(), right.width, right.height}, rightMap.get()}));

  // Every pixel is the warp core's, except where a shape outline (one of the
  // two line colours) is drawn over it.
  int outline = 0;
  for (int i = 0; i < W * H; ++i) {
    const auto r = std::uint8_t(got[3 * i]), g = std::uint8_t(got[3 * i + 1]),
               b = std::uint8_t(got[3 * i + 2]);
    const std::uint32_t pixel = std::uint32_t(r) << 16 | g << 8 | b;
    if (pixel == (want[i] & 0xFFFFFF)) continue;
    ASSERT_TRUE(pixel == 0x2080FF || pixel == 0x20E0A0) << "pixel " << i % W << "," << i / W;
    ++outline;
  }
  EXPECT_LT(outline, W * H / 50);
}

TEST(Render, ProjectFromStandardInputReadsPicturesFromTheCurrentFolder) {
  const std::string input = " < '" + (kDemo / "demo.xml").string() + "'";
  const auto withPictures = test::scratchDir("render_stdin");
  for (const char* name : {"left.jpg", "right.jpg"}) {
    std::filesystem::copy_file(kDemo / name, withPictures / name);
  }
  // Without a frame rate the pictures are read once and never change: the
  // engine has nothing new to render after they came, and the frame must
  // still be written.
  std::string still = test::readFile(kDemo / "demo.xml");
  const std::string rate = " fps=\"10\"";
  for (std::size_t at; (at = still.find(rate)) != std::string::npos;) still.erase(at, rate.size());
  ASSERT_TRUE(test::writeFile(withPictures / "still.xml", still));
  const Outcome shown = render("- --size 64x48 --out frame.jpg < still.xml", withPictures);
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(decodeFile(withPictures / "frame.jpg").width, 64);

  const Outcome empty = render("- --size 64x48 --wait-ms 1000 --out frame.jpg" + input,
                               test::scratchDir("render_no"));
  EXPECT_EQ(empty.status, 1);
  EXPECT_NE(
      empty.err.find("no picture from file://left.jpg (view 'left'): picture file not readable"),
      std::string::npos)
      << empty.err;
  EXPECT_NE(empty.err.find("no picture from file://right.jpg"), std::string::npos) << empty.err;
}

// A camera that serves one client at a time: a connection that comes while
// another is open, or within 300 ms after it closed, is hung up on at once.
// The stream's connection follows the probe's within a millisecond.
class OneClientCamera {
 public:
  OneClientCamera()
      : jpeg_(test::encodeTestJpeg(test::cornerScene(64, 48), 64, 48)),
        server_([this](test::HttpTestConnection& c) { serve(c); }) {}
  std::string url() const { return server_.url("/cam.mjpg"); }
  int refused() const { return refused_; }

 private:
  void serve(test::HttpTestConnection& c) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto now = std::chrono::steady_clock::now();
      if (open_ || now - lastEnd_ < std::chrono::milliseconds(300)) {
        ++refused_;
        return;
      }
      open_ = true;
    }
    if (c.send(test::httpHead(
            200, {{"Content-Type", "multipart/x-mixed-replace;boundary=myboundary"}}))) {
      for (int i = 0; i < 500; ++i) {
        const std::string part = "--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(jpeg_.size()) + "\r\n\r\n" + jpeg_ + "\r\n";
        if (!c.send(part) || !c.pause(std::chrono::milliseconds(40))) break;
      }
    }
    std::lock_guard<std::mutex> guard(lock_);
    open_ = false;
    lastEnd_ = std::chrono::steady_clock::now();
  }

  const std::string jpeg_;
  std::mutex lock_;
  bool open_ = false;                              // guarded by lock_
  std::chrono::steady_clock::time_point lastEnd_;  // guarded by lock_
  std::atomic<int> refused_{0};
  test::HttpTestServer server_;  // last: stops before the members above go
};

std::string singleCameraProject(const std::string& src) {
  return "<quilo startview='a'><view id='a' src='" + src + "' fps='10' lens='none'/></quilo>";
}

TEST(Render, CameraServingOneClientAtATimeIsAskedAgainUntilItDelivers) {
  OneClientCamera camera;
  const auto folder = test::scratchDir("render_one_client");
  ASSERT_TRUE(test::writeFile(folder / "one.xml", singleCameraProject(camera.url())));
  const Outcome result = render("one.xml --size 64x48 --wait-ms 10000 --out frame.jpg", folder);
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(decodeFile(folder / "frame.jpg").width, 64);
  EXPECT_GE(camera.refused(), 1);  // the stream right after the probe
}

TEST(Render, ExitsOneNamingEachCameraThatDeliveredNothing) {
  // The start view's camera is down; the other view's picture is there.
  const auto folder = test::scratchDir("render_start_down");
  std::filesystem::copy_file(kDemo / "right.jpg", folder / "right.jpg");
  const std::string down =
      "http://127.0.0.1:" + std::to_string(test::unusedLoopbackPort()) + "/cam.mjpg";
  const std::string xml =
      "<quilo startview='a'><view id='a' src='" + down +
      "' fps='10'><edge link='l'/></view><view id='b' src='file://right.jpg' fps='10'/>"
      "<link id='l' from='a' to='b'/></quilo>";
  ASSERT_TRUE(test::writeFile(folder / "two.xml", xml));
  const Outcome result = render("two.xml --size 64x48 --wait-ms 1500 --out frame.jpg", folder);
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("no picture from " + down + " (view 'a'): camera not reachable"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(result.err.find("right.jpg"), std::string::npos) << result.err;
  EXPECT_FALSE(std::filesystem::exists(folder / "frame.jpg"));
}

TEST(Render, ExitStatuses) {
  const auto folder = test::scratchDir("render_status");
  const std::string demo = " '" + (kDemo / "demo.xml").string() + "'";
  for (const char* bad :
       {" --size 64x48 --goto '0.5;0,0;9;' --out x.jpg",
        " --size 64x48 --goto '0.5;0,0;1' --out x.jpg", " --size 2048x10 --out x.jpg",
        " --size 64x48", " --size 64x48 --wait-ms -1 --out x.jpg",
        // a JPEG under a name that promises another format
        " --size 64x48 --out x.PNG"}) {
    EXPECT_EQ(render(demo + bad, folder).status, 2) << bad;
  }
  EXPECT_TRUE(test::writeFile(folder / "empty.xml", "<quilo><view id='a'/></quilo>"));
  EXPECT_EQ(render("empty.xml --size 64x48 --out x.jpg", folder).status, 1);
  EXPECT_FALSE(std::filesystem::exists(folder / "x.jpg"));
  EXPECT_FALSE(std::filesystem::exists(folder / "x.PNG"));
}

}  // namespace
}  // namespace vistel
