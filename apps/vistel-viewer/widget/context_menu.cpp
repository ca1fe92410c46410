#include "vistel/widget/context_menu.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace vistel {

int runContextMenu(QWidget* owner, QPoint clientPoint, std::span<const MenuEntry> entries) {
  QMenu menu(owner);
  for (const MenuEntry& entry : entries) {
    if (entry.id == 0) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(
        QString::fromUtf8(entry.label.data(), static_cast<qsizetype>(entry.label.size())));
    action->setData(entry.id);
  }
  const QAction* chosen = menu.exec(owner->mapToGlobal(clientPoint));
  return chosen != nullptr ? chosen->data().toInt() : 0;
}

}  // namespace vistel
