// The web host: encoding a 1024x768 frame for a page, and whole sessions on
// loopback: real viewer engines on the demo, always travelling, each sending
// to a WebSocket client that acknowledges every frame as a page does. Per
// page it reports the frames per second received and the delay from the
// engine handing a frame over to the client holding it decoded (what a page
// adds over the desktop viewer, which paints from the same hand-over); one
// variant makes one page slow (60 ms per frame) to show it does not slow the
// others.
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "camera_sim.h"
#include "vistel/host/property_bag.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/platform/clock.h"
#include "vistel/web/camera_hub.h"
#include "vistel/web/frame_encoder.h"
#include "vistel/web/protocol.h"
#include "vistel/web/web_server.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;
using nlohmann::json;

constexpr int kWidth = 1024;
constexpr int kHeight = 768;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The demo's left camera picture stretched to 1024x768 (BGRX), as a frame
// the engine could hand over.
std::vector<std::uint32_t> demoFrame() {
  const std::string jpeg = readFile(std::string(VISTEL_DEMO_DIR) + "/left.jpg");
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  std::vector<std::uint32_t> picture;
  std::vector<std::uint32_t> frame(static_cast<std::size_t>(kWidth) * kHeight);
  if (tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), &w,
                          &h, &sub, &space) == 0) {
    picture.resize(static_cast<std::size_t>(w) * h);
    (void)tjDecompress2(tj, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(),
                        reinterpret_cast<unsigned char*>(picture.data()), w, w * 4, h, TJPF_BGRX,
                        0);
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        frame[static_cast<std::size_t>(y) * kWidth + x] =
            picture[static_cast<std::size_t>(y * h / kHeight) * w + x * w / kWidth];
      }
    }
  }
  tjDestroy(tj);
  return frame;
}

void BM_WebEncodeFrame1024x768(benchmark::State& state) {
  const std::vector<std::uint32_t> frame = demoFrame();
  vistel::web::FrameEncoder encoder;
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!encoder.encode(frame.data(), kWidth, kHeight, out)) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["bytes"] = static_cast<double>(out.size());
}
BENCHMARK(BM_WebEncodeFrame1024x768)->Unit(benchmark::kMillisecond);

struct PageResult {
  std::vector<double> delays;  // ms from hand-over to decoded
  std::size_t frames = 0;      // received during the measured time
};

// One page: hello at 1024x768, travels back and forth along the demo's link,
// acknowledges each frame after decoding it (unless `decode` is false: the
// browser runs on another machine) and `slowMs` more.
void runPage(std::uint16_t port, int slowMs, bool decode, std::atomic<bool>& measuring,
             std::atomic<bool>& stop, PageResult& result) {
  try {
    boost::asio::io_context ioc;
    tcp::socket socket(ioc);
    socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    websocket::stream<tcp::socket> ws(std::move(socket));
    const std::string host = "127.0.0.1:" + std::to_string(port);
    ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
      request.set(beast::http::field::origin, "http://" + host);
    }));
    ws.handshake(host, "/ws");
    ws.text(true);
    ws.write(boost::asio::buffer(
        json{{"t", "hello"}, {"params", json::object()}, {"width", kWidth}, {"height", kHeight}}
            .dump()));
    ws.write(boost::asio::buffer(R"({"t":"call","id":1,"m":"SetPresetTime","a":[1500]})"));
    tjhandle tj = tjInitDecompress();
    std::vector<unsigned char> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
    int target = 1;
    int id = 2;
    auto lastMove = std::chrono::steady_clock::now() - std::chrono::seconds(10);
    beast::flat_buffer buffer;
    while (!stop) {
      if (std::chrono::steady_clock::now() - lastMove > std::chrono::milliseconds(1600)) {
        lastMove = std::chrono::steady_clock::now();
        ws.text(true);
        ws.write(boost::asio::buffer(
            json{{"t", "call"}, {"id", id++}, {"m", "GotoPosition"}, {"a", {target, 0, 0, 1}}}
                .dump()));
        target = 1 - target;
      }
      buffer.consume(buffer.size());
      ws.read(buffer);
      if (ws.got_text()) continue;
      const auto data = buffer.cdata();
      const std::string_view message(static_cast<const char*>(data.data()), data.size());
      std::uint32_t sequence = 0, readyMs = 0;
      std::int32_t width = 0, height = 0;
      if (!vistel::web::readFrameHeader(message, sequence, width, height, readyMs)) continue;
      const auto* jpeg =
          reinterpret_cast<const unsigned char*>(message.data()) + vistel::web::kFrameHeaderBytes;
      if (decode) {
        (void)tjDecompress2(tj, jpeg, message.size() - vistel::web::kFrameHeaderBytes,
                            pixels.data(), width, width * 4, height, TJPF_BGRX, TJFLAG_FASTDCT);
      }
      if (measuring) {
        result.delays.push_back(vistel::elapsedMs(vistel::nowMs(), readyMs));
        ++result.frames;
      }
      if (slowMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
      ws.text(true);
      ws.write(boost::asio::buffer(json{{"t", "ack"}, {"seq", sequence}}.dump()));
    }
    tjDestroy(tj);
    beast::error_code ec;
    ws.close(websocket::close_code::normal, ec);
  } catch (const std::exception&) {
    // A page that lost its connection reports what it got.
  }
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// Runs `pages` pages (the last one slow when `oneSlow`) against a server of
// `config` for 5 s after a 2 s start and reports their figures.
void measurePages(benchmark::State& state, vistel::web::ServerConfig config, int pages,
                  bool oneSlow, bool decode) {
  config.port = 0;
  config.policy.maxSessions = 64;
  config.onListening = [](std::uint16_t port, vistel::web::ServePolicy& policy) {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    policy.hostNames = {host};
    policy.origins = {"http://" + host};
  };
  std::string error;
  auto server = vistel::web::WebServer::start(config, error);
  if (!server) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<PageResult> results(static_cast<std::size_t>(pages));
  std::atomic<bool> measuring{false};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < pages; ++i) {
    const int slowMs = oneSlow && i == pages - 1 ? 60 : 0;
    threads.emplace_back(runPage, server->port(), slowMs, decode, std::ref(measuring),
                         std::ref(stop), std::ref(results[static_cast<std::size_t>(i)]));
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // pictures load, motions start
  measuring = true;
  constexpr double kSeconds = 5;
  std::this_thread::sleep_for(std::chrono::duration<double>(kSeconds));
  measuring = false;
  stop = true;
  server.reset();  // ends every connection, so the pages' reads return
  for (auto& t : threads) t.join();

  std::vector<double> delays;
  double slowest = 1e9;
  const int normal = oneSlow ? pages - 1 : pages;
  for (int i = 0; i < normal; ++i) {
    const PageResult& r = results[static_cast<std::size_t>(i)];
    delays.insert(delays.end(), r.delays.begin(), r.delays.end());
    slowest = std::min(slowest, static_cast<double>(r.frames) / kSeconds);
  }
  state.counters["fps_min"] = normal > 0 ? slowest : 0;
  state.counters["delay_ms_p50"] = percentile(delays, 0.5);
  state.counters["delay_ms_p95"] = percentile(delays, 0.95);
  if (oneSlow) {
    const PageResult& slow = results.back();
    state.counters["slow_fps"] = static_cast<double>(slow.frames) / kSeconds;
    state.counters["slow_delay_ms_p95"] = percentile(slow.delays, 0.95);
  }
}

// range(0): pages; range(1): 1 when the last page is slow; range(2): 1 when
// the pages decode what they get on this machine's cores too.
void BM_WebPages(benchmark::State& state) {
  for (auto _ : state) {
    vistel::web::ServerConfig config;
    (void)config.session.properties.set("Project",
                                        readFile(std::string(VISTEL_DEMO_DIR) + "/demo.xml"));
    vistel::ViewerEngineOptions engine;
    engine.fileBase = VISTEL_DEMO_DIR;
    config.session.engineFactory = vistel::viewerEngineFactory(engine);
    measurePages(state, std::move(config), static_cast<int>(state.range(0)), state.range(1) != 0,
                 state.range(2) != 0);
  }
}
BENCHMARK(BM_WebPages)
    ->Args({1, 0, 1})
    ->Args({2, 0, 1})
    ->Args({4, 0, 1})
    ->Args({6, 0, 1})
    ->Args({4, 1, 1})
    ->Args({4, 0, 0})
    ->Args({5, 0, 0})
    ->Args({6, 0, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The live demo: both simulated cameras (640x480 at 25 pictures a second, the
// views asking for all 25) in every page, the pages decoding what they get.
// range(0): pages; range(1): 1 when the sessions read the cameras through
// one CameraHub (as `vistel serve` does), 0 when each session's engine has
// readers of its own (one connection and one decode per page and camera).
// Besides the pages' figures: the camera connections opened, and the
// pictures decoded per camera picture sent.
void BM_WebPagesLive(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  const bool shared = state.range(1) != 0;
  for (auto _ : state) {
    vistel::sim::SimulatorOptions options;
    options.fps = 25;
    std::string error;
    auto cameras = vistel::sim::CameraSimulator::start(options, error);
    if (!cameras) {
      state.SkipWithError(error.c_str());
      return;
    }
    std::string project = readFile(std::string(VISTEL_SOURCE_DIR) + "/examples/demo-live/demo.xml");
    for (std::size_t i = 0; i < vistel::sim::CameraSimulator::kCameras; ++i) {
      const std::string from = "http://127.0.0.1:" + std::to_string(28471 + i) + "/video.mjpg";
      for (std::size_t at = project.find(from); at != std::string::npos; at = project.find(from))
        project.replace(at, from.size(), cameras->url(i));
    }
    for (std::size_t at = project.find(R"(fps="15")"); at != std::string::npos;
         at = project.find(R"(fps="15")"))
      project.replace(at, 8, R"(fps="25")");
    vistel::web::CameraHub hub;
    vistel::web::ServerConfig config;
    (void)config.session.properties.set("Project", project);
    vistel::ViewerEngineOptions engine;
    if (shared) {
      engine.environment.readerFactory = hub.readerFactory();
      engine.environment.rtspReaderFactory = hub.readerFactory();
    }
    config.session.engineFactory = vistel::viewerEngineFactory(engine);
    measurePages(state, std::move(config), pages, false, true);
    std::uint64_t connections = 0, sent = 0;
    for (std::size_t i = 0; i < vistel::sim::CameraSimulator::kCameras; ++i) {
      connections += cameras->counters(i).connections;
      sent += cameras->counters(i).framesMade;
    }
    state.counters["camera_connections"] = static_cast<double>(connections);
    if (shared && sent > 0)
      state.counters["decodes_per_picture"] =
          static_cast<double>(hub.picturesDecoded()) / static_cast<double>(sent);
  }
}
BENCHMARK(BM_WebPagesLive)->Args({4, 0})->Args({4, 1})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
