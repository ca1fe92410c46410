#pragma once

// The save-file chooser of the viewer (the snapshot dialog): a QFileDialog set
// up from a HostUi::SaveFileRequest.
//
// Thread-safety: the Qt user-interface thread only.

#include <QStringList>
#include <string_view>

#include "vistel/host/host_ui.h"

class QFileDialog;

namespace vistel {

// Turns "Description|*.a;*.b;|Other|*.c|" pairs into Qt name filters
// ("Description (*.a *.b)", "Other (*.c)"). Pairs without a pattern are
// skipped; an unpaired trailing description is dropped.
QStringList qtNameFilters(std::string_view filter);

// Sets `dialog` up for `request`: save mode, the default suffix, the name
// filters, the initial name, overwrite confirmation as asked. The read-only
// box of other desktops does not exist in Qt's dialogs.
void configureSaveFileDialog(QFileDialog& dialog, const HostUi::SaveFileRequest& request);

}  // namespace vistel
