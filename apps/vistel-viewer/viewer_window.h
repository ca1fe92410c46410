#pragma once

// The main window of vistel-viewer: the viewer widget and nothing else (no
// menu bar, no tool bar), titled with the product name and the project's
// file name. Its viewer offers opening project files (context menu, Ctrl+O,
// dropped files), and the title follows the project opened.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QString>
#include <QWidget>
#include <filesystem>

#include "viewer_options.h"
#include "vistel/host/vistel_control.h"

namespace vistel {

class VistelWidget;

// "Vistel - NAME" for a project file NAME, "Vistel" without one.
QString viewerWindowTitle(const std::filesystem::path& project);

class ViewerWindow : public QWidget {
  Q_OBJECT

 public:
  // The window for `options`, its control made with `makeEngine`, the
  // options' properties loaded (which may ask for camera credentials) and
  // the view sized; not shown yet.
  ViewerWindow(const ViewerOptions& options, const VistelControl::EngineFactory& makeEngine,
               QWidget* parent = nullptr);

  // The viewer filling the window; owned by it.
  VistelWidget* viewer() const { return viewer_; }

 private:
  VistelWidget* viewer_;
};

}  // namespace vistel
