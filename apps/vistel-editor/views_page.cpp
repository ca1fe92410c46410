#include "views_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "editor_session.h"
#include "engine_preview.h"
#include "picture_grab.h"
#include "vistel/project/project_previews.h"

namespace vistel {

namespace {

constexpr int kTestTimeoutMs = 10000;
const QSize kPreviewSize(512, 384);
const QSize kThumbnailSize(160, 120);

QString text(const std::string& s) { return QString::fromStdString(s); }
std::string text(const QString& s) { return s.toStdString(); }

std::string attributeOf(const ProjectElement& element, std::string_view name) {
  const std::string* value = element.findAttribute(name);
  return value ? *value : std::string();
}

}  // namespace

ViewsPage::ViewsPage(EditorSession& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      list_(new QListWidget),
      id_(new QLineEdit),
      start_(new QCheckBox(tr("The project starts here"))),
      address_(new QLineEdit),
      fps_(new QLineEdit),
      lens_(new QComboBox),
      test_(new QPushButton(tr("Test"))),
      add_(new QPushButton(tr("Add view"))),
      remove_(new QPushButton(tr("Remove view"))),
      result_(new QLabel),
      picture_(new QLabel),
      preview_(new EnginePreview(kPreviewSize)),
      work_(new BackgroundWork(this)) {
  auto* left = new QVBoxLayout;
  left->addWidget(list_);
  left->addWidget(add_);
  left->addWidget(remove_);

  address_->setPlaceholderText(
      tr("http://camera/video.mjpg, http://camera/snapshot.jpg or file://picture.jpg"));
  fps_->setPlaceholderText(tr("pictures per second; -1 or empty: every picture"));
  lens_->setEditable(true);
  result_->setWordWrap(true);
  result_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  picture_->setFixedSize(kThumbnailSize);
  picture_->setFrameShape(QFrame::Box);
  auto* addressRow = new QHBoxLayout;
  addressRow->addWidget(address_);
  addressRow->addWidget(test_);
  auto* form = new QFormLayout;
  form->addRow(tr("View id"), id_);
  form->addRow(QString(), start_);
  form->addRow(tr("Camera address"), addressRow);
  form->addRow(tr("Frame rate"), fps_);
  form->addRow(tr("Lens"), lens_);
  auto* testRow = new QHBoxLayout;
  testRow->addWidget(picture_);
  testRow->addWidget(result_, 1);
  form->addRow(tr("Camera test"), testRow);
  auto* right = new QVBoxLayout;
  right->addLayout(form);
  right->addWidget(new QLabel(tr("Lens-corrected picture, as the viewer shows this view:")));
  right->addWidget(preview_);
  right->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left, 1);
  layout->addLayout(right, 3);

  connect(add_, &QPushButton::clicked, this, &ViewsPage::addView);
  connect(remove_, &QPushButton::clicked, this, &ViewsPage::removeView);
  connect(test_, &QPushButton::clicked, this, &ViewsPage::runTest);
  connect(list_, &QListWidget::currentRowChanged, this, [this] { fillFields(); });
  connect(id_, &QLineEdit::editingFinished, this, [this] {
    const std::string old = selectedView();
    const std::string wanted = text(id_->text().trimmed());
    if (filling_ || old.empty() || wanted == old) return;
    if (session_.apply(session_.editableModel().renameView(old, wanted), tr("Rename view")) ==
        EditResult::Done) {
      selectView(wanted);
    } else {
      id_->setText(text(old));
    }
  });
  connect(start_, &QCheckBox::toggled, this, [this](bool on) {
    if (filling_ || !on) return;
    (void)session_.apply(session_.editableModel().setRootAttribute("startview", selectedView()),
                         tr("Start view"));
  });
  connect(address_, &QLineEdit::editingFinished, this,
          [this] { commitField("src", address_->text().trimmed()); });
  connect(fps_, &QLineEdit::editingFinished, this,
          [this] { commitField("fps", fps_->text().trimmed()); });
  // A lens chosen from the list, or a name typed and confirmed; not every
  // keystroke of one.
  connect(lens_, &QComboBox::activated, this,
          [this] { commitField("lens", lens_->currentText().trimmed()); });
  connect(lens_->lineEdit(), &QLineEdit::editingFinished, this,
          [this] { commitField("lens", lens_->currentText().trimmed()); });
  connect(&session_, &EditorSession::changed, this, &ViewsPage::refresh);
  connect(&session_, &EditorSession::pathChanged, this,
          [this] { preview_->setPictureFolder(session_.pictureFolder()); });
  preview_->setPictureFolder(session_.pictureFolder());
  refresh();
}

ViewsPage::~ViewsPage() {
  if (probe_) probe_->kill();
}

std::string ViewsPage::selectedView() const {
  const QListWidgetItem* item = list_->currentItem();
  return item ? text(item->text()) : std::string();
}

void ViewsPage::selectView(const std::string& id) {
  const auto found = list_->findItems(text(id), Qt::MatchExactly);
  if (!found.isEmpty()) list_->setCurrentItem(found.front());
}

void ViewsPage::refresh() {
  const std::string keep = selectedView();
  filling_ = true;
  list_->clear();
  for (const auto& [id, view] : session_.model().document().views) list_->addItem(text(id));
  filling_ = false;
  selectView(keep);
  if (list_->currentRow() < 0 && list_->count() > 0) list_->setCurrentRow(0);
  fillFields();
}

void ViewsPage::fillFields() {
  if (filling_) return;
  filling_ = true;
  const ProjectDocument& doc = session_.model().document();
  const std::string id = selectedView();
  const ViewElement* view = doc.findView(id);
  for (QWidget* field :
       std::initializer_list<QWidget*>{id_, start_, address_, fps_, lens_, test_}) {
    field->setEnabled(view != nullptr);
  }
  id_->setText(text(id));
  start_->setChecked(view && attributeOf(doc, "startview") == id);
  start_->setEnabled(view && !start_->isChecked());
  address_->setText(view ? text(attributeOf(*view, "src")) : QString());
  fps_->setText(view ? text(attributeOf(*view, "fps")) : QString());
  lens_->clear();
  lens_->addItems({"none", "kamolens0", "kamolens1"});
  for (const auto& [lensId, lens] : doc.lenses) lens_->addItem(text(lensId));
  lens_->setCurrentText(view ? text(attributeOf(*view, "lens")) : QString());
  // A test result speaks of one address: another view's, or an address
  // changed since, must not look tested.
  if (address_->text().trimmed() != testedAddress_) {
    testedAddress_.clear();
    result_->clear();
    picture_->clear();
  }
  filling_ = false;
  preview_->showProject(viewPreviewText(doc, id));
}

void ViewsPage::commitField(const char* attribute, const QString& value) {
  if (filling_ || selectedView().empty()) return;
  (void)session_.apply(
      session_.editableModel().setViewAttribute(selectedView(), attribute, text(value)),
      tr("Change view"));
}

void ViewsPage::addView() {
  const ProjectDocument& doc = session_.model().document();
  std::string id;
  for (int n = 1; id.empty() || doc.findView(id) != nullptr; ++n) id = "camera" + std::to_string(n);
  if (session_.apply(session_.editableModel().addView(id, "", "10", "none"), tr("Add view")) ==
      EditResult::Done) {
    selectView(id);
    address_->setFocus();
  }
}

void ViewsPage::removeView() {
  const std::string id = selectedView();
  if (id.empty()) return;
  (void)session_.apply(session_.editableModel().removeView(id, LinkRemoval::WithLinks),
                       tr("Remove view"));
}

namespace {
QString& chosenProbeProgram() {
  static QString program;  // user-interface thread
  return program;
}
}  // namespace

void ViewsPage::setProbeProgram(const QString& program) { chosenProbeProgram() = program; }

QString ViewsPage::probeProgram() {
  if (!chosenProbeProgram().isEmpty()) return chosenProbeProgram();
  const QDir here(QCoreApplication::applicationDirPath());
  for (const QString& candidate : {here.filePath("vistel"), here.filePath("../vistel")}) {
    const QFileInfo info(candidate);
    if (info.isFile() && info.isExecutable()) return info.canonicalFilePath();
  }
  const QString onPath = QStandardPaths::findExecutable("vistel");
  return onPath.isEmpty() ? QStringLiteral("vistel") : onPath;
}

void ViewsPage::runTest() {
  const QString address = address_->text().trimmed();
  if (address.isEmpty() || probe_ != nullptr) return;
  testedAddress_ = address;
  result_->setText(tr("Testing %1 ...").arg(address));
  picture_->clear();
  test_->setEnabled(false);
  probe_ = new QProcess(this);
  probe_->setWorkingDirectory(text(session_.pictureFolder()));
  connect(probe_, &QProcess::finished, this,
          [this, address](int exitCode, QProcess::ExitStatus status) {
            const QString output = QString::fromUtf8(probe_->readAllStandardOutput());
            const QString errors = QString::fromUtf8(probe_->readAllStandardError());
            probe_->deleteLater();
            probe_ = nullptr;
            test_->setEnabled(true);
            if (address != testedAddress_) return;  // the page shows another address now
            if (status != QProcess::NormalExit) {
              result_->setText(tr("The test stopped: %1").arg(errors.trimmed()));
              return;
            }
            showTestOutcome(exitCode, output);
          });
  connect(probe_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart || probe_ == nullptr) return;
    result_->setText(tr("%1 could not be started.").arg(probeProgram()));
    probe_->deleteLater();
    probe_ = nullptr;
    test_->setEnabled(true);
  });
  probe_->start(probeProgram(), {"probe", address, "--frames", "3", "--timeout-ms",
                                 QString::number(kTestTimeoutMs)});

  const std::string name = text(address);
  const std::string folder = session_.pictureFolder();
  (void)work_->run<GrabbedPicture>(
      [name, folder] { return grabPicture(name, folder, kTestTimeoutMs); },
      [this, address](GrabbedPicture picture) {
        if (!picture.ok() || address != testedAddress_) return;
        const QImage image(picture.pixels.data(), picture.width, picture.height, picture.width * 4,
                           QImage::Format_RGB32);
        picture_->setPixmap(QPixmap::fromImage(
            image.scaled(kThumbnailSize, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        picture_->setToolTip(tr("One picture of the camera as it sends it, %1 x %2")
                                 .arg(picture.width)
                                 .arg(picture.height));
      });
}

void ViewsPage::showTestOutcome(int exitCode, const QString& output) {
  const QJsonObject probe = QJsonDocument::fromJson(output.toUtf8()).object();
  if (probe.isEmpty()) {
    result_->setText(tr("The test gave no answer (exit status %1).").arg(exitCode));
    return;
  }
  const QString mode = probe.value("mode").toString();
  if (exitCode != 0 || mode == "failed") {
    QString why = probe.value("reason").toString();
    if (why.isEmpty()) why = probe.value("error").toString();
    result_->setText(tr("No picture came from this address%1.")
                         .arg(why.isEmpty() ? QString() : QStringLiteral(": ") + why));
    return;
  }
  const QString kind = mode == "stream" ? tr("a stream of pictures") : tr("single pictures");
  result_->setText(tr("Works: %1, %2 x %3 pixels, %4 pictures in %5 bytes, %6 pictures a second.")
                       .arg(kind)
                       .arg(probe.value("width").toInt())
                       .arg(probe.value("height").toInt())
                       .arg(probe.value("frames").toInt())
                       .arg(probe.value("bytes").toInteger())
                       .arg(probe.value("fps").toDouble(), 0, 'f', 1));
}

}  // namespace vistel
