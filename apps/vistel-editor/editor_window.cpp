#include "editor_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeySequence>
#include <QListWidget>
#include <QMenuBar>
#include <QMessageBox>
#include <QScrollArea>
#include <QStatusBar>
#include <QTabWidget>

#include "editor_session.h"
#include "links_page.h"
#include "presets_page.h"
#include "shapes_page.h"
#include "views_page.h"
#include "vistel/scene/project_problems.h"

namespace vistel {

namespace {

constexpr int kPlaceRole = Qt::UserRole;

const char* const kProjectFilter = "Vistel project (*.xml);;All files (*)";

QString fromPath(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

}  // namespace

QString editorWindowTitle(const std::filesystem::path& project) {
  const QString name = project.empty() ? QObject::tr("new project")
                                       : QString::fromStdString(project.filename().string());
  return QObject::tr("Vistel editor - %1[*]").arg(name);
}

EditorWindow::EditorWindow(QWidget* parent)
    : QMainWindow(parent),
      session_(new EditorSession(this)),
      pages_(new QTabWidget),
      views_(new ViewsPage(*session_)),
      links_(new LinksPage(*session_)),
      shapes_(new ShapesPage(*session_)),
      presets_(new PresetsPage(*session_)),
      problems_(new QListWidget) {
  // The previews keep the engine's frame size; a page taller than the window
  // scrolls on its own, so the menus, the problems and the other pages' own
  // buttons stay in sight.
  const auto addPage = [this](QWidget* page, const QString& title) {
    auto* scroll = new QScrollArea;
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    pages_->addTab(scroll, title);
  };
  addPage(views_, tr("Views"));
  addPage(links_, tr("Links and keys"));
  addPage(shapes_, tr("Shapes"));
  addPage(presets_, tr("Presets"));
  setCentralWidget(pages_);

  auto* dock = new QDockWidget(tr("Problems"), this);
  dock->setObjectName("problems");
  dock->setWidget(problems_);
  dock->setFeatures(QDockWidget::DockWidgetMovable);
  problems_->setWordWrap(true);
  problems_->setMinimumHeight(90);
  addDockWidget(Qt::BottomDockWidgetArea, dock);

  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->addAction(tr("&New"), QKeySequence::New, this, &EditorWindow::newProject);
  file->addAction(tr("&Open..."), QKeySequence::Open, this, &EditorWindow::open);
  file->addAction(tr("&Save"), QKeySequence::Save, this, &EditorWindow::save);
  file->addAction(tr("Save &as..."), QKeySequence::SaveAs, this, &EditorWindow::saveAs);
  file->addSeparator();
  file->addAction(tr("&Quit"), QKeySequence::Quit, this, &QWidget::close);
  QMenu* edit = menuBar()->addMenu(tr("&Edit"));
  undo_ = edit->addAction(tr("&Undo"), QKeySequence::Undo, this, [this] { session_->undo(); });
  redo_ = edit->addAction(tr("&Redo"), QKeySequence::Redo, this, [this] { session_->redo(); });

  resize(1300, 950);
  // The pages get the room; the problems a few lines (the user may drag more).
  resizeDocks({dock}, {110}, Qt::Vertical);
  connect(problems_, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { jumpToProblem(problems_->row(item)); });
  connect(session_, &EditorSession::changed, this, &EditorWindow::refresh);
  connect(session_, &EditorSession::pathChanged, this, &EditorWindow::refresh);
  connect(session_, &EditorSession::message, this,
          [this](const QString& text) { statusBar()->showMessage(text, 8000); });
  refresh();
}

EditorWindow::~EditorWindow() = default;

void EditorWindow::refresh() {
  setWindowTitle(editorWindowTitle(session_->path()));
  setWindowModified(session_->model().modified());
  undo_->setEnabled(session_->model().canUndo());
  redo_->setEnabled(session_->model().canRedo());
  problems_->clear();
  for (const ProjectProblem& problem : findProjectProblems(session_->model().document())) {
    auto* item = new QListWidgetItem(QString::fromStdString(problem.message), problems_);
    const ProblemPlace& p = problem.place;
    item->setData(kPlaceRole,
                  QStringList{QString::number(int(p.element)), QString::fromStdString(p.view),
                              QString::fromStdString(p.link)});
  }
  if (problems_->count() == 0) {
    auto* none = new QListWidgetItem(tr("No problems found."), problems_);
    none->setFlags(Qt::NoItemFlags);
  }
}

void EditorWindow::jumpToProblem(int row) {
  const QListWidgetItem* item = problems_->item(row);
  if (item == nullptr) return;
  const QStringList place = item->data(kPlaceRole).toStringList();
  if (place.size() != 3) return;
  const auto element = static_cast<ProblemPlace::Element>(place[0].toInt());
  switch (element) {
    case ProblemPlace::Element::Root:
    case ProblemPlace::Element::View:
    case ProblemPlace::Element::Edge:
      if (!place[1].isEmpty()) views_->selectView(place[1].toStdString());
      showPage(views_);
      break;
    case ProblemPlace::Element::Link:
    case ProblemPlace::Element::Key:
      links_->selectLink(place[2].toStdString());
      showPage(links_);
      break;
  }
}

void EditorWindow::showPage(QWidget* page) {
  for (int i = 0; i < pages_->count(); ++i) {
    const auto* scroll = qobject_cast<const QScrollArea*>(pages_->widget(i));
    if (scroll && scroll->widget() == page) pages_->setCurrentIndex(i);
  }
}

QWidget* EditorWindow::currentPage() const {
  const auto* scroll = qobject_cast<const QScrollArea*>(pages_->currentWidget());
  return scroll ? scroll->widget() : nullptr;
}

void EditorWindow::warn(const QString& title, const QString& text) {
  // Messages quote element names as <quilo>: never read them as rich text.
  QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

bool EditorWindow::mayDiscard() {
  if (!session_->model().modified()) return true;
  const auto answer = QMessageBox::question(
      this, tr("Unsaved changes"), tr("The project has changes that are not saved. Save them?"),
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
  if (answer == QMessageBox::Cancel) return false;
  return answer == QMessageBox::Discard || save();
}

void EditorWindow::newProject() {
  if (mayDiscard()) session_->newProject();
}

bool EditorWindow::openProject(const std::filesystem::path& path) {
  QString error;
  if (session_->openFile(path, error)) return true;
  warn(tr("Open project"), error);
  return false;
}

void EditorWindow::open() {
  if (!mayDiscard()) return;
  const QString path =
      QFileDialog::getOpenFileName(this, tr("Open project"), QString(), tr(kProjectFilter));
  if (!path.isEmpty()) (void)openProject(path.toStdString());
}

bool EditorWindow::save() {
  if (session_->path().empty()) return saveAs();
  QString error;
  if (session_->saveTo(session_->path(), error)) return true;
  warn(tr("Save project"), error);
  return false;
}

bool EditorWindow::saveAs() {
  QString path = QFileDialog::getSaveFileName(this, tr("Save project"), fromPath(session_->path()),
                                              tr(kProjectFilter));
  if (path.isEmpty()) return false;
  if (QFileInfo(path).suffix().isEmpty()) path += ".xml";
  QString error;
  if (session_->saveTo(path.toStdString(), error)) return true;
  warn(tr("Save project"), error);
  return false;
}

void EditorWindow::closeEvent(QCloseEvent* event) {
  if (mayDiscard()) {
    event->accept();
  } else {
    event->ignore();
  }
}

}  // namespace vistel
