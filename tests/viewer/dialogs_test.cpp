// The viewer's dialogs and HostUi in Qt, driven programmatically off screen.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "qt_test_app.h"
#include "support/test_paths.h"
#include "vistel/host/vistel_control.h"
#include "vistel/widget/about_box.h"
#include "vistel/widget/credential_dialog.h"
#include "vistel/widget/qt_host_ui.h"
#include "vistel/widget/save_file_dialog.h"

// Records the addresses the desktop is asked to open.
class UrlRecorder : public QObject {
  Q_OBJECT

 public:
  QStringList opened;

 public slots:
  void open(const QUrl& url) { opened << url.toString(); }
};

namespace vistel {
namespace {

using test::qtApp;
using test::waitUntil;
using test::whenModalOpens;

TEST(CredentialDialog, OkClosesOnlyWhenUserAndPasswordAreFilled) {
  qtApp();
  CredentialDialog dialog("cam1.local");
  dialog.show();
  ASSERT_TRUE(waitUntil([&] { return dialog.isVisible(); }));
  EXPECT_EQ(dialog.windowTitle(), "Vistel");
  EXPECT_EQ(dialog.leadLabel()->text(), "Authorization needed for: cam1.local");
  EXPECT_EQ(dialog.focusWidget(), dialog.userField());
  EXPECT_EQ(dialog.passwordField()->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dialog.userField()->text().isEmpty());
  EXPECT_FALSE(dialog.rememberBox()->isChecked());
  EXPECT_EQ(dialog.rememberBox()->text(), "Remember username and password.");

  QTest::keyClicks(dialog.userField(), "admin");
  dialog.okButton()->click();
  EXPECT_TRUE(dialog.isVisible()) << "password missing";
  dialog.userField()->clear();
  dialog.passwordField()->setText("secret");
  dialog.okButton()->click();
  EXPECT_TRUE(dialog.isVisible()) << "user name missing";
  EXPECT_EQ(dialog.result(), QDialog::Rejected);

  dialog.userField()->setText("admin");
  dialog.rememberBox()->setChecked(true);
  QTest::keyClick(dialog.passwordField(), Qt::Key_Return);  // the default button
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  const HostUi::Credentials got = dialog.credentials();
  EXPECT_EQ(got.user, "admin");
  EXPECT_EQ(got.password, "secret");
  EXPECT_TRUE(got.remember);

  CredentialDialog unnamed("");
  EXPECT_EQ(unnamed.leadLabel()->text(), "Authorization needed for: (unspecified host)");
}

TEST(QtHostUi, CredentialPromptReturnsTheFieldsOrLeavesThemOnCancel) {
  qtApp();
  QtHostUi ui;
  HostUi::Credentials out{"old", "old", false};
  whenModalOpens<CredentialDialog>([](CredentialDialog* d) { d->cancelButton()->click(); });
  EXPECT_FALSE(ui.promptCredentials("cam", out));
  EXPECT_EQ(out.user, "old");

  whenModalOpens<CredentialDialog>([](CredentialDialog* d) {
    d->userField()->setText("u");
    d->passwordField()->setText("p");
    d->okButton()->click();
  });
  ASSERT_TRUE(ui.promptCredentials("cam", out));
  EXPECT_EQ(out.user, "u");
  EXPECT_EQ(out.password, "p");
  EXPECT_FALSE(out.remember);
}

TEST(AboutBox, ShowsProductVersionMakersJpegNoteAndOpensBothLinks) {
  qtApp();
  UrlRecorder recorder;
  QDesktopServices::setUrlHandler("https", &recorder, "open");
  AboutBox box;
  box.show();
  ASSERT_TRUE(waitUntil([&] { return box.isVisible(); }));

  QStringList texts;
  QList<QLabel*> links;
  for (QLabel* label : box.findChildren<QLabel*>()) {
    texts << label->text();
    if (label->text().contains("<a href")) links << label;
  }
  EXPECT_TRUE(texts.contains("Vistel"));
  EXPECT_TRUE(texts.contains("Version 0.1.0"));
  EXPECT_TRUE(texts.contains(QString::fromUtf8(kAboutMakersLine.data(), kAboutMakersLine.size())));
  EXPECT_TRUE(
      texts.contains("This software is based in parts on the work of the Independent JPEG Group."));

  ASSERT_EQ(links.size(), 2);
  for (QLabel* link : links)
    QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(4, link->height() / 2));
  QDesktopServices::unsetUrlHandler("https");
  QStringList expected;
  for (std::string_view url : kAboutLinks) expected << QString::fromUtf8(url.data(), url.size());
  EXPECT_EQ(recorder.opened, expected);

  QPushButton* close = nullptr;
  for (QPushButton* b : box.findChildren<QPushButton*>())
    if (b->text() == "Close") close = b;
  ASSERT_NE(close, nullptr);
  close->click();
  EXPECT_FALSE(box.isVisible());
}

TEST(SaveFileDialog, TakesTheSnapshotSettings) {
  qtApp();
  EXPECT_EQ(qtNameFilters("JPEG Image|*.jpg;*.jpeg;|"), QStringList({"JPEG Image (*.jpg *.jpeg)"}));
  EXPECT_EQ(qtNameFilters("A|*.a|B|*.b;*.c;|Empty||Unpaired"),
            QStringList({"A (*.a)", "B (*.b *.c)"}));

  QFileDialog dialog;
  configureSaveFileDialog(dialog, {"jpg", "JPEG Image|*.jpg;*.jpeg;|", "", true});
  EXPECT_EQ(dialog.acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(dialog.defaultSuffix(), "jpg");
  EXPECT_EQ(dialog.nameFilters(), QStringList({"JPEG Image (*.jpg *.jpeg)"}));
  EXPECT_FALSE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
  configureSaveFileDialog(dialog, {"jpg", "", "", false});
  EXPECT_TRUE(dialog.testOption(QFileDialog::DontConfirmOverwrite));
}

TEST(QtHostUi, SaveChooserAddsTheSuffixAndAsksBeforeOverwriting) {
  qtApp();
  const std::filesystem::path dir = test::scratchDir("viewer_save");
  ASSERT_TRUE(test::writeFile(dir / "old.jpg", "x"));
  const QString folder = QString::fromStdString(dir.string());
  QtHostUi ui;
  const HostUi::SaveFileRequest request{"jpg", "JPEG Image|*.jpg;*.jpeg;|", "", true};

  std::string path = "untouched";
  whenModalOpens<QFileDialog>([folder](QFileDialog* d) {
    test::typeFileName(d, folder, "snap");
    static_cast<QDialog*>(d)->accept();  // QFileDialog hides it
  });
  ASSERT_TRUE(ui.chooseSaveFile(request, path));
  EXPECT_EQ(path, (dir / "snap.jpg").string());

  // Declining the overwrite keeps the chooser open; then it is cancelled.
  bool asked = false;
  whenModalOpens<QFileDialog>([folder, &asked](QFileDialog* d) {
    test::typeFileName(d, folder, "old.jpg");
    whenModalOpens<QMessageBox>([&asked](QMessageBox* box) {
      asked = true;
      box->button(QMessageBox::No) != nullptr ? box->button(QMessageBox::No)->click()
                                              : box->reject();
    });
    static_cast<QDialog*>(d)->accept();
    EXPECT_TRUE(d->isVisible());
    d->reject();
  });
  path = "untouched";
  EXPECT_FALSE(ui.chooseSaveFile(request, path));
  EXPECT_TRUE(asked);
  EXPECT_EQ(path, "untouched");
}

TEST(QtHostUi, MessageBoxesShowCaptionAndTextAndAnswerYesOnlyForYes) {
  qtApp();
  QtHostUi ui;
  QString caption, text;
  whenModalOpens<QMessageBox>([&](QMessageBox* box) {
    caption = box->windowTitle();
    text = box->text();
    box->button(QMessageBox::Ok)->click();
  });
  ui.messageBox("Vistel", "Saved dump file to '/tmp/x'");
  EXPECT_EQ(caption, "Vistel");
  EXPECT_EQ(text, "Saved dump file to '/tmp/x'");

  whenModalOpens<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
  EXPECT_TRUE(ui.askYesNo("Vistel", "Save?"));
  whenModalOpens<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
  EXPECT_FALSE(ui.askYesNo("Vistel", "Save?"));
  ui.setAnswerTimeout(50);  // nobody answers
  EXPECT_FALSE(ui.askYesNo("Vistel", "Save?"));
}

TEST(QtHostUi, ClipboardAndWaitCursor) {
  qtApp();
  QtHostUi ui;
  EXPECT_TRUE(ui.setClipboardText("0.50;0.10,-0.05;1.00;"));
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "0.50;0.10,-0.05;1.00;");

  ui.setWaitCursor(true);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  ui.setWaitCursor(true);  // calls do not nest
  ui.setWaitCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_FALSE(ui.windowExists());  // no view
}

}  // namespace
}  // namespace vistel

#include "dialogs_test.moc"
