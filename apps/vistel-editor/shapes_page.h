#pragma once

// The shapes of a view: drawn on the view's lens-corrected picture (click the
// corners, click the first one again or "Close shape" to finish, drag corners
// to move them), projected (the outline stays on what it marks through a
// link) or flat (it stays put on the frame), with their line colour. The
// picture beside them is the engine's, so each outline shows as the viewer
// draws it.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QWidget>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace vistel {

class EditorSession;
class EnginePreview;
class PointLayer;

class ShapesPage : public QWidget {
  Q_OBJECT

 public:
  ShapesPage(EditorSession& session, QWidget* parent = nullptr);

  // Shows view `id` (jump from the problems list).
  void selectView(const std::string& id);

  // Parts the tests drive.
  QComboBox* viewChoice() const { return views_; }
  QListWidget* shapeList() const { return shapes_; }
  PointLayer* points() const { return points_; }
  EnginePreview* preview() const { return preview_; }
  QCheckBox* projected() const { return projected_; }
  QLineEdit* lineColour() const { return colour_; }

 public slots:
  void startShape();
  void closeShape();
  void removeShape();

 private:
  void refresh();
  void showShape();
  void pointsEdited();
  void setAttribute(const char* name, const QString& value);
  std::string view() const;
  int shape() const;  // -1: none, or a new one being drawn

  EditorSession& session_;
  QComboBox* views_;
  QListWidget* shapes_;
  QPushButton* close_;
  QCheckBox* projected_;
  QLineEdit* colour_;
  QLabel* hint_;
  EnginePreview* preview_;
  PointLayer* points_;
  bool drawing_ = false;  // a new shape is being drawn
  bool filling_ = false;
};

}  // namespace vistel
