#pragma once

// The camera credential prompt: "Authorization needed for: <host>", a user
// name field (focused at opening), a masked password field and the remember
// box. OK closes the dialog only when both fields are filled; otherwise it
// stays open and nothing happens. Texts: the kCredentialPrompt* constants.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QDialog>
#include <string_view>

#include "vistel/host/host_ui.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace vistel {

class CredentialDialog : public QDialog {
  Q_OBJECT

 public:
  // `host` is the server name (empty shows the unknown-host text); `parent`
  // (may be null) owns the dialog when given. Fields start empty.
  explicit CredentialDialog(std::string_view host, QWidget* parent = nullptr);

  // What the fields hold now (8-bit text as the address takes it).
  HostUi::Credentials credentials() const;

  // The parts, for keyboard-free driving (tests, accessibility tools). Owned
  // by the dialog.
  QLabel* leadLabel() const { return lead_; }
  QLineEdit* userField() const { return user_; }
  QLineEdit* passwordField() const { return password_; }
  QCheckBox* rememberBox() const { return remember_; }
  QPushButton* okButton() const { return ok_; }
  QPushButton* cancelButton() const { return cancel_; }

  // Closes with Accepted only when user name and password are both non-empty.
  void accept() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QLabel* lead_;
  QLineEdit* user_;
  QLineEdit* password_;
  QCheckBox* remember_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace vistel
