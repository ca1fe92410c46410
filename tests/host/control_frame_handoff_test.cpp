// test-labels: threads
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/control_fakes.h"
#include "vistel/host/vistel_control.h"

namespace vistel {
namespace {

// An engine-like thread delivers frames whose every pixel is the frame's own
// number, with sizes changing from frame to frame, while the host thread paints.
// A painted frame must be one whole delivered frame: its size matches its
// number, and no pixel of another frame is mixed in.
TEST(ControlFrameHandoff, PainterGetsWholeFramesInOrderWhileTheEngineDelivers) {
  test::ControlRig rig;
  constexpr std::uint32_t kFrames = 400;
  const auto sizeOf = [](std::uint32_t n) { return std::pair<int, int>(16 + n % 7, 9 + n % 5); };
  std::atomic<bool> done{false};
  std::thread engine([&] {
    std::vector<std::uint32_t> pixels;
    for (std::uint32_t n = 1; n <= kFrames; ++n) {
      const auto [w, h] = sizeOf(n);
      pixels.assign(static_cast<std::size_t>(w * h), n);
      ASSERT_EQ(rig.control.deliverFrame(pixels.data(), w, h), 0);
    }
    done = true;
  });

  PaintPlan plan;
  std::uint32_t last = 0;
  int painted = 0;
  while (!done.load() || last < kFrames) {
    rig.control.paint(64, 48, plan);
    if (!plan.hasFrame) continue;
    const std::uint32_t n = plan.frame.pixels.front();
    ASSERT_GE(n, last);
    const auto [w, h] = sizeOf(n);
    ASSERT_EQ(plan.frame.width, w);
    ASSERT_EQ(plan.frame.height, h);
    ASSERT_EQ(plan.frame.pixels.size(), static_cast<std::size_t>(w * h));
    for (const std::uint32_t pixel : plan.frame.pixels) ASSERT_EQ(pixel, n);
    if (n != last) ++painted;
    last = n;
  }
  engine.join();
  EXPECT_EQ(last, kFrames);
  EXPECT_GT(painted, 0);
  EXPECT_EQ(rig.ui.repaints.load(), static_cast<int>(kFrames));
}

}  // namespace
}  // namespace vistel
