#pragma once

// A preview of a project on the real viewer engine: the viewer's widget
// (VistelWidget, which owns the control and its engine) at a fixed frame
// size, with overlay widgets kept above it. The editor's pages show small
// projects in it (project_previews.h): a view's corrected picture, a link's
// transition, the whole project.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "vistel/host/frame_mailbox.h"

namespace vistel {

class VistelControl;
class VistelWidget;

class EnginePreview : public QWidget {
  Q_OBJECT

 public:
  // Frames of `frameSize` pixels; sides that are multiples of 16 keep the
  // whole frame inside the renderer's block area.
  explicit EnginePreview(QSize frameSize, QWidget* parent = nullptr);
  ~EnginePreview() override;

  // The folder relative file:// pictures are read from. The engine takes it
  // when it is made, so a change makes a new viewer showing the same project.
  void setPictureFolder(const std::string& folder);
  // Shows project `text`; the same text again changes nothing.
  void showProject(const std::string& text);
  // Motions to positions last `ms` (0: at once) from the next project on.
  void setPresetTime(int ms);
  // Keeps the view at `progress` along the link shown (zoom 1, no pan), in
  // this project and the ones shown after it.
  void setProgress(float progress);

  // The viewer's control, for positions and frames; valid until the viewer
  // is replaced (viewerReplaced()).
  VistelControl& control();
  VistelWidget* viewer() const { return viewer_; }
  // A copy of the newest frame; false before the first.
  bool latestFrame(FrameCopy& out) const;
  QSize frameSize() const { return frameSize_; }
  const std::string& shownText() const { return text_; }

  // Keeps `overlay` (a child of this preview) above the viewer, covering it.
  void addOverlay(QWidget* overlay);

 signals:
  // A new viewer was made (another picture folder).
  void viewerReplaced();

 private:
  void makeViewer();
  void load();
  // Travels to progress_ once the viewer's window exists.
  void applyProgress(int attempts = 40);

  QSize frameSize_;
  std::string folder_;
  std::string text_;
  int presetTime_ = 1000;
  std::optional<float> progress_;   // kept along the link, when set
  VistelWidget* viewer_ = nullptr;  // child
  std::vector<QWidget*> overlays_;  // children
};

}  // namespace vistel
