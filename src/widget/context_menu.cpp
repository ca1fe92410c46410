#include "vistel/widget/context_menu.h"

#include <QAction>
#include <QMenu>

namespace vistel {

std::int32_t runContextMenu(QWidget* owner, QPoint screenPoint,
                            std::span<const HostUi::MenuItem> items) {
  QMenu menu(owner);
  for (const HostUi::MenuItem& item : items) {
    if (item.command == 0) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(
        QString::fromUtf8(item.label.data(), static_cast<qsizetype>(item.label.size())));
    action->setData(static_cast<int>(item.command));
  }
  const QAction* chosen = menu.exec(screenPoint);
  return chosen != nullptr ? static_cast<std::int32_t>(chosen->data().toInt()) : 0;
}

}  // namespace vistel
