#pragma once

// The About box of the viewer: product name, version, who made it, the
// acknowledgement the JPEG library's licence asks for, and two web links that
// open in the desktop's browser. A "Close" button ends it.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QDialog>
#include <QString>

namespace vistel {

// Texts of the About box.
inline constexpr char kProductName[] = "Vistel";
inline constexpr char kAboutMakers[] = "Made by the Vistel developers.";
inline constexpr char kAboutJpegNote[] =
    "This software is based in parts on the work of the Independent JPEG Group.";
inline constexpr char kAboutJpegLink[] = "https://www.ijg.org/";
inline constexpr char kAboutQtLink[] = "https://www.qt.io/";
inline constexpr char kAboutClose[] = "Close";

// "Version X.Y.Z" of this build.
QString aboutVersionLine();

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  // `parent` (may be null) owns the box when given.
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace vistel
