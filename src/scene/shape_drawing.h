#pragma once

// Shape outlines over the rendered pictures. A flat shape's points are
// fractions of the output frame; a projected shape's points are fractions of
// its view's camera picture and follow the picture through the link's
// homography. Lines go through the renderer's drawLine in the `linecolor` of
// the shape (or its view, or the root; 0 when none has it), clipped per pixel.
// Zoom and pan are not applied to outlines.
//
// Thread-safety: the renderer's thread (engine thread) only.

#include "vistel/scene/geometry.h"
#include "vistel/scene/shape_instance.h"

namespace vistel {

class FrameRenderer;

// The closed polygon in frame fractions: each edge from the last point to the
// first, then the first to the second, and so on, at (trunc(x * W),
// trunc(y * H)). An edge with an end that is not a number is left out.
void drawFlat(FrameRenderer& renderer, ShapeInstance& shape);

// A projected shape with each point v taken to inverse(viewToImage) applied to
// v - (0.5, 0.5), plus (0.5, 0.5), then drawn as drawFlat draws; a flat shape
// is drawn by drawFlat.
void drawProjected(FrameRenderer& renderer, ShapeInstance& shape, const Homography& viewToImage);

}  // namespace vistel
