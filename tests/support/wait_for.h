#pragma once

// Waiting in tests for progress made on other threads.

#include <chrono>
#include <thread>

namespace vistel::test {

// Polls `done` every 2 ms until it holds (true) or `limit` passes (false).
// The default only bounds waits for progress, which end as soon as `done`
// holds; it is generous because sanitizer builds on a loaded machine run many
// times slower.
template <class Condition>
bool waitFor(Condition done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace vistel::test
