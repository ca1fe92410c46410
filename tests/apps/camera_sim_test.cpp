// test-labels: threads network
// `vistel camera-sim` as a user runs it, and the simulator's cameras as the
// command line's probe and render see them: every fault as the viewer meets
// it, the frame number through a straight render, the live demo playing.
#include "camera_sim.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "demo_scene.h"
#include "frame_code.h"
#include "live_camera.h"
#include "support/shell.h"
#include "support/test_paths.h"

namespace vistel::cli {
namespace {

using sim::CameraFault;
using sim::CameraSimulator;

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result runCli(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(args, {in, out, err});
  return {status, out.str(), err.str()};
}

std::unique_ptr<CameraSimulator> startSimulator(int width = 320, int height = 240) {
  sim::SimulatorOptions options;
  options.width = width;
  options.height = height;
  std::string error;
  auto simulator = CameraSimulator::start(options, error);
  EXPECT_NE(simulator, nullptr) << error;
  return simulator;
}

TEST(CameraSimCommand, BadArgumentsExitTwoWithOneLine) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"camera-sim", "extra"},
           {"camera-sim", "--sideways"},
           {"camera-sim", "--fps"},
           {"camera-sim", "--fps", "0"},
           {"camera-sim", "--fps", "61"},
           {"camera-sim", "--size", "1921x1080"},
           {"camera-sim", "--size", "640"},
           {"camera-sim", "--listen", "127.0.0.1"},
           {"camera-sim", "--listen", "127.0.0.1:65535"},
           {"camera-sim", "--layout", "sideways"},
           {"camera-sim", "--layout", "middle=after"},
           {"camera-sim", "--fault", "stall-forever"},
           {"camera-sim", "--credentials", "nocolon"},
           {"camera-sim", "--quality", "0"},
           {"camera-sim", "--duration", "-1"},
       }) {
    const Result r = runCli(args);
    EXPECT_EQ(r.status, kExitUsage) << ::testing::PrintToString(args);
    EXPECT_TRUE(r.out.empty());
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
  const Result help = runCli({"camera-sim", "--help"});
  EXPECT_EQ(help.status, kExitOk);
  EXPECT_NE(help.out.find("vistel camera-sim"), std::string::npos);
}

TEST(CameraSimCommand, ServesUntilStoppedAndRefusesABusyPort) {
  // The real program, stopped the way a terminal stops it.
  const std::string program = VISTEL_CLI_PATH;
  const auto dir = test::scratchDir("camera-sim-cli");
  const std::string out = (dir / "out").string();
  const test::ShellResult run = test::runShell(
      "'" + program + "' camera-sim --listen 127.0.0.1:0 --size 320x240 --fault right=404 > '" +
      out + "' & pid=$!; for i in $(seq 300); do grep -q '^right camera' '" + out +
      "' && break; sleep 0.1; done; kill -INT $pid; wait $pid; echo status $?; cat '" + out + "'");
  EXPECT_NE(run.out.find("status 0\n"), std::string::npos) << run.out << run.err;
  EXPECT_NE(run.out.find("left camera: http://127.0.0.1:"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("(layout before, fault none)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("(layout before, fault 404)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("right camera served 0 connections"), std::string::npos) << run.out;

  const auto busy = startSimulator();
  ASSERT_NE(busy, nullptr);
  const Result refused = runCli(
      {"camera-sim", "--listen", "127.0.0.1:" + std::to_string(busy->port(0)), "--duration", "1"});
  EXPECT_EQ(refused.status, kExitFailure);
  EXPECT_NE(refused.err.find("cannot listen on 127.0.0.1:" + std::to_string(busy->port(0))),
            std::string::npos)
      << refused.err;
}

// What `vistel probe` makes of a camera with each fault. Faults that never
// deliver a picture end the probe with status 1 after its time-out at most.
TEST(CameraSimCommand, ProbeMeetsEachFault) {
  const auto simulator = startSimulator();
  ASSERT_NE(simulator, nullptr);
  struct Case {
    CameraFault fault;
    bool withCredentials;
    bool pictures;       // the probe decodes pictures
    const char* mode;    // as the probe reports it
    bool requestRead;    // the simulator read a request
    bool refused;        // the simulator answered 401
    int status;          // the status the probe reports (0: null)
    const char* reason;  // the reason it gives (null: none)
  };
  const Case cases[] = {
      {CameraFault::None, false, true, "stream", true, false, 200, nullptr},
      {CameraFault::NotFound, false, false, "failed", true, false, 404, "not found (404)"},
      {CameraFault::WrongContentType, false, false, "failed", true, false, 200,
       "not a camera (wrong content type)"},
      {CameraFault::BasicAuth, false, false, "failed", true, true, 401, "password refused (401)"},
      // The HTTP layer sends credentials only when challenged.
      {CameraFault::BasicAuth, true, true, "stream", true, true, 200, nullptr},
      {CameraFault::DigestAuth, false, false, "failed", true, true, 401, "password refused (401)"},
      {CameraFault::DigestAuth, true, true, "stream", true, true, 200, nullptr},
      {CameraFault::Garbage, false, false, "stream", true, false, 200, "no pictures in the stream"},
      {CameraFault::CloseMidPart, false, false, "stream", true, false, 200, "connection lost"},
      // Whether the probe's look at the silent body counts as a stream is
      // the probe's own business; silence is named only after 10 s.
      {CameraFault::StallBody, false, false, nullptr, true, false, 200, nullptr},
      {CameraFault::Stall, false, false, "failed", false, false, 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(sim::faultName(c.fault)) +
                 (c.withCredentials ? " with credentials" : ""));
    simulator->setFault(0, c.fault);
    // The previous probe's connections are gone, so the counts are this probe's.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (simulator->counters(0).openConnections > 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const sim::CameraCounters before = simulator->counters(0);
    const std::string url =
        c.withCredentials ? simulator->urlWithCredentials(0, "admin", "secret") : simulator->url(0);
    // Garbage is named once a part of it was decoded, which a loaded machine
    // may not reach in 1.5 s; the probe ends at that failure, so the longer
    // wait costs nothing when it comes.
    const char* wait = c.fault == CameraFault::Garbage ? "5000" : "1500";
    const Result r = runCli({"probe", url, "--frames", "2", "--timeout-ms", wait});
    const auto json = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(json.is_object()) << r.out << r.err;
    EXPECT_EQ(r.status, c.pictures ? kExitOk : kExitFailure);
    if (c.mode != nullptr) {
      EXPECT_EQ(json["mode"], c.mode);
    }
    if (c.status == 0) {
      EXPECT_TRUE(json["status"].is_null()) << json["status"];
    } else {
      EXPECT_EQ(json["status"], c.status);
    }
    if (c.reason == nullptr) {
      EXPECT_TRUE(json["reason"].is_null()) << json["reason"];
    } else {
      EXPECT_EQ(json["reason"], c.reason);
    }
    if (c.pictures) {
      EXPECT_EQ(json["frames"], 2);
      EXPECT_EQ(json["width"], 320);
    } else {
      EXPECT_EQ(json["frames"], 0);
    }
    const sim::CameraCounters after = simulator->counters(0);
    EXPECT_GT(after.connections, before.connections);
    EXPECT_EQ(after.requests > before.requests, c.requestRead);
    EXPECT_EQ(after.unauthorized > before.unauthorized, c.refused);
    EXPECT_EQ(after.partsSent > before.partsSent, c.pictures);
  }
}

// The code in the corner survives a straight render (lens none, the whole
// picture over the frame) at the camera's size and at twice it.
TEST(CameraSimCommand, FrameNumberSurvivesARender) {
  const auto dir = test::scratchDir("camera-sim-render");
  const auto backdrop = sim::streetBackdrop(1, 320, 240);
  ASSERT_NE(backdrop, nullptr);
  std::vector<std::uint8_t> pixels;
  sim::LiveCamera(backdrop).draw(3.5, 0x3C5A96, pixels);
  sim::JpegBytes jpeg;
  ASSERT_TRUE(sim::encodeJpegInMemory(pixels.data(), 320, 240, 85, "", jpeg));
  ASSERT_TRUE(test::writeFile(dir / "frame.jpg", std::string(jpeg.begin(), jpeg.end())));
  ASSERT_TRUE(test::writeFile(dir / "one.xml", R"(<quilo startview="cam">
      <view id="cam" src="file://frame.jpg" lens="none"/></quilo>)"));
  for (const int scale : {1, 2}) {
    const int w = 320 * scale, h = 240 * scale;
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const Result r = runCli({"render", (dir / "one.xml").string(), "--size", size, "--out",
                             (dir / ("out" + size + ".ppm")).string()});
    ASSERT_EQ(r.status, kExitOk) << r.err;
    const std::string ppm = test::readFile(dir / ("out" + size + ".ppm"));
    const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
    ASSERT_TRUE(ppm.starts_with(head));
    ASSERT_EQ(ppm.size(), head.size() + std::size_t(w) * h * 3);
    std::vector<std::uint8_t> frame(std::size_t(w) * h * 4);
    for (std::size_t i = 0; i < std::size_t(w) * h; ++i) {
      frame[i * 4 + 0] = static_cast<std::uint8_t>(ppm[head.size() + i * 3 + 2]);
      frame[i * 4 + 1] = static_cast<std::uint8_t>(ppm[head.size() + i * 3 + 1]);
      frame[i * 4 + 2] = static_cast<std::uint8_t>(ppm[head.size() + i * 3 + 0]);
    }
    EXPECT_EQ(sim::readFrameCode(frame.data(), w, h, scale, scale), 0x3C5A96u) << size;
  }
}

// The live demo project with the simulator's cameras renders a travel along
// its link with pictures from both cameras.
TEST(CameraSimCommand, LiveDemoRendersFromTheSimulator) {
  const auto simulator = startSimulator(640, 480);
  ASSERT_NE(simulator, nullptr);
  std::string project = test::readFile(test::sourceDir() / "examples" / "demo-live" / "demo.xml");
  for (std::size_t c = 0; c < 2; ++c) {
    const std::string fixed = demo::liveCameraUrl(c);
    const std::size_t at = project.find(fixed);
    ASSERT_NE(at, std::string::npos) << fixed;
    project.replace(at, fixed.size(), simulator->url(c));
  }
  const auto dir = test::scratchDir("camera-sim-live");
  const Result r = runCli({"render", "-", "--size", "320x240", "--wait-ms", "20000", "--goto",
                           "1;0,0;1;", "--preset-time", "300", "--out", (dir / "end.jpg").string()},
                          project);
  EXPECT_EQ(r.status, kExitOk) << r.err;
  for (std::size_t c = 0; c < 2; ++c) EXPECT_GE(simulator->counters(c).partsSent, 1u) << c;
}

}  // namespace
}  // namespace vistel::cli
