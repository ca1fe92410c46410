#pragma once

// What the navigator reaches of the engine that owns it: the scene whose
// current link it travels, the renderer it pans and zooms, the clock and
// motion times, and what the pass in progress drained (a click, the output
// size). The engine implements it; the navigator sees nothing else of it.
//
// Thread-safety: every member is called on the engine thread during a pass,
// or on the host thread with the engine's pass lock held (the navigator's
// construction).

#include <cstdint>

namespace vistel {

class FrameRenderer;
class Instance;
class Scene;

// The pointer press and output size of the pass in progress.
struct NavigatorPassInput {
  bool pressed = false;  // a PointerDown arrived this pass
  std::int32_t pressX = 0;
  std::int32_t pressY = 0;
  std::int32_t width = 0;  // 0 before the first Size
  std::int32_t height = 0;
};

class NavigatorHost {
 public:
  // The run-time scene; lives as long as the host.
  virtual Scene& navigatorScene() = 0;
  // The renderer; lives as long as the host.
  virtual FrameRenderer& navigatorRenderer() = 0;
  // Makes `edge`'s link current and its views the current views; false when
  // the edge names no link that can start.
  virtual bool enterEdge(Instance& edge) = 0;
  // The motions' time base, in ms.
  [[nodiscard]] virtual std::uint32_t navigatorNowMs() const = 0;
  // How long the next motion lasts: the preset time for a position posted
  // with usePresetTime, else the manual time (ms).
  [[nodiscard]] virtual std::int32_t motionTimeMs(bool usePresetTime) const = 0;
  [[nodiscard]] virtual NavigatorPassInput passInput() const = 0;

 protected:
  ~NavigatorHost() = default;
};

}  // namespace vistel
