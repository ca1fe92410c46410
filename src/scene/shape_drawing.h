#pragma once

// Shape outlines over the rendered pictures. A flat shape's points are
// fractions of the output frame; a projected shape's points are fractions of
// its view's camera picture and follow the picture: through the link's
// homography into view space, then through the renderer's zoom and pan onto
// the frame exactly as the pictures' grid maps view space, so an outline stays
// on the object it marks whatever the position. Lines go through the
// renderer's drawLine in the `linecolor` of the shape (or its view, or the
// root; 0 when none has it), clipped per pixel.
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

// A projected shape with each point v taken to the view point
// inverse(viewToImage) applied to v - (0.5, 0.5), and that to the frame pixel
// the renderer's pictures show it at: (left + W * ((x - xOffset) * zoom + 0.5),
// top + H * ((y - yOffset) * zoom + 0.5)), with (left, top) the corner of the
// block area (frame_drawing.h); then drawn as drawFlat draws. A flat shape is
// drawn by drawFlat.
void drawProjected(FrameRenderer& renderer, ShapeInstance& shape, const Homography& viewToImage);

}  // namespace vistel
