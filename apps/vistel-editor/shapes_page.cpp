#include "shapes_page.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "editor_session.h"
#include "engine_preview.h"
#include "point_layer.h"
#include "vistel/project/project_previews.h"
#include "vistel/scene/key_points.h"

namespace vistel {

namespace {

const QSize kPictureSize(512, 384);

QString text(const std::string& s) { return QString::fromStdString(s); }
std::string text(const QString& s) { return s.toStdString(); }

// Shape points are fractions of the picture: 0..1 across it, as a view shown
// alone spans its frame.
FramePoint frameOf(const PointF& p) {
  return framePositionOfViewPoint({p.x - 0.5f, p.y - 0.5f}, kPictureSize.width(),
                                  kPictureSize.height());
}

PointF fractionOf(const FramePoint& p) {
  const Vec2 v = viewPointOfFramePosition(p.x, p.y, kPictureSize.width(), kPictureSize.height());
  return {v.x + 0.5f, v.y + 0.5f};
}

}  // namespace

ShapesPage::ShapesPage(EditorSession& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      views_(new QComboBox),
      shapes_(new QListWidget),
      close_(new QPushButton(tr("Close shape"))),
      projected_(new QCheckBox(tr("Projected: the outline stays on what it marks through a link "
                                  "(else it stays put on the frame)"))),
      colour_(new QLineEdit),
      hint_(new QLabel),
      preview_(new EnginePreview(kPictureSize)),
      points_(new PointLayer(*preview_, PointLayer::Mode::Polygon)) {
  auto* add = new QPushButton(tr("New shape"));
  auto* remove = new QPushButton(tr("Remove shape"));
  auto* pick = new QPushButton(tr("Choose..."));
  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel(tr("View")));
  left->addWidget(views_);
  left->addWidget(new QLabel(tr("Shapes")));
  left->addWidget(shapes_);
  left->addWidget(add);
  left->addWidget(close_);
  left->addWidget(remove);

  auto* colourRow = new QHBoxLayout;
  colourRow->addWidget(colour_);
  colourRow->addWidget(pick);
  auto* form = new QFormLayout;
  form->addRow(tr("Line colour"), colourRow);
  form->addRow(QString(), projected_);
  hint_->setWordWrap(true);
  auto* right = new QVBoxLayout;
  right->addLayout(form);
  right->addWidget(hint_);
  right->addWidget(preview_);
  right->addStretch();
  auto* layout = new QHBoxLayout(this);
  layout->addLayout(left, 1);
  layout->addLayout(right, 3);

  colour_->setPlaceholderText("#AARRGGBB or #RRGGBB");
  connect(add, &QPushButton::clicked, this, &ShapesPage::startShape);
  connect(close_, &QPushButton::clicked, this, &ShapesPage::closeShape);
  connect(remove, &QPushButton::clicked, this, &ShapesPage::removeShape);
  connect(views_, &QComboBox::currentTextChanged, this, [this] {
    if (filling_) return;
    drawing_ = false;
    refresh();
  });
  connect(shapes_, &QListWidget::currentRowChanged, this, [this] {
    if (filling_) return;
    drawing_ = false;
    showShape();
  });
  connect(points_, &PointLayer::pointsEdited, this, &ShapesPage::pointsEdited);
  connect(projected_, &QCheckBox::toggled, this,
          [this](bool on) { setAttribute("projected", on ? "true" : "false"); });
  connect(colour_, &QLineEdit::editingFinished, this,
          [this] { setAttribute("linecolor", colour_->text().trimmed()); });
  connect(pick, &QPushButton::clicked, this, [this] {
    const QColor chosen = QColorDialog::getColor(QColor(colour_->text()), this, tr("Line colour"),
                                                 QColorDialog::ShowAlphaChannel);
    if (!chosen.isValid()) return;
    colour_->setText(chosen.name(QColor::HexArgb));
    setAttribute("linecolor", colour_->text());
  });
  connect(&session_, &EditorSession::changed, this, &ShapesPage::refresh);
  connect(&session_, &EditorSession::pathChanged, this,
          [this] { preview_->setPictureFolder(session_.pictureFolder()); });
  preview_->setPictureFolder(session_.pictureFolder());
  refresh();
}

std::string ShapesPage::view() const { return text(views_->currentText()); }

int ShapesPage::shape() const { return drawing_ ? -1 : shapes_->currentRow(); }

void ShapesPage::selectView(const std::string& id) { views_->setCurrentText(text(id)); }

void ShapesPage::refresh() {
  const ProjectDocument& doc = session_.model().document();
  filling_ = true;
  const QString keepView = views_->currentText();
  const int keepShape = shapes_->currentRow();
  views_->clear();
  for (const auto& [id, element] : doc.views) views_->addItem(text(id));
  if (views_->findText(keepView) >= 0) views_->setCurrentText(keepView);
  shapes_->clear();
  if (const ViewElement* element = doc.findView(view())) {
    for (std::size_t i = 0; i < element->shapes.size(); ++i) {
      const std::string& id = element->shapes[i]->id;
      shapes_->addItem(id.empty() ? tr("Shape %1").arg(i + 1) : text(id));
    }
  }
  if (keepShape >= 0 && keepShape < shapes_->count()) shapes_->setCurrentRow(keepShape);
  filling_ = false;
  preview_->showProject(viewPreviewText(doc, view()));
  showShape();
}

void ShapesPage::showShape() {
  const ViewElement* element = session_.model().document().findView(view());
  const int index = shape();
  const ShapeElement* current = element && index >= 0 && std::size_t(index) < element->shapes.size()
                                    ? element->shapes[std::size_t(index)].get()
                                    : nullptr;
  filling_ = true;
  if (current) {
    std::vector<FramePoint> points;
    for (const PointF& p : current->points) points.push_back(frameOf(p));
    points_->setPoints(std::move(points), PointLayer::Outline::Closed);
    const std::string* projected = current->findAttribute("projected");
    projected_->setChecked(projected && *projected == "true");
    const std::string* colour = current->findAttribute("linecolor");
    colour_->setText(colour ? text(*colour) : QString());
  } else if (!drawing_) {
    points_->setPoints({}, PointLayer::Outline::Open);
  }
  points_->setEditable(current != nullptr || drawing_);
  projected_->setEnabled(current != nullptr || drawing_);
  colour_->setEnabled(current != nullptr || drawing_);
  close_->setEnabled(drawing_);
  filling_ = false;
  hint_->setText(drawing_  ? tr("Click the corners of the new shape; click the first corner again, "
                                 "or \"Close shape\", to finish.")
                 : current ? tr("Drag corners to move them; a right click removes one.")
                 : element ? tr("Choose a shape, or \"New shape\" to draw one.")
                           : tr("Add a view first."));
}

void ShapesPage::startShape() {
  if (session_.model().document().findView(view()) == nullptr) return;
  drawing_ = true;
  filling_ = true;
  shapes_->setCurrentRow(-1);
  projected_->setChecked(true);
  colour_->setText("#ffff0000");
  filling_ = false;
  points_->setPoints({}, PointLayer::Outline::Open);
  showShape();
}

void ShapesPage::closeShape() {
  if (!drawing_) return;
  if (points_->points().size() < 3) {
    hint_->setText(tr("A shape needs three corners or more."));
    return;
  }
  points_->setPoints(points_->points(), PointLayer::Outline::Closed);
  pointsEdited();
}

void ShapesPage::pointsEdited() {
  if (filling_) return;
  std::vector<PointF> points;
  for (const FramePoint& p : points_->points()) points.push_back(fractionOf(p));
  ProjectModel& model = session_.editableModel();
  if (drawing_) {
    if (!points_->closed()) return;
    ShapeSpec spec;
    spec.points = std::move(points);
    spec.projected = projected_->isChecked();
    spec.lineColour = text(colour_->text().trimmed());
    const ViewElement* element = session_.model().document().findView(view());
    const int count = element ? int(element->shapes.size()) : 0;
    drawing_ = false;
    if (session_.apply(model.addShape(view(), spec), tr("New shape")) == EditResult::Done) {
      shapes_->setCurrentRow(count);
    }
    return;
  }
  if (shape() < 0) return;
  (void)session_.apply(model.setShapePoints(view(), std::size_t(shape()), points), tr("Shape"));
}

void ShapesPage::setAttribute(const char* name, const QString& value) {
  if (filling_ || drawing_ || shape() < 0) return;
  (void)session_.apply(
      session_.editableModel().setShapeAttribute(view(), std::size_t(shape()), name, text(value)),
      tr("Shape"));
}

void ShapesPage::removeShape() {
  if (drawing_) {
    drawing_ = false;
    showShape();
    return;
  }
  if (shape() < 0) return;
  (void)session_.apply(session_.editableModel().removeShape(view(), std::size_t(shape())),
                       tr("Remove shape"));
}

}  // namespace vistel
