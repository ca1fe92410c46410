#pragma once

// A pop-up menu run modally at a point of a widget, returning the chosen
// command instead of sending it, so the caller acts after the menu closed.
//
// Thread-safety: the Qt user-interface thread only.

#include <QPoint>
#include <span>
#include <string_view>

class QWidget;

namespace vistel {

struct MenuEntry {
  int id = 0;                   // command identifier; 0 makes a separator
  std::string_view label = {};  // ignored for a separator
};

// Shows `entries` in order at `clientPoint` of `owner` (in screen
// coordinates, via the widget) and waits until the menu closes. The chosen
// entry's id, or 0 when nothing was chosen. `owner` must not be null.
int runContextMenu(QWidget* owner, QPoint clientPoint, std::span<const MenuEntry> entries);

}  // namespace vistel
