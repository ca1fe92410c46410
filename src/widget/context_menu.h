#pragma once

// A pop-up menu run modally at a screen point, returning the chosen command
// instead of sending it, so the caller acts after the menu has closed.
//
// Thread-safety: the Qt user-interface thread only.

#include <QPoint>
#include <cstdint>
#include <span>

#include "vistel/host/host_ui.h"

class QWidget;

namespace vistel {

// Shows `items` in order (command 0: a separator) at `screenPoint` and waits
// until the menu closes. The chosen item's command, or 0 when nothing was
// chosen. `owner` (may be null) parents the menu.
std::int32_t runContextMenu(QWidget* owner, QPoint screenPoint,
                            std::span<const HostUi::MenuItem> items);

}  // namespace vistel
