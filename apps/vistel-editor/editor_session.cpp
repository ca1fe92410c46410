#include "editor_session.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace vistel {

namespace {

bool readWhole(const std::filesystem::path& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  text = out.str();
  return !in.bad();
}

// Written beside the target and renamed over it, so a failed write never
// leaves half a project.
bool writeWhole(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::path temporary = path;
  temporary += ".saving";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    out.close();
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, path, ec);
  if (ec) std::filesystem::remove(temporary, ec);
  return !ec;
}

QString fromPath(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

}  // namespace

EditorSession::EditorSession(QObject* parent) : QObject(parent) {}

EditResult EditorSession::apply(EditResult result, const QString& what) {
  switch (result) {
    case EditResult::Done:
      emit changed();
      break;
    case EditResult::Unchanged:
      break;
    case EditResult::NotFound:
      emit message(what + tr(": the element is no longer there."));
      break;
    case EditResult::Refused:
      emit message(what + tr(": not possible with these values."));
      break;
  }
  return result;
}

bool EditorSession::undo() {
  if (!model_.undo()) return false;
  emit changed();
  return true;
}

bool EditorSession::redo() {
  if (!model_.redo()) return false;
  emit changed();
  return true;
}

std::string EditorSession::pictureFolder() const {
  if (!path_.empty()) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::absolute(path_, ec).parent_path();
    if (!ec) return folder.string();
  }
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

std::filesystem::path EditorSession::presetsPathFor(const std::filesystem::path& project) {
  std::filesystem::path presets = project;
  presets.replace_extension(".params");
  return presets;
}

void EditorSession::newProject() {
  model_ = ProjectModel();
  path_.clear();
  emit pathChanged();
  emit changed();
}

bool EditorSession::openFile(const std::filesystem::path& path, QString& error) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    model_ = ProjectModel();
    path_ = path;
    emit pathChanged();
    emit changed();
    emit message(
        tr("%1 does not exist yet: a new project will be saved there.").arg(fromPath(path)));
    return true;
  }
  std::string text;
  if (!readWhole(path, text)) {
    error = tr("%1 cannot be read.").arg(fromPath(path));
    return false;
  }
  std::string presets;
  if (std::filesystem::exists(presetsPathFor(path), ec))
    (void)readWhole(presetsPathFor(path), presets);
  ProjectModel opened;
  const OpenOutcome outcome = opened.open(text, presets);
  if (outcome.error != OpenError::None) {
    error =
        tr("%1 cannot be opened: %2").arg(fromPath(path), QString::fromStdString(outcome.message));
    return false;
  }
  model_ = std::move(opened);
  path_ = path;
  emit pathChanged();
  emit changed();
  return true;
}

bool EditorSession::saveTo(const std::filesystem::path& path, QString& error) {
  if (!writeWhole(path, model_.text())) {
    error = tr("%1 cannot be written.").arg(fromPath(path));
    return false;
  }
  const std::filesystem::path presets = presetsPathFor(path);
  std::error_code ec;
  if (!model_.presets().empty() || std::filesystem::exists(presets, ec)) {
    if (!writeWhole(presets, model_.presets().text())) {
      error = tr("The presets file %1 cannot be written.").arg(fromPath(presets));
      return false;
    }
  }
  model_.markSaved();
  if (path != path_) {
    path_ = path;
    emit pathChanged();
  }
  emit changed();
  emit message(tr("Saved %1.").arg(fromPath(path)));
  return true;
}

}  // namespace vistel
