// A consumer of the installed package: includes public headers by their
// installed paths and links the library with its dependencies.
#include <vistel/platform/clock.h>
#include <vistel/project/encoding.h>
#include <vistel/project/project_holder.h>

#include <cstdio>
#include <string>

int main() {
  vistel::ManualClock clock(0xFFFFFFFFu);
  vistel::ScopedClock guard(clock);
  clock.advance(2);
  if (vistel::elapsedMs(vistel::nowMs(), 0xFFFFFFFFu) != 2) return 1;

  const std::string text = "<quilo startview=\"a\"><view id=\"a\" src=\"cam.jpg\"/></quilo>";
  vistel::ProjectHolder holder;
  (void)holder.load(text.data(), text.size());
  if (holder.project() == nullptr || holder.project()->findView("a") == nullptr) return 1;
  if (vistel::encodeKeyText({}).size() != vistel::kKeyTextLength) return 1;
  std::puts("consumer ok");
  return 0;
}
