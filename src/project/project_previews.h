#pragma once

// The small projects an editor's previews show, made from the document it
// holds: one view alone (its corrected picture and its shapes, as the viewer
// draws a view without a link) and one link from its start (both views, the
// link's keys, an edge into it). They carry every <lens> of the document, so
// a view's own lens works in them, and a view's picture can be replaced (a
// frozen picture instead of the live camera).
//
// Thread-safety: pure functions over a document nobody changes meanwhile.

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "vistel/project/document.h"

namespace vistel {

// Picture names that replace the `src` of the views they are keyed by.
using PictureOverrides = std::map<std::string, std::string, std::less<>>;

// The id the previews give a view shown alone and their start view.
inline constexpr std::string_view kPreviewStart = "preview";

// A project showing view `view` alone with its attributes and shapes; the
// project of one empty view when there is no such view.
std::string viewPreviewText(const ProjectDocument& document, std::string_view view,
                            const PictureOverrides& pictures = {});

// A project that starts on link `link`, entered forward from its `from`
// view: both views (attributes and shapes), the link with its attributes and
// keys, and the lenses. The project of one empty view when the link or one of
// its views is missing.
std::string linkPreviewText(const ProjectDocument& document, std::string_view link,
                            const PictureOverrides& pictures = {});

}  // namespace vistel
