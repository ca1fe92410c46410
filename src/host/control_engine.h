#pragma once

// The viewer engine as the control drives it: exactly the operations the
// control's properties, automation members and window handlers call. The
// control holds its engine through this interface so that a host or a test
// can give it another one; viewer_engine_binding.h makes the real one.
//
// Thread-safety: every operation is called on the host thread only.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vistel/engine/viewer_engine.h"
#include "vistel/host/preset_text.h"

namespace vistel {

// The window events the control posts, with the engine's event codes.
enum class WindowEvent : std::int32_t {
  Created = 1,
  Show = 3,  // a: 1 shown, 0 hidden; b: status
  Repaint = 4,
  Size = 5,  // a, b: width, height
  Stop = 7,
  Idle = 8,
  PointerDown = 32,  // a, b: client pixels
  PointerUp = 33,
  SecondaryDown = 34,
  SecondaryUp = 35,  // a, b: screen pixels
  PointerMove = 36,
  KeyDown = 64,  // a, b: key code, key flags
  KeyUp = 65,
};

class ControlEngine {
 public:
  virtual ~ControlEngine() = default;

  // Appends one event to the engine's queue; waits while the queue is full
  // and the engine still takes events (never once it has stopped).
  virtual void postEvent(WindowEvent code, std::int32_t a, std::int32_t b) = 0;
  // Queues a motion to `target`, lasting the preset or the manual time; true
  // when queued. Discarded (false) while no project is loaded.
  [[nodiscard]] virtual bool postPosition(const ViewPosition& target, MotionTime time) = 0;
  // Progress (0 in a project without a link), pan and zoom now; all zero
  // while no project is loaded.
  [[nodiscard]] virtual ViewPosition currentPosition() const = 0;
  // The zoom factor now; 0 while no project is loaded.
  [[nodiscard]] virtual float zoom() const = 0;
  // Sets the zoom factor at once, without a motion; nothing without a project.
  virtual void setZoom(float value) = 0;
  // Durations of later motions in milliseconds (the caller checks the range).
  virtual void setPresetTime(std::int32_t ms) = 0;
  virtual void setManualTime(std::int32_t ms) = 0;
  // Stops or restarts stepping, scripts and rendering; events are still taken.
  virtual void suspend() = 0;
  virtual void resume() = 0;
  // The picture centred in frames without a camera picture: width * height
  // RGB triples, copied during the call.
  virtual void setPlaceholder(std::span<const std::uint8_t> rgb, std::int32_t width,
                              std::int32_t height) = 0;
  // Writes the current frame as a JPEG file; false when nothing was written.
  virtual bool saveSnapshot(const std::string& path) = 0;
  // Parses `text` as a project and shows it, reading relative file://
  // pictures from the folder `fileBase` (empty: the folder the engine was
  // made with); false when it is not one with a start view, and the project
  // shown before stays.
  virtual bool loadProject(std::string_view text, std::string_view fileBase) = 0;
};

}  // namespace vistel
