#pragma once

// Links and their keys. For a link (or a new one between two chosen views)
// the two views' lens-corrected pictures stand side by side, live or frozen
// ("Freeze" takes one picture of each). The author clicks the same four
// points of a square on the ground in both pictures, in the same order, and
// drags them to adjust (a loupe shows the pixels at the pointer); with all
// eight in place the editor writes the link's start key (time 0, source
// picture) and end key (time 1, destination picture), or makes the link with
// an edge in each view. The transition is shown beside them by the engine,
// with a slider for the position along the link. "Refine" measures on frozen
// pictures how far the source key is off (the registration behind
// Recalibrate, through the views' own lenses) and shows the move before it is
// taken.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QTemporaryDir>
#include <QWidget>
#include <array>
#include <optional>
#include <string>

#include "vistel/project/project_previews.h"
#include "vistel/scene/geometry.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;

namespace vistel {

class BackgroundWork;
class EditorSession;
class EnginePreview;
class PointLayer;
class ProjectDocument;

class LinksPage : public QWidget {
  Q_OBJECT

 public:
  LinksPage(EditorSession& session, QWidget* parent = nullptr);
  ~LinksPage() override;

  // Shows link `id` (jump from the problems list).
  void selectLink(const std::string& id);
  std::string selectedLink() const { return link_; }

  // Parts the tests drive.
  QComboBox* linkChoice() const { return links_; }
  QComboBox* fromChoice() const { return from_; }
  QComboBox* toChoice() const { return to_; }
  QPushButton* newLinkButton() const { return newLink_; }
  PointLayer* sourcePoints() const { return sourcePoints_; }
  PointLayer* destinationPoints() const { return destinationPoints_; }
  EnginePreview* sourcePreview() const { return sourcePreview_; }
  EnginePreview* destinationPreview() const { return destinationPreview_; }
  EnginePreview* transitionPreview() const { return transition_; }
  QSlider* progressSlider() const { return progress_; }
  QPushButton* freezeButton() const { return freeze_; }
  QPushButton* refineButton() const { return refine_; }
  QLabel* status() const { return status_; }
  QCheckBox* firstEdge(int end) const { return end == 0 ? fromFirst_ : toFirst_; }
  bool frozen() const { return !frozenPictures_.empty(); }

 public slots:
  // Starts a new link between the views chosen in "from" and "to".
  void startNewLink();
  void removeLink();
  // Freezes both pictures, or goes live again.
  void toggleFreeze();
  void refine();

 signals:
  // Both pictures were frozen (or freezing failed).
  void freezeFinished();

 private:
  void refresh();
  void showLink();
  void showPreviews();
  void pointsEdited();
  void setKeyAttribute(bool endKey, const char* name, const QString& value);
  void setEdgeFirst(int end, bool first);
  std::string endView(int end) const;  // 0: from, 1: to

  EditorSession& session_;
  QComboBox* links_;
  QPushButton* newLink_;
  QPushButton* remove_;
  QComboBox* from_;
  QComboBox* to_;
  EnginePreview* sourcePreview_;
  EnginePreview* destinationPreview_;
  EnginePreview* transition_;
  PointLayer* sourcePoints_;
  PointLayer* destinationPoints_;
  QLabel* sourceTitle_;
  QLabel* destinationTitle_;
  QPushButton* freeze_;
  QPushButton* clear_;
  QPushButton* refine_;
  QLabel* status_;
  QSlider* progress_;
  std::array<QCheckBox*, 2> sourceShapes_;       // start key, end key: srcbuttons
  std::array<QCheckBox*, 2> destinationShapes_;  // ... dstbuttons
  std::array<QLineEdit*, 2> blend_;
  QCheckBox* fromFirst_;
  QCheckBox* toFirst_;
  BackgroundWork* work_;

  std::string link_;     // the link shown; empty while a new one is made
  std::string newFrom_;  // the new link's views, while one is made
  std::string newTo_;
  PictureOverrides frozenPictures_;  // view id -> frozen picture; empty when live
  QTemporaryDir frozenFolder_;
  int freezeCount_ = 0;  // pictures of this freeze so far
  bool filling_ = false;
};

}  // namespace vistel
