#pragma once

// The main window of vistel-viewer: the view and nothing else (no menu bar,
// no tool bar), titled with the product name and the project's file name.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QString>
#include <QWidget>
#include <filesystem>

#include "viewer_options.h"

namespace vistel {

class FrameView;

// "Vistel - NAME" for a project file NAME, "Vistel" without one.
QString viewerWindowTitle(const std::filesystem::path& project);

class ViewerWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ViewerWindow(const ViewerOptions& options, QWidget* parent = nullptr);

  // The view filling the window; owned by it.
  FrameView* view() const { return view_; }

 private:
  FrameView* view_;
};

}  // namespace vistel
