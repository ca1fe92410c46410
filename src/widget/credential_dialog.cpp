#include "vistel/widget/credential_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "vistel/host/camera_credentials.h"

namespace vistel {

namespace {

QString text(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Camera addresses carry 8-bit text; the fields are read back in the locale's
// encoding so that what the user typed reaches the camera unchanged.
std::string bytes(const QString& s) { return s.toLocal8Bit().toStdString(); }

}  // namespace

CredentialDialog::CredentialDialog(std::string_view host, QWidget* parent) : QDialog(parent) {
  setWindowTitle(text(kCredentialPromptCaption));
  auto* layout = new QVBoxLayout(this);

  const std::string_view shownHost = host.empty() ? kCredentialPromptUnknownHost : host;
  lead_ = new QLabel(text(kCredentialPromptLead) +
                         QString::fromLocal8Bit(shownHost.data(), qsizetype(shownHost.size())),
                     this);
  lead_->setTextFormat(Qt::PlainText);
  layout->addWidget(lead_);

  auto* form = new QFormLayout;
  user_ = new QLineEdit(this);
  password_ = new QLineEdit(this);
  password_->setEchoMode(QLineEdit::Password);
  form->addRow(text(kCredentialPromptUserLabel), user_);
  form->addRow(text(kCredentialPromptPasswordLabel), password_);
  layout->addLayout(form);

  remember_ = new QCheckBox(text(kCredentialPromptRememberLabel), this);
  layout->addWidget(remember_);

  auto* buttons = new QDialogButtonBox(this);
  ok_ = buttons->addButton(text(kCredentialPromptOk), QDialogButtonBox::AcceptRole);
  cancel_ = buttons->addButton(text(kCredentialPromptCancel), QDialogButtonBox::RejectRole);
  ok_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &CredentialDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);

  user_->setFocus(Qt::OtherFocusReason);
}

HostUi::Credentials CredentialDialog::credentials() const {
  return {bytes(user_->text()), bytes(password_->text()), remember_->isChecked()};
}

void CredentialDialog::accept() {
  if (user_->text().isEmpty() || password_->text().isEmpty()) return;
  QDialog::accept();
}

void CredentialDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  user_->setFocus(Qt::OtherFocusReason);
}

}  // namespace vistel
