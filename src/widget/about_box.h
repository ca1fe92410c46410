#pragma once

// The About box of the viewer: product name, version, who made it, the
// acknowledgement the JPEG library's licence asks for, and two web links that
// open in the desktop's browser. A "Close" button ends it. Its texts are the
// kAbout* constants every host shares (vistel_control.h).
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QDialog>

namespace vistel {

inline constexpr char kAboutClose[] = "Close";

class AboutBox : public QDialog {
  Q_OBJECT

 public:
  // `parent` (may be null) owns the box when given.
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace vistel
