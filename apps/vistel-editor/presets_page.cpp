#include "presets_page.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "editor_session.h"
#include "engine_preview.h"
#include "vistel/host/preset_text.h"
#include "vistel/host/vistel_control.h"

namespace vistel {

namespace {

const QSize kViewerSize(640, 480);

}  // namespace

PresetsPage::PresetsPage(EditorSession& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      viewer_(new EnginePreview(kViewerSize)),
      where_(new QLabel) {
  auto* grid = new QGridLayout;
  for (int n = 1; n <= 15; ++n) {
    const std::size_t i = std::size_t(n - 1);
    texts_[i] = new QLineEdit;
    texts_[i]->setPlaceholderText(tr("not set"));
    record_[i] = new QPushButton(tr("Record"));
    go_[i] = new QPushButton(tr("Go"));
    grid->addWidget(new QLabel(tr("Preset%1").arg(n)), n - 1, 0);
    grid->addWidget(texts_[i], n - 1, 1);
    grid->addWidget(record_[i], n - 1, 2);
    grid->addWidget(go_[i], n - 1, 3);
    connect(record_[i], &QPushButton::clicked, this, [this, n] { record(n); });
    connect(go_[i], &QPushButton::clicked, this, [this, n] { go(n); });
    connect(texts_[i], &QLineEdit::editingFinished, this, [this, n, i] {
      if (filling_) return;
      (void)session_.apply(
          session_.editableModel().setPreset(n, texts_[i]->text().trimmed().toStdString()),
          tr("Preset"));
    });
  }
  auto* side = new QVBoxLayout;
  auto* note =
      new QLabel(tr("Travel in the viewer (click a point to go there, the wheel zooms), "
                    "then record the position. Presets are saved beside the project in "
                    "NAME.params; viewers take them with --params NAME.params."));
  note->setWordWrap(true);
  side->addWidget(note);
  side->addLayout(grid);
  side->addStretch();
  auto* left = new QVBoxLayout;
  left->addWidget(viewer_);
  left->addWidget(where_);
  left->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left);
  layout->addLayout(side, 1);

  connect(&session_, &EditorSession::changed, this, &PresetsPage::refresh);
  connect(&session_, &EditorSession::pathChanged, this,
          [this] { viewer_->setPictureFolder(session_.pictureFolder()); });
  viewer_->setPictureFolder(session_.pictureFolder());
  refresh();
}

void PresetsPage::refresh() {
  filling_ = true;
  for (int n = 1; n <= 15; ++n) {
    texts_[std::size_t(n - 1)]->setText(
        QString::fromStdString(session_.model().presets().preset(n)));
  }
  filling_ = false;
  // Presets move the view only; the project shown changes with the project.
  viewer_->showProject(session_.model().text());
}

void PresetsPage::record(int number) {
  VistelControl& control = viewer_->control();
  if (control.GetZoomFactor() <= 0) {
    where_->setText(tr("The viewer shows no project yet: nothing to record."));
    return;
  }
  const std::string position = formatPositionText(control.GetBlendFactor(), control.GetXOffset(),
                                                  control.GetYOffset(), control.GetZoomFactor());
  if (session_.apply(session_.editableModel().setPreset(number, position), tr("Preset")) ==
      EditResult::Done) {
    where_->setText(tr("Preset%1 is %2").arg(number).arg(QString::fromStdString(position)));
  }
}

void PresetsPage::go(int number) {
  const ViewPosition p = parsePreset(session_.model().presets().preset(number));
  if (!p.defined() ||
      viewer_->control().GotoPosition(p.navProgress, p.xOffset, p.yOffset, p.zoomFactor) == 0) {
    where_->setText(tr("Preset%1 is no position the viewer can go to.").arg(number));
  }
}

}  // namespace vistel
