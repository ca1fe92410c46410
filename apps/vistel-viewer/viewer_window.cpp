#include "viewer_window.h"

#include <QFile>
#include <QVBoxLayout>
#include <string_view>

#include "vistel/widget/vistel_widget.h"

namespace vistel {

QString viewerWindowTitle(const std::filesystem::path& project) {
  const std::string_view product = kAboutProductName;
  QString title = QString::fromUtf8(product.data(), static_cast<qsizetype>(product.size()));
  if (!project.empty()) {
    title += QStringLiteral(" - ") + QString::fromStdString(project.filename().string());
  }
  return title;
}

ViewerWindow::ViewerWindow(const ViewerOptions& options,
                           const VistelControl::EngineFactory& makeEngine, QWidget* parent)
    : QWidget(parent) {
  setWindowTitle(viewerWindowTitle(options.project));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  viewer_ = new VistelWidget(makeEngine, this);
  layout->addWidget(viewer_);
  viewer_->control().setProjectOpening(ProjectOpening::Offered);
  connect(viewer_, &VistelWidget::projectOpened, this, [this](const QString& path) {
    setWindowTitle(viewerWindowTitle(QFile::encodeName(path).toStdString()));
  });
  resize(options.width, options.height);
  // Before the window exists, as a page's properties are read.
  viewer_->control().load(options.properties);
}

}  // namespace vistel
