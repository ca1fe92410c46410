// A consumer of the installed package: includes public headers by their
// installed paths and links the library.
#include <vistel/platform/clock.h>

#include <cstdio>

int main() {
  vistel::ManualClock clock(0xFFFFFFFFu);
  vistel::ScopedClock guard(clock);
  clock.advance(2);
  if (vistel::elapsedMs(vistel::nowMs(), 0xFFFFFFFFu) != 2) return 1;
  std::puts("consumer ok");
  return 0;
}
