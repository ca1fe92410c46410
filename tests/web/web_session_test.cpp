// test-labels: threads
#include "vistel/web/web_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <set>
#include <thread>

#include "support/test_paths.h"

namespace vistel::web {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// An engine that records what the control asks of it, safe to read from the
// test thread while the session's host thread drives it.
class RecordingEngine : public ControlEngine {
 public:
  void postEvent(WindowEvent code, std::int32_t a, std::int32_t b) override {
    std::lock_guard lock(mutex);
    events.push_back({static_cast<int>(code), a, b});
  }
  bool postPosition(const ViewPosition& target, MotionTime) override {
    std::lock_guard lock(mutex);
    positions.push_back(target);
    return true;
  }
  ViewPosition currentPosition() const override {
    std::lock_guard lock(mutex);
    return position;
  }
  float zoom() const override { return currentPosition().zoomFactor; }
  void setZoom(float value) override {
    std::lock_guard lock(mutex);
    position.zoomFactor = value;
  }
  void setPresetTime(std::int32_t) override {}
  void setManualTime(std::int32_t) override {}
  void suspend() override {}
  void resume() override {}
  void setPlaceholder(std::span<const std::uint8_t>, std::int32_t, std::int32_t) override {}
  bool saveSnapshot(const std::string& path) override {
    std::ofstream(path, std::ios::binary) << std::string("\xFF\xD8\xFF\xD9", 4);
    return true;
  }
  bool loadProject(std::string_view text, std::string_view) override {
    std::lock_guard lock(mutex);
    loaded.emplace_back(text);
    return true;
  }

  mutable std::mutex mutex;
  ViewPosition position{0.5f, 0.0f, 0.0f, 1.0f};  // guarded by mutex
  std::vector<std::array<int, 3>> events;         // guarded by mutex
  std::vector<ViewPosition> positions;            // guarded by mutex
  std::vector<std::string> loaded;                // guarded by mutex
};

class RecordingTransport : public SessionTransport {
 public:
  void wake() override {
    std::lock_guard lock(mutex);
    ++wakes;
    changed.notify_all();
  }
  void close(std::uint16_t code, std::string reason) override {
    std::lock_guard lock(mutex);
    if (!closeCode) closeCode = code;
    closeReason = std::move(reason);
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
  int wakes = 0;                           // guarded by mutex
  std::optional<std::uint16_t> closeCode;  // guarded by mutex
  std::string closeReason;                 // guarded by mutex
};

// A page: sends text, drains the session's outbox like the connection does.
class WebSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = test::scratchDir("web-session");
    policy.projectFolder = folder;
    setup.policy = &policy;
    (void)setup.properties.set(
        "Project",
        R"(<quilo startview="a"><view id="a" src="http://admin:pw@cam/a.jpg"/></quilo>)");
    setup.engineFactory = [this](VistelControl& control) {
      auto engine = std::make_unique<RecordingEngine>();
      std::lock_guard lock(made);
      this->engine = engine.get();
      this->control = &control;
      return engine;
    };
  }

  void start() { session = std::make_unique<WebSession>(setup, transport); }
  // A new session on the same transport, once the old one has ended.
  void restart() {
    session.reset();
    {
      std::lock_guard lock(transport.mutex);
      transport.closeCode.reset();
    }
    start();
  }

  void hello(bool visible = true, const json& params = json::object()) {
    session->receiveText(json{
        {"t", "hello"}, {"params", params}, {"width", 64}, {"height", 48}, {"visible", visible}}
                             .dump());
    ASSERT_TRUE(waitForText([](const json& m) { return m["t"] == "ready"; }));
  }

  // Drains the outbox until `want` holds for a text not matched before, or
  // 5 s pass.
  template <class Want>
  std::optional<json> waitForText(Want want) {
    std::optional<json> found;
    pump([&] {
      for (std::size_t i = 0; i < texts.size(); ++i) {
        if (!matched.contains(i) && want(texts[i])) {
          found = texts[i];
          matched.insert(i);
          return true;
        }
      }
      return false;
    });
    return found;
  }

  template <class Done>
  bool pump(Done done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      while (auto out = session->takeOutgoing()) {
        if (out->binary) {
          binaries.push_back(std::move(out->bytes));
        } else {
          texts.push_back(json::parse(out->bytes));
        }
      }
      if (done()) return true;
      std::unique_lock lock(transport.mutex);
      transport.changed.wait_for(lock, 5ms);
    }
    return false;
  }

  json call(const std::string& member, const json& args) {
    const int id = nextId++;
    session->receiveText(json{{"t", "call"}, {"id", id}, {"m", member}, {"a", args}}.dump());
    auto reply = waitForText([&](const json& m) { return m["t"] == "reply" && m["id"] == id; });
    return reply ? *reply : json();
  }

  std::optional<std::uint16_t> closeCode() {
    std::lock_guard lock(transport.mutex);
    return transport.closeCode;
  }

  std::filesystem::path folder;
  ServePolicy policy;
  SessionSetup setup;
  RecordingTransport transport;
  std::mutex made;
  RecordingEngine* engine = nullptr;  // guarded by made until the first hello
  VistelControl* control = nullptr;   // guarded by made
  std::unique_ptr<WebSession> session;
  std::vector<json> texts;
  std::vector<std::string> binaries;
  std::set<std::size_t> matched;
  int nextId = 1;
};

TEST_F(WebSessionTest, MembersAnswerWithTheControlsResults) {
  start();
  hello();
  EXPECT_EQ(call("GotoPosition", {1, 0.5, -0.5, 4})["v"], 1);
  EXPECT_EQ(call("GotoPosition", {0.5, 0, 0, 0.23})["v"], 0);
  EXPECT_EQ(call("GetZoomFactor", json::array())["v"], 1.0);
  EXPECT_TRUE(call("GotoPosition", {"1", 0, 0, 1}).contains("error"));
  EXPECT_TRUE(call("SetManualTime", {70000}).contains("error"));  // no int16
  EXPECT_TRUE(call("Launch", json::array()).contains("error"));
  // The project a page reads back never shows a camera password.
  const std::string project = call("Project", json::array())["v"];
  EXPECT_EQ(project.find("pw"), std::string::npos) << project;
  EXPECT_NE(project.find("***:***@cam"), std::string::npos);
  std::lock_guard lock(engine->mutex);
  ASSERT_EQ(engine->positions.size(), 1u);
  EXPECT_EQ(engine->positions[0].zoomFactor, 4.0f);
}

TEST_F(WebSessionTest, PageProjectsAndUrlsAreRefusedUnlessAllowed) {
  start();
  hello(true, {{"Project", "<quilo/>"}, {"Preset1", "0.5;0,0;1;"}});
  EXPECT_TRUE(waitForText([](const json& m) {
    return m["t"] == "event" && m["name"] == "error" &&
           m["detail"]["message"].get<std::string>().find("Project") != std::string::npos;
  }));
  EXPECT_TRUE(call("SetProjectXMLBuffer", {"<quilo/>"}).contains("error"));
  EXPECT_TRUE(call("Project", {"<quilo/>"}).contains("error"));
  EXPECT_TRUE(call("ExecSilentURL", {"http://cam/x"}).contains("error"));
  EXPECT_TRUE(call("Recalibrate", {"a.jpg", "", "b.jpg", ""}).contains("error"));
  std::lock_guard lock(engine->mutex);
  ASSERT_EQ(engine->loaded.size(), 1u);  // only the server's own project
  EXPECT_NE(engine->loaded[0].find("admin:pw@cam"), std::string::npos);
}

TEST_F(WebSessionTest, AllowedPageProjectsStillKeepToWebCamerasAndTheFolder) {
  policy.allowPageProjects = true;
  start();
  hello();
  EXPECT_TRUE(call("SetProjectXMLBuffer",
                   {R"(<quilo startview="a"><view id="a" src="file:///etc/hosts"/></quilo>)"})
                  .contains("error"));
  const json ok = call("SetProjectXMLBuffer",
                       {R"(<quilo startview="a"><view id="a" src="https://cam/a.jpg"/></quilo>)"});
  EXPECT_FALSE(ok.contains("error")) << ok;
  EXPECT_TRUE(waitForText([](const json& m) { return m["name"] == "projectchange"; }));
  std::lock_guard lock(engine->mutex);
  EXPECT_EQ(engine->loaded.size(), 2u);
}

TEST_F(WebSessionTest, FramesWaitForAcknowledgementsAndStopWhileHidden) {
  start();
  hello();
  std::vector<std::uint32_t> pixels(64 * 48, 0x00FF8000u);
  std::atomic<bool> stop{false};
  VistelControl* target = nullptr;
  {
    std::lock_guard lock(made);
    target = control;
  }
  // The engine thread: a new frame every 2 ms.
  std::thread renderer([&] {
    while (!stop) {
      pixels[0] ^= 1;
      (void)target->deliverFrame(pixels.data(), 64, 48);
      std::this_thread::sleep_for(2ms);
    }
  });
  // Without acknowledgements at most two frames ever arrive.
  ASSERT_TRUE(pump([&] { return binaries.size() >= 2; }));
  pump([] { return false; }, 200ms);
  EXPECT_EQ(binaries.size(), 2u);
  EXPECT_EQ(session->unacknowledgedFrames(), 2u);
  std::uint32_t sequence = 0;
  std::int32_t width = 0, height = 0;
  std::uint32_t readyMs = 0;
  ASSERT_TRUE(readFrameHeader(binaries[1], sequence, width, height, readyMs));
  EXPECT_EQ(width, 64);
  EXPECT_EQ(binaries[1].substr(kFrameHeaderBytes, 2), "\xFF\xD8");

  session->receiveText(json{{"t", "ack"}, {"seq", sequence}}.dump());
  EXPECT_TRUE(pump([&] { return binaries.size() >= 3; }));

  session->receiveText(R"({"t":"show","v":false})");
  pump([] { return false; }, 100ms);  // a frame encoded before the hide may still go
  const std::size_t before = binaries.size();
  pump([] { return false; }, 300ms);
  EXPECT_EQ(binaries.size(), before);
  stop = true;
  renderer.join();
  std::lock_guard lock(engine->mutex);
  EXPECT_EQ(engine->events.back(), (std::array<int, 3>{3, 0, 0}));  // Show, hidden
}

TEST_F(WebSessionTest, TheContextMenuIsAskedOfThePageAndRunsOnlyOfferedCommands) {
  start();
  hello();
  session->receiveText(R"({"t":"down","b":2,"x":10,"y":20})");
  session->receiveText(R"({"t":"up","b":2,"x":10,"y":20})");
  auto menu = waitForText([](const json& m) { return m["t"] == "ask" && m["kind"] == "menu"; });
  ASSERT_TRUE(menu);
  EXPECT_EQ((*menu)["x"], 10);
  EXPECT_EQ((*menu)["items"][0]["label"], "Zoom in");
  session->receiveText(json{{"t", "answer"}, {"id", (*menu)["id"]}, {"v", 0x8000}}.dump());

  // A command the menu did not offer (copy position) is not run.
  session->receiveText(R"({"t":"up","b":2,"x":1,"y":1})");
  menu = waitForText([](const json& m) { return m["t"] == "ask" && m["kind"] == "menu"; });
  ASSERT_TRUE(menu);
  session->receiveText(json{{"t", "answer"}, {"id", (*menu)["id"]}, {"v", 2}}.dump());

  session->receiveText(
      json{{"t", "call"}, {"id", 99}, {"m", "PromptSnapshot"}, {"a", json::array()}}.dump());
  auto save = waitForText([](const json& m) { return m["t"] == "ask" && m["kind"] == "save"; });
  ASSERT_TRUE(save);
  session->receiveText(json{{"t", "answer"}, {"id", (*save)["id"]}, {"v", "../../etc/x"}}.dump());
  ASSERT_TRUE(waitForText([](const json& m) { return m["t"] == "reply" && m["id"] == 99; }));
  ASSERT_FALSE(binaries.empty());
  // The snapshot comes back to the page under a plain file name.
  EXPECT_EQ(binaries.back(), std::string("VSNP\x0F\x00"
                                         ".._.._etc_x.jpg\xFF\xD8\xFF\xD9",
                                         25));
  EXPECT_FALSE(transport.closeCode);
  std::lock_guard lock(engine->mutex);
  ASSERT_EQ(engine->positions.size(), 1u);  // the zoom in; nothing from the copy
  EXPECT_EQ(engine->positions[0].zoomFactor, 1.5f);
}

TEST_F(WebSessionTest, AnOpenDialogIsCancelledWhenThePageGoesAway) {
  start();
  hello();
  session->receiveText(R"({"t":"up","b":2,"x":1,"y":1})");
  ASSERT_TRUE(waitForText([](const json& m) { return m["kind"] == "menu"; }));
  session->connectionClosed();
  session.reset();  // returns only once the host thread has left the dialog
  SUCCEED();
}

TEST_F(WebSessionTest, MisbehavingPagesAreDisconnected) {
  start();
  session->receiveText(R"({"t":"call","id":1,"m":"Home","a":[]})");
  EXPECT_EQ(closeCode(), kClosePolicy);  // hello comes first

  restart();
  hello();
  session->receiveText(R"({"t":"call","id":1,"m":"Home","a":[")" + std::string(70000, 'x') +
                       R"("]})");
  EXPECT_EQ(closeCode(), kCloseTooBig);

  std::uint32_t now = 1000;
  session.reset();
  setup.clock = [&now] { return now; };
  policy.messageBurst = 20;
  restart();
  hello();
  for (int i = 0; i < 30 && !closeCode(); ++i) session->receiveText(R"({"t":"move","x":1,"y":1})");
  EXPECT_EQ(closeCode(), kClosePolicy);
}

}  // namespace
}  // namespace vistel::web
