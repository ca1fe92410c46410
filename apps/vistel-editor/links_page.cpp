#include "links_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>
#include <array>
#include <cmath>

#include "editor_session.h"
#include "engine_preview.h"
#include "picture_grab.h"
#include "point_layer.h"
#include "vistel/calibration/registration.h"
#include "vistel/host/vistel_control.h"
#include "vistel/imaging/image.h"
#include "vistel/project/encoding.h"
#include "vistel/scene/key_points.h"
#include "vistel/scene/lens.h"

namespace vistel {

namespace {

const QSize kPictureSize(512, 384);
constexpr int kFreezeTimeoutMs = 10000;

QString text(const std::string& s) { return QString::fromStdString(s); }
std::string text(const QString& s) { return s.toStdString(); }

const std::string* attributeOf(const ProjectElement& element, std::string_view name) {
  return element.findAttribute(name);
}

const char* quadProblem(KeyQuadCheck check) {
  switch (check) {
    case KeyQuadCheck::Ok:
      return "";
    case KeyQuadCheck::NotFinite:
    case KeyQuadCheck::OutOfRange:
      return "a corner lies outside the picture";
    case KeyQuadCheck::Degenerate:
      return "three corners lie on a line, or two on each other";
    case KeyQuadCheck::NotConvex:
      return "the corners are not in order round the square (or the square is folded)";
  }
  return "";
}

std::optional<KeyQuad> keyOf(const LinkElement& link, std::optional<std::size_t> index) {
  if (!index || !link.keys[*index]->hasQuad()) return std::nullopt;
  return keyQuadFromBytes(link.keys[*index]->data);
}

std::vector<FramePoint> cornersOf(const KeyQuad& quad) {
  const auto corners = framePositionsOfKey(quad, kPictureSize.width(), kPictureSize.height());
  return {corners.begin(), corners.end()};
}

std::array<FramePoint, 4> fourOf(const std::vector<FramePoint>& points) {
  return {points[0], points[1], points[2], points[3]};
}

// The profile a view's lens stands for in registration; nothing without correction.
std::optional<LensProfile> lensOfView(const ProjectDocument& doc, const std::string& view) {
  const ViewElement* element = doc.findView(view);
  const std::string* name = element ? attributeOf(*element, "lens") : nullptr;
  if (name == nullptr) return std::nullopt;
  return resolveLensProfile(*name, &doc);
}

}  // namespace

LinksPage::LinksPage(EditorSession& session, QWidget* parent)
    : QWidget(parent),
      session_(session),
      links_(new QComboBox),
      newLink_(new QPushButton(tr("New link"))),
      remove_(new QPushButton(tr("Remove link"))),
      from_(new QComboBox),
      to_(new QComboBox),
      sourcePreview_(new EnginePreview(kPictureSize)),
      destinationPreview_(new EnginePreview(kPictureSize)),
      transition_(new EnginePreview(kPictureSize)),
      sourcePoints_(new PointLayer(*sourcePreview_, PointLayer::Mode::Key)),
      destinationPoints_(new PointLayer(*destinationPreview_, PointLayer::Mode::Key)),
      sourceTitle_(new QLabel),
      destinationTitle_(new QLabel),
      freeze_(new QPushButton(tr("Freeze"))),
      clear_(new QPushButton(tr("Clear points"))),
      refine_(new QPushButton(tr("Refine"))),
      status_(new QLabel),
      progress_(new QSlider(Qt::Horizontal)),
      fromFirst_(new QCheckBox),
      toFirst_(new QCheckBox),
      work_(new BackgroundWork(this)) {
  auto* top = new QHBoxLayout;
  top->addWidget(new QLabel(tr("Link")));
  top->addWidget(links_, 1);
  top->addWidget(remove_);
  top->addSpacing(24);
  top->addWidget(new QLabel(tr("New link from")));
  top->addWidget(from_);
  top->addWidget(new QLabel(tr("to")));
  top->addWidget(to_);
  top->addWidget(newLink_);

  auto* pictures = new QGridLayout;
  pictures->addWidget(sourceTitle_, 0, 0);
  pictures->addWidget(destinationTitle_, 0, 1);
  pictures->addWidget(sourcePreview_, 1, 0);
  pictures->addWidget(destinationPreview_, 1, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(freeze_);
  buttons->addWidget(clear_);
  buttons->addWidget(refine_);
  buttons->addWidget(status_, 1);
  status_->setWordWrap(true);

  auto* keys = new QGridLayout;
  keys->addWidget(new QLabel(tr("Shapes shown from this key on:")), 0, 1, 1, 2);
  keys->addWidget(new QLabel(tr("Blend")), 0, 3);
  for (int end = 0; end < 2; ++end) {
    sourceShapes_[end] = new QCheckBox(tr("source view's"));
    destinationShapes_[end] = new QCheckBox(tr("destination view's"));
    blend_[end] = new QLineEdit;
    blend_[end]->setMaximumWidth(60);
    keys->addWidget(new QLabel(end == 0 ? tr("Start key (time 0)") : tr("End key (time 1)")),
                    end + 1, 0);
    keys->addWidget(sourceShapes_[end], end + 1, 1);
    keys->addWidget(destinationShapes_[end], end + 1, 2);
    keys->addWidget(blend_[end], end + 1, 3);
    connect(sourceShapes_[end], &QCheckBox::toggled, this, [this, end](bool on) {
      setKeyAttribute(end == 1, "srcbuttons", on ? "true" : "false");
    });
    connect(destinationShapes_[end], &QCheckBox::toggled, this, [this, end](bool on) {
      setKeyAttribute(end == 1, "dstbuttons", on ? "true" : "false");
    });
    connect(blend_[end], &QLineEdit::editingFinished, this,
            [this, end] { setKeyAttribute(end == 1, "blend", blend_[end]->text().trimmed()); });
  }
  keys->addWidget(fromFirst_, 3, 0, 1, 4);
  keys->addWidget(toFirst_, 4, 0, 1, 4);
  connect(fromFirst_, &QCheckBox::toggled, this, [this](bool on) { setEdgeFirst(0, on); });
  connect(toFirst_, &QCheckBox::toggled, this, [this](bool on) { setEdgeFirst(1, on); });

  progress_->setRange(0, 100);
  auto* transitionBox = new QVBoxLayout;
  transitionBox->addWidget(new QLabel(tr("The transition, as the viewer shows it:")));
  transitionBox->addWidget(transition_);
  auto* slider = new QHBoxLayout;
  slider->addWidget(new QLabel(tr("Start")));
  slider->addWidget(progress_, 1);
  slider->addWidget(new QLabel(tr("End")));
  transitionBox->addLayout(slider);
  auto* lower = new QHBoxLayout;
  lower->addLayout(transitionBox);
  auto* settings = new QVBoxLayout;
  settings->addLayout(keys);
  settings->addStretch();
  lower->addLayout(settings, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(pictures);
  layout->addLayout(buttons);
  layout->addLayout(lower);

  transition_->setPresetTime(0);
  transition_->setProgress(0.0f);
  connect(links_, &QComboBox::currentTextChanged, this, [this](const QString& id) {
    if (filling_) return;
    link_ = text(id);
    newFrom_.clear();
    newTo_.clear();
    showLink();
  });
  connect(newLink_, &QPushButton::clicked, this, &LinksPage::startNewLink);
  connect(remove_, &QPushButton::clicked, this, &LinksPage::removeLink);
  connect(freeze_, &QPushButton::clicked, this, &LinksPage::toggleFreeze);
  connect(refine_, &QPushButton::clicked, this, &LinksPage::refine);
  connect(clear_, &QPushButton::clicked, this, [this] {
    sourcePoints_->setPoints({}, false);
    destinationPoints_->setPoints({}, false);
    pointsEdited();
  });
  connect(sourcePoints_, &PointLayer::pointsEdited, this, &LinksPage::pointsEdited);
  connect(destinationPoints_, &PointLayer::pointsEdited, this, &LinksPage::pointsEdited);
  connect(progress_, &QSlider::valueChanged, this,
          [this](int value) { transition_->setProgress(float(value) / 100.0f); });
  connect(&session_, &EditorSession::changed, this, &LinksPage::refresh);
  connect(&session_, &EditorSession::pathChanged, this, [this] {
    for (EnginePreview* preview : {sourcePreview_, destinationPreview_, transition_}) {
      preview->setPictureFolder(session_.pictureFolder());
    }
  });
  for (EnginePreview* preview : {sourcePreview_, destinationPreview_, transition_}) {
    preview->setPictureFolder(session_.pictureFolder());
  }
  refresh();
}

LinksPage::~LinksPage() = default;

std::string LinksPage::endView(int end) const {
  if (link_.empty()) return end == 0 ? newFrom_ : newTo_;
  const LinkElement* link = session_.model().document().findLink(link_);
  const std::string* id = link ? attributeOf(*link, end == 0 ? "from" : "to") : nullptr;
  return id ? *id : std::string();
}

void LinksPage::selectLink(const std::string& id) {
  link_ = id;
  newFrom_.clear();
  newTo_.clear();
  refresh();
}

void LinksPage::refresh() {
  const ProjectDocument& doc = session_.model().document();
  filling_ = true;
  if (!link_.empty() && doc.findLink(link_) == nullptr) link_.clear();
  if (link_.empty() && newFrom_.empty() && !doc.links.empty()) link_ = doc.links.begin()->first;
  links_->clear();
  for (const auto& [id, link] : doc.links) links_->addItem(text(id));
  links_->setCurrentIndex(link_.empty() ? -1 : links_->findText(text(link_)));
  for (QComboBox* views : {from_, to_}) {
    const QString keep = views->currentText();
    views->clear();
    for (const auto& [id, view] : doc.views) views->addItem(text(id));
    if (views->findText(keep) >= 0) views->setCurrentText(keep);
  }
  if (to_->currentIndex() == from_->currentIndex() && to_->count() > 1) {
    to_->setCurrentIndex((from_->currentIndex() + 1) % to_->count());
  }
  filling_ = false;
  showLink();
}

void LinksPage::startNewLink() {
  const std::string from = text(from_->currentText());
  const std::string to = text(to_->currentText());
  if (from.empty() || to.empty() || from == to) {
    status_->setText(tr("Choose two different views for the new link."));
    return;
  }
  link_.clear();
  newFrom_ = from;
  newTo_ = to;
  filling_ = true;
  links_->setCurrentIndex(-1);
  fromFirst_->setChecked(false);
  toFirst_->setChecked(false);
  filling_ = false;
  sourcePoints_->setPoints({}, false);
  destinationPoints_->setPoints({}, false);
  showLink();
}

void LinksPage::removeLink() {
  if (link_.empty()) return;
  (void)session_.apply(session_.editableModel().removeLink(link_), tr("Remove link"));
}

void LinksPage::showLink() {
  const ProjectDocument& doc = session_.model().document();
  const LinkElement* link = link_.empty() ? nullptr : doc.findLink(link_);
  const std::string from = endView(0), to = endView(1);
  const bool making = link == nullptr && !newFrom_.empty();
  // Frozen pictures belong to the two views they were taken of; another pair
  // is shown live until it is frozen itself.
  if (frozen() && (!frozenPictures_.contains(from) || !frozenPictures_.contains(to))) {
    frozenPictures_.clear();
    freeze_->setText(tr("Freeze"));
  }
  sourceTitle_->setText(
      from.empty() ? tr("No link chosen")
                   : tr("Source view \"%1\": click the square's corners 1 to 4").arg(text(from)));
  destinationTitle_->setText(
      to.empty() ? QString()
                 : tr("Destination view \"%1\": the same corners in the same order").arg(text(to)));
  for (PointLayer* layer : {sourcePoints_, destinationPoints_}) {
    layer->setEditable(link != nullptr || making);
  }
  filling_ = true;
  if (link != nullptr) {
    const auto start = keyOf(*link, startKeyIndex(*link));
    const auto end = keyOf(*link, endKeyIndex(*link));
    sourcePoints_->setPoints(start ? cornersOf(*start) : std::vector<FramePoint>{}, false);
    destinationPoints_->setPoints(end ? cornersOf(*end) : std::vector<FramePoint>{}, false);
    const std::optional<std::size_t> index[2] = {startKeyIndex(*link), endKeyIndex(*link)};
    for (int k = 0; k < 2; ++k) {
      const KeyElement* key = index[k] ? link->keys[*index[k]].get() : nullptr;
      const auto truth = [key](const char* name) {
        const std::string* value = key ? attributeOf(*key, name) : nullptr;
        return value && (*value == "true" || *value == "1" || *value == "yes" || *value == "on");
      };
      sourceShapes_[k]->setChecked(truth("srcbuttons"));
      destinationShapes_[k]->setChecked(truth("dstbuttons"));
      const std::string* blend = key ? attributeOf(*key, "blend") : nullptr;
      blend_[k]->setText(blend ? text(*blend) : QString());
      for (QWidget* field :
           std::initializer_list<QWidget*>{sourceShapes_[k], destinationShapes_[k], blend_[k]}) {
        field->setEnabled(key != nullptr);
      }
    }
    for (int end = 0; end < 2; ++end) {
      const ViewElement* view = doc.findView(end == 0 ? from : to);
      const std::string* first =
          view && !view->edges.empty() ? attributeOf(*view->edges.front(), "link") : nullptr;
      (end == 0 ? fromFirst_ : toFirst_)->setChecked(first && *first == link_);
    }
  } else {
    for (int k = 0; k < 2; ++k) {
      sourceShapes_[k]->setChecked(true);
      destinationShapes_[k]->setChecked(true);
      blend_[k]->setText(k == 0 ? "0" : "1");
    }
  }
  fromFirst_->setText(tr("\"%1\" enters this link first (its first edge)").arg(text(from)));
  toFirst_->setText(tr("\"%1\" enters this link first (its first edge)").arg(text(to)));
  fromFirst_->setEnabled(!from.empty());
  toFirst_->setEnabled(!to.empty());
  remove_->setEnabled(link != nullptr);
  refine_->setEnabled(link != nullptr);
  freeze_->setEnabled(!from.empty());
  filling_ = false;
  if (link != nullptr) {
    status_->setText(
        tr("Drag a corner to move it (with Ctrl held, finely); the loupe shows the "
           "pixels under the pointer."));
  } else if (making) {
    status_->setText(
        tr("Click the four corners of a square on the ground in the source picture, "
           "then the same corners in the same order in the destination picture."));
  } else if (link == nullptr) {
    status_->setText(doc.views.size() < 2 ? tr("A link joins two views: add views first.")
                                          : tr("Choose a link, or two views and \"New link\"."));
  }
  showPreviews();
}

void LinksPage::showPreviews() {
  const ProjectDocument& doc = session_.model().document();
  sourcePreview_->showProject(viewPreviewText(doc, endView(0), frozenPictures_));
  destinationPreview_->showProject(viewPreviewText(doc, endView(1), frozenPictures_));
  transition_->showProject(linkPreviewText(doc, link_, frozenPictures_));
}

void LinksPage::pointsEdited() {
  if (filling_) return;
  const std::size_t placed[2] = {sourcePoints_->points().size(),
                                 destinationPoints_->points().size()};
  if (placed[0] < 4 || placed[1] < 4) {
    status_->setText(tr("Corners placed: %1 of 4 in the source picture, %2 of 4 in the destination "
                        "picture.")
                         .arg(placed[0])
                         .arg(placed[1]));
    return;
  }
  const int w = kPictureSize.width(), h = kPictureSize.height();
  const KeyQuad start = keyOfFramePositions(fourOf(sourcePoints_->points()), w, h);
  const KeyQuad end = keyOfFramePositions(fourOf(destinationPoints_->points()), w, h);
  for (const auto& [quad, where] :
       {std::pair{start, tr("source")}, std::pair{end, tr("destination")}}) {
    if (const KeyQuadCheck check = checkKeyQuad(quad); check != KeyQuadCheck::Ok) {
      status_->setText(
          tr("The corners in the %1 picture make no key: %2.").arg(where, tr(quadProblem(check))));
      return;
    }
  }
  const std::string startText = *keyTextOf(start), endText = *keyTextOf(end);
  ProjectModel& model = session_.editableModel();
  if (!link_.empty()) {
    if (session_.apply(model.setLinkKeys(link_, startText, endText), tr("Keys")) ==
        EditResult::Done) {
      status_->setText(tr("Keys written. Check the transition with the slider."));
    }
    return;
  }
  LinkSpec spec;
  spec.from = newFrom_;
  spec.to = newTo_;
  spec.id = newFrom_ + newTo_;
  for (int n = 2; model.document().findLink(spec.id) != nullptr; ++n) {
    spec.id = newFrom_ + newTo_ + std::to_string(n);
  }
  spec.startKeyText = startText;
  spec.endKeyText = endText;
  spec.fromEdge = fromFirst_->isChecked() ? EdgePlacement::First : EdgePlacement::Last;
  spec.toEdge = toFirst_->isChecked() ? EdgePlacement::First : EdgePlacement::Last;
  for (int k = 0; k < 2; ++k) {
    KeySettings& settings = k == 0 ? spec.startKey : spec.endKey;
    settings.sourceShapes = sourceShapes_[k]->isChecked();
    settings.destinationShapes = destinationShapes_[k]->isChecked();
    settings.blend = text(blend_[k]->text().trimmed());
  }
  const std::string id = spec.id;
  link_ = id;  // shown once the model has it
  newFrom_.clear();
  newTo_.clear();
  if (session_.apply(model.addLink(spec), tr("New link")) == EditResult::Done) {
    status_->setText(
        tr("Link \"%1\" made, with an edge in each view. Check the transition with the "
           "slider.")
            .arg(text(id)));
  } else {
    link_.clear();
    newFrom_ = spec.from;
    newTo_ = spec.to;
  }
}

void LinksPage::setKeyAttribute(bool endKey, const char* name, const QString& value) {
  if (filling_ || link_.empty()) return;
  const LinkElement* link = session_.model().document().findLink(link_);
  if (link == nullptr) return;
  const std::optional<std::size_t> index = endKey ? endKeyIndex(*link) : startKeyIndex(*link);
  if (!index) return;
  (void)session_.apply(session_.editableModel().setKeyAttribute(link_, *index, name, text(value)),
                       tr("Key"));
}

void LinksPage::setEdgeFirst(int end, bool first) {
  if (filling_ || link_.empty()) return;  // a new link takes the choice when it is made
  const std::string view = endView(end);
  const ViewElement* element = session_.model().document().findView(view);
  if (element == nullptr) return;
  ProjectModel& model = session_.editableModel();
  for (std::size_t i = 0; i < element->edges.size(); ++i) {
    const std::string* onto = attributeOf(*element->edges[i], "link");
    if (onto && *onto == link_) {
      (void)session_.apply(
          model.moveEdge(view, i, first ? EdgePlacement::First : EdgePlacement::Last), tr("Edge"));
      return;
    }
  }
  // No edge of this view enters the link yet.
  if (first) {
    (void)session_.apply(model.addEdge(view, link_, EdgePlacement::First), tr("Edge"));
  }
}

void LinksPage::toggleFreeze() {
  if (frozen()) {
    frozenPictures_.clear();
    freeze_->setText(tr("Freeze"));
    showPreviews();
    return;
  }
  const std::string views[2] = {endView(0), endView(1)};
  const ProjectDocument& doc = session_.model().document();
  if (!frozenFolder_.isValid()) {
    status_->setText(tr("No folder for frozen pictures."));
    return;
  }
  freeze_->setEnabled(false);
  status_->setText(tr("Taking one picture of each camera..."));
  freezeCount_ = 0;
  auto pending = std::make_shared<PictureOverrides>();
  for (const std::string& view : views) {
    const ViewElement* element = doc.findView(view);
    const std::string* src = element ? attributeOf(*element, "src") : nullptr;
    const std::string name = src ? *src : std::string();
    const std::string folder = session_.pictureFolder();
    const std::string path = text(frozenFolder_.filePath(text(view) + ".jpg"));
    (void)work_->run<std::string>(
        [name, folder, path]() -> std::string {
          const GrabbedPicture picture = grabPicture(name, folder, kFreezeTimeoutMs);
          if (!picture.ok()) return "error:" + picture.error;
          return writePictureJpeg(picture, path) ? path : "error:the picture cannot be stored";
        },
        [this, view, pending, views = std::array{views[0], views[1]}](const std::string& result) {
          if (result.starts_with("error:")) {
            (*pending)["#failed"] = view + ": " + result.substr(6);
          } else {
            (*pending)[view] = "file://" + result;
          }
          if (++freezeCount_ < 2) return;
          freeze_->setEnabled(true);
          if (endView(0) != views[0] || endView(1) != views[1]) {
            status_->setText(tr("Not frozen: other views are shown now."));
          } else if (const auto failed = pending->find("#failed"); failed != pending->end()) {
            status_->setText(tr("Freezing failed: %1").arg(text(failed->second)));
          } else {
            frozenPictures_ = *pending;
            freeze_->setText(tr("Live"));
            status_->setText(tr("Both pictures frozen."));
            showPreviews();
          }
          emit freezeFinished();
        });
  }
}

void LinksPage::refine() {
  const ProjectDocument& doc = session_.model().document();
  const LinkElement* link = link_.empty() ? nullptr : doc.findLink(link_);
  if (link == nullptr) return;
  if (!frozen()) {
    // The move is measured on still pictures: freeze first, then refine.
    auto once = std::make_shared<QMetaObject::Connection>();
    *once = connect(this, &LinksPage::freezeFinished, this, [this, once] {
      disconnect(*once);
      if (frozen()) refine();
    });
    toggleFreeze();
    return;
  }
  const auto start = keyOf(*link, startKeyIndex(*link));
  const auto end = keyOf(*link, endKeyIndex(*link));
  if (!start || !end) {
    status_->setText(tr("Refine needs both keys: place all eight corners first."));
    return;
  }
  const std::string from = endView(0), to = endView(1);
  const auto pathOf = [this](const std::string& view) {
    const auto it = frozenPictures_.find(view);
    return it == frozenPictures_.end() ? std::string() : it->second.substr(7);  // after file://
  };
  const Image source(pathOf(from));
  const Image destination(pathOf(to));
  if (!source.loaded() || !destination.loaded()) {
    status_->setText(tr("The frozen pictures cannot be read."));
    return;
  }
  const RegistrationLenses lenses{lensOfView(doc, from), lensOfView(doc, to)};
  const RegistrationOutcome outcome = registerKeys(
      {source.pixels(), source.header().biWidth, source.header().biHeight},
      {destination.pixels(), destination.header().biWidth, destination.header().biHeight}, *start,
      *end, lenses);
  if (outcome.status != RegistrationStatus::Registered) {
    status_->setText(
        tr("Refine found nothing to measure: the two keys share too little of the "
           "pictures."));
    return;
  }
  const double dx = (outcome.sourceKey.p0.x - start->p0.x) * 640.0;
  const double dy = (outcome.sourceKey.p0.y - start->p0.y) * 480.0;
  if (dx == 0 && dy == 0) {
    status_->setText(tr("Refine: the pictures agree; the keys stay as they are."));
    return;
  }
  // The move, shown on the source picture before it is taken.
  const std::vector<FramePoint> before = sourcePoints_->points();
  sourcePoints_->setPoints(cornersOf(outcome.sourceKey), false);
  const QString move = tr("%1 pixels %2 and %3 pixels %4 (of 640 x 480)")
                           .arg(std::abs(dx), 0, 'f', 1)
                           .arg(dx < 0 ? tr("left") : tr("right"))
                           .arg(std::abs(dy), 0, 'f', 1)
                           .arg(dy < 0 ? tr("up") : tr("down"));
  const auto answer = QMessageBox::question(
      this, tr("Refine"),
      tr("Measured on the frozen pictures, the source key belongs %1 from where it is: the "
         "corners now show that place. Take the move?")
          .arg(move));
  const std::optional<std::string> moved = keyTextOf(outcome.sourceKey);
  if (answer != QMessageBox::Yes || !moved) {
    sourcePoints_->setPoints(before, false);
    status_->setText(tr("Refine: nothing changed."));
    return;
  }
  // The end key stays as it is (registration moves the source key only).
  const std::string endText = encodeKeyText(keyQuadToBytes(*end));
  if (session_.apply(session_.editableModel().setLinkKeys(link_, *moved, endText), tr("Refine")) ==
      EditResult::Done) {
    status_->setText(tr("Refined: the source key moved %1.").arg(move));
  }
}

}  // namespace vistel
