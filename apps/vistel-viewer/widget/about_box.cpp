#include "vistel/widget/about_box.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace vistel {

namespace {

QLabel* linkLabel(const char* url, const QString& text, QWidget* parent) {
  auto* label = new QLabel(
      QStringLiteral("<a href=\"%1\">%2</a>").arg(QString::fromLatin1(url), text.toHtmlEscaped()),
      parent);
  label->setTextFormat(Qt::RichText);
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  // QDesktopServices rather than the label's own external-link handling, so
  // the desktop's configured browser is asked and a registered handler
  // (another application, or a test) sees the request.
  QObject::connect(label, &QLabel::linkActivated,
                   [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
  return label;
}

}  // namespace

QString aboutVersionLine() { return QStringLiteral("Version " VISTEL_VERSION_TEXT); }

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About %1").arg(QLatin1String(kProductName)));
  auto* layout = new QVBoxLayout(this);

  auto* name = new QLabel(QLatin1String(kProductName), this);
  QFont big = name->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.5);
  name->setFont(big);
  layout->addWidget(name);
  layout->addWidget(new QLabel(aboutVersionLine(), this));
  layout->addWidget(new QLabel(QLatin1String(kAboutMakers), this));
  auto* note = new QLabel(QLatin1String(kAboutJpegNote), this);
  note->setWordWrap(true);
  layout->addWidget(note);
  layout->addWidget(linkLabel(kAboutJpegLink, QStringLiteral("Independent JPEG Group"), this));
  layout->addWidget(linkLabel(kAboutQtLink, QStringLiteral("Built with Qt"), this));

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* close = buttons->addButton(QLatin1String(kAboutClose), QDialogButtonBox::RejectRole);
  close->setDefault(true);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

}  // namespace vistel
