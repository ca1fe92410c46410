#include "vistel/widget/about_box.h"

#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>
#include <string_view>

#include "vistel/host/vistel_control.h"

namespace vistel {

namespace {

QString text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QLabel* linkLabel(std::string_view url, QWidget* parent) {
  const QString address = text(url);
  auto* label = new QLabel(
      QStringLiteral("<a href=\"%1\">%2</a>").arg(address.toHtmlEscaped(), address.toHtmlEscaped()),
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

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About ") + text(kAboutProductName));
  auto* layout = new QVBoxLayout(this);

  auto* name = new QLabel(text(kAboutProductName), this);
  QFont big = name->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.5);
  name->setFont(big);
  layout->addWidget(name);
  layout->addWidget(new QLabel(text(kAboutVersionLine), this));
  layout->addWidget(new QLabel(text(kAboutMakersLine), this));
  auto* note = new QLabel(text(kAboutJpegNote), this);
  note->setWordWrap(true);
  layout->addWidget(note);
  for (std::string_view link : kAboutLinks) layout->addWidget(linkLabel(link, this));

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* close = buttons->addButton(QLatin1String(kAboutClose), QDialogButtonBox::RejectRole);
  close->setDefault(true);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

}  // namespace vistel
