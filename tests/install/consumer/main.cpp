// A consumer of the installed package: embeds the viewer through the control
// on the real engine with nothing but the installed API, and links the
// library with its dependencies.
#include <vistel/vistel.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// A host whose window exists; it shows nothing and answers every question "no".
class HeadlessUi : public vistel::HostUi {
 public:
  bool windowExists() const override { return true; }
};

bool fail(const char* what) {
  std::printf("consumer failed: %s\n", what);
  return false;
}

bool clockAndDocument() {
  vistel::ManualClock clock(0xFFFFFFFFu);
  vistel::ScopedClock guard(clock);
  clock.advance(2);
  if (vistel::elapsedMs(vistel::nowMs(), 0xFFFFFFFFu) != 2) return fail("clock");

  const std::string text = "<quilo startview=\"a\"><view id=\"a\" src=\"cam.jpg\"/></quilo>";
  vistel::ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  if (holder.project() == nullptr || holder.project()->findView("a") == nullptr) {
    return fail("loader");
  }
  if (vistel::encodeKeyText({}).size() != vistel::kKeyTextLength) return fail("key text");
  return true;
}

// A project of one view, shown by the real engine in a 64 x 48 window: a
// frame arrives and a motion lands where it was sent.
bool controlOnTheEngine() {
  HeadlessUi ui;
  vistel::VistelControl control(ui, vistel::viewerEngineFactory());
  if (!control.hasEngine()) return fail("no engine");
  vistel::PropertyBag properties;
  if (!properties.set("Project", "<quilo startview=\"a\"><view id=\"a\"/></quilo>")) {
    return fail("property");
  }
  control.load(properties);
  control.onCreate();
  control.onShowWindow(true, 0);
  control.onSize(64, 48);
  control.SetManualTime(0);

  vistel::PaintPlan plan;
  bool landed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  bool posted = false;
  while (std::chrono::steady_clock::now() < deadline && !(plan.hasFrame && landed)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    control.paint(64, 48, plan);
    if (!posted) posted = control.GotoPosition(0.0f, 0.1f, 0.0f, 2.0f) == 1;
    landed = posted && control.GetZoomFactor() == 2.0f && control.GetXOffset() == 0.1f;
  }
  control.onDestroy();
  if (!plan.hasFrame || plan.frame.width != 64 || plan.frame.height != 48) return fail("frame");
  if (!landed) return fail("motion");
  return true;
}

}  // namespace

int main() {
  if (!clockAndDocument() || !controlOnTheEngine()) return 1;
  std::puts("consumer ok");
  return 0;
}
