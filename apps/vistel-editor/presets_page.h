#pragma once

// Presets: the project in an embedded viewer (click to travel, wheel to zoom,
// as in vistel-viewer), and the fifteen presets a page or a viewer takes as
// `Preset1` ... `Preset15`. "Record" stores where the viewer is now as a
// preset text, "Go" travels there. They are saved beside the project as a
// parameters file (`--params NAME.params`).
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QWidget>
#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

namespace vistel {

class EditorSession;
class EnginePreview;

class PresetsPage : public QWidget {
  Q_OBJECT

 public:
  PresetsPage(EditorSession& session, QWidget* parent = nullptr);

  EnginePreview* viewer() const { return viewer_; }
  QLineEdit* presetText(int number) const { return texts_[std::size_t(number - 1)]; }
  QPushButton* recordButton(int number) const { return record_[std::size_t(number - 1)]; }
  QPushButton* goButton(int number) const { return go_[std::size_t(number - 1)]; }

 public slots:
  void record(int number);
  void go(int number);

 private:
  void refresh();

  EditorSession& session_;
  EnginePreview* viewer_;
  QLabel* where_;
  std::array<QLineEdit*, 15> texts_;
  std::array<QPushButton*, 15> record_;
  std::array<QPushButton*, 15> go_;
  bool filling_ = false;
};

}  // namespace vistel
