#pragma once

// The views of the project: the list, and for the chosen view its id, camera
// address, frame rate and lens, whether the project starts there, a camera
// test (the check `vistel probe` makes, with one picture of the camera) and
// the live, lens-corrected picture as the viewer shows the view.
//
// Thread-safety: a widget; the Qt user-interface thread only.

#include <QWidget>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProcess;
class QPushButton;

namespace vistel {

class BackgroundWork;
class EditorSession;
class EnginePreview;

class ViewsPage : public QWidget {
  Q_OBJECT

 public:
  ViewsPage(EditorSession& session, QWidget* parent = nullptr);
  ~ViewsPage() override;

  // Shows view `id` (jump from the problems list).
  void selectView(const std::string& id);
  std::string selectedView() const;

  // Parts the tests drive.
  QListWidget* viewList() const { return list_; }
  QLineEdit* addressField() const { return address_; }
  QComboBox* lensChoice() const { return lens_; }
  QPushButton* testButton() const { return test_; }
  QPushButton* addButton() const { return add_; }
  QPushButton* removeButton() const { return remove_; }
  QLabel* testResult() const { return result_; }
  QLabel* testPicture() const { return picture_; }
  EnginePreview* preview() const { return preview_; }

  // The `vistel` program the camera test runs: the one set, else beside the
  // editor, or one folder up (the build tree), else the one on the PATH.
  static QString probeProgram();
  // Sets the program (empty: look for it as above); for hosts that keep it
  // elsewhere.
  static void setProbeProgram(const QString& program);

 public slots:
  void addView();
  void removeView();
  void runTest();

 private:
  void refresh();
  void fillFields();
  void commitField(const char* attribute, const QString& value);
  void showTestOutcome(int exitCode, const QString& output);

  EditorSession& session_;
  QListWidget* list_;
  QLineEdit* id_;
  QCheckBox* start_;
  QLineEdit* address_;
  QLineEdit* fps_;
  QComboBox* lens_;
  QPushButton* test_;
  QPushButton* add_;
  QPushButton* remove_;
  QLabel* result_;
  QLabel* picture_;
  EnginePreview* preview_;
  BackgroundWork* work_;
  QProcess* probe_ = nullptr;  // the running camera test, if any
  QString testedAddress_;      // the address result_ and picture_ speak of; UI thread
  bool filling_ = false;       // fields are being set from the model
};

}  // namespace vistel
