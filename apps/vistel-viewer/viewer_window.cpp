#include "viewer_window.h"

#include <QVBoxLayout>

#include "vistel/widget/about_box.h"
#include "vistel/widget/frame_view.h"

namespace vistel {

QString viewerWindowTitle(const std::filesystem::path& project) {
  const QString product = QLatin1String(kProductName);
  if (project.empty()) return product;
  return product + QStringLiteral(" - ") +
         QString::fromStdString(project.filename().string());
}

ViewerWindow::ViewerWindow(const ViewerOptions& options, QWidget* parent) : QWidget(parent) {
  setWindowTitle(viewerWindowTitle(options.project));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new FrameView(this);
  layout->addWidget(view_);
  resize(options.width, options.height);
}

}  // namespace vistel
