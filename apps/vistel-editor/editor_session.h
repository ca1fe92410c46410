#pragma once

// The project being edited and where it lives: the model (project_model.h),
// its file and the presets file beside it. Every page of the editor edits
// through the session and refreshes when it says the model changed.
//
// Thread-safety: a QObject of the Qt user-interface thread.

#include <QObject>
#include <QString>
#include <filesystem>
#include <string>

#include "vistel/project/project_model.h"

namespace vistel {

class EditorSession : public QObject {
  Q_OBJECT

 public:
  explicit EditorSession(QObject* parent = nullptr);

  // The model; edit it only through apply(), so that the pages hear of it.
  const ProjectModel& model() const { return model_; }
  ProjectModel& editableModel() { return model_; }

  // Reports an edit of editableModel() made by the caller: Done tells every
  // page (changed()); Refused and NotFound say why in a message naming
  // `what`. Returns `result`.
  EditResult apply(EditResult result, const QString& what);

  bool undo();
  bool redo();

  // The project file; empty for a new project that was never saved.
  const std::filesystem::path& path() const { return path_; }
  // Where relative file:// pictures are read from: the project's folder, or
  // the current one for a project without a file.
  std::string pictureFolder() const;
  // NAME.params beside NAME.xml.
  static std::filesystem::path presetsPathFor(const std::filesystem::path& project);

  // A new, empty project without a file.
  void newProject();
  // Opens `path` (and its presets file when there is one). A file that does
  // not exist yet starts a new project saved there. False, with `error` set
  // and nothing changed, when the file cannot be read or holds no project.
  bool openFile(const std::filesystem::path& path, QString& error);
  // Writes the project to `path` and its presets beside it (when there are
  // any, or a presets file was there); the project's file is `path` from then
  // on. False, with `error` set, when a file cannot be written.
  bool saveTo(const std::filesystem::path& path, QString& error);

 signals:
  // The model changed (edit, undo, redo, open, new).
  void changed();
  // The project's file changed (open, new, save as).
  void pathChanged();
  // One line for the status bar.
  void message(const QString& text);

 private:
  ProjectModel model_;
  std::filesystem::path path_;
};

}  // namespace vistel
