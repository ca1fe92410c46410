#pragma once

// What a view says about its camera, in the placeholder's words (caption.h):
// why it has no picture ("CAMERA NOT REACHABLE", "NOT FOUND (404)", ...), or
// how old a stale picture is ("PICTURE 14 S OLD", with the reason after a
// colon when the camera is known to fail).
//
// Thread-safety: a pure function.

#include <string>

#include "vistel/imaging/image_source_manager.h"

namespace vistel {

// The caption for `status`: empty when there is nothing to say (a fresh
// picture, or none yet and no failure, when the placeholder is shown as it is).
[[nodiscard]] std::string sourceCaption(const ImageSourceManager::PictureStatus& status);

}  // namespace vistel
