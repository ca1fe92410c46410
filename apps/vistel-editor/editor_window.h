#pragma once

// The editor's main window: the pages (views, links and keys, shapes,
// presets), the problems of the project as a list beside them (double-click
// one to go to its element), the File menu (new, open, save, save as) and
// undo and redo. Its title names the project and marks unsaved changes.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QMainWindow>
#include <filesystem>

class QAction;
class QListWidget;
class QTabWidget;

namespace vistel {

class EditorSession;
class LinksPage;
class PresetsPage;
class ShapesPage;
class ViewsPage;

// "Vistel editor - NAME" (NAME: the project's file name, or "new project").
QString editorWindowTitle(const std::filesystem::path& project);

class EditorWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit EditorWindow(QWidget* parent = nullptr);
  ~EditorWindow() override;

  // Opens `path` (see EditorSession::openFile); a message box says why not.
  bool openProject(const std::filesystem::path& path);

  EditorSession& session() { return *session_; }
  ViewsPage* viewsPage() const { return views_; }
  LinksPage* linksPage() const { return links_; }
  ShapesPage* shapesPage() const { return shapes_; }
  PresetsPage* presetsPage() const { return presets_; }
  // Shows `page` (one of the four pages above); any other widget: nothing.
  void showPage(QWidget* page);
  // The page shown.
  QWidget* currentPage() const;
  QListWidget* problems() const { return problems_; }

 public slots:
  void newProject();
  void open();
  bool save();
  bool saveAs();
  // Goes to the element of problem number `row` of the list.
  void jumpToProblem(int row);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // Asks whether to save unsaved changes; false when the user cancels.
  bool mayDiscard();
  // A modal warning whose text is shown as written (plain text).
  void warn(const QString& title, const QString& text);
  void refresh();

  EditorSession* session_;
  QTabWidget* pages_;
  ViewsPage* views_;
  LinksPage* links_;
  ShapesPage* shapes_;
  PresetsPage* presets_;
  QListWidget* problems_;
  QAction* undo_;
  QAction* redo_;
};

}  // namespace vistel
