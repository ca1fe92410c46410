#pragma once

// Keys from points picked in frames: where a frame pixel lies in view space,
// and the key quad of four points picked in a view's corrected picture.
//
// A frame the renderer draws of one view alone shows that view's corrected
// picture (lens distortion removed) stretched over the block area: the grid
// node for frame pixel (left + 16 i, top + 16 j), where left = (W div 2) mod 8
// and top = (H div 2) mod 8, shows normalised point (16 i / W - 0.5,
// 16 j / H - 0.5). A key's corners are exactly such normalised points of the
// corrected picture, and at the start of a link the transition shows the
// source view through the identity, so a corner picked at frame position p in
// the view alone lands at p again when the link starts there.
//
// Frame positions are continuous, with pixel k of the frame at position k (the
// renderer samples each output pixel at its own position).
//
// Thread-safety: pure functions; any thread.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "vistel/scene/geometry.h"
#include "vistel/scene/warp_grid.h"

namespace vistel {

// A position in a frame, in pixels.
struct FramePoint {
  double x = 0;
  double y = 0;
};

// The view-space point that frame position (x, y) of a width x height frame
// shows under `pose` (a frame of one view alone shows it at the unit pose).
Vec2 viewPointOfFramePosition(double x, double y, std::int32_t width, std::int32_t height,
                              const ViewPose& pose = {});

// The frame position that shows view-space point `v` under `pose`; the
// inverse of viewPointOfFramePosition.
FramePoint framePositionOfViewPoint(Vec2 v, std::int32_t width, std::int32_t height,
                                    const ViewPose& pose = {});

// What is wrong with four points as a key, if anything.
enum class KeyQuadCheck {
  Ok,
  NotFinite,   // a coordinate is not a number or infinite
  OutOfRange,  // a corner lies more than a picture's width or height outside it
  Degenerate,  // three corners (nearly) on a line, or corners (nearly) coinciding
  NotConvex,   // the corners do not go round a convex quadrilateral in order
};

// Checks four corners (normalised coordinates, in key order) as the picture of
// a square on the ground: a convex quadrilateral, walked round in one sense,
// whose every turn spans at least a millionth of the picture's area.
[[nodiscard]] KeyQuadCheck checkKeyQuad(const KeyQuad& quad);

// The key text of `quad`, or nothing when checkKeyQuad refuses it.
[[nodiscard]] std::optional<std::string> keyTextOf(const KeyQuad& quad);

// The key quad in key text `text`, or nothing when it holds no whole key.
[[nodiscard]] std::optional<KeyQuad> keyQuadOfText(const std::string& text);

// The key whose corners were picked at frame positions `points` (in key order)
// of a width x height frame showing the view alone.
KeyQuad keyOfFramePositions(const std::array<FramePoint, 4>& points, std::int32_t width,
                            std::int32_t height);

// The frame positions of a key's corners in a width x height frame showing
// the view alone.
std::array<FramePoint, 4> framePositionsOfKey(const KeyQuad& quad, std::int32_t width,
                                              std::int32_t height);

}  // namespace vistel
