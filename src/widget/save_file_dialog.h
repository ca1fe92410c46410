#pragma once

// The file choosers of the viewer (the snapshot dialog, opening a project):
// QFileDialogs set up from a HostUi::SaveFileRequest or OpenFileRequest.
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

// Sets `dialog` up for `request`: open mode, one existing file, the name filters.
void configureOpenFileDialog(QFileDialog& dialog, const HostUi::OpenFileRequest& request);

}  // namespace vistel
