#pragma once

// HostUi with Qt widgets: the credential dialog, message boxes, the
// save-file and open-file choosers, the clipboard, the About box, the context
// menu and the wait cursor, all owned by the window of a ControlView (or by no
// window, as the crash report helper needs); windowExists, repaint, mouse
// capture, focus and coordinates go to that view.
//
// Thread-safety: windowExists() and repaint() may be called from any thread
// while the view exists; every other member on the Qt user-interface thread
// only (the viewer's host thread), where the dialogs run modally. A
// QApplication must exist.

#include <QMetaObject>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "vistel/host/host_ui.h"
#include "vistel/widget/control_view.h"

class QDialog;

namespace vistel {

class QtHostUi : public HostUi {
 public:
  // `view` (not owned, may be null) is the control's window. A view that is
  // destroyed first must stop the threads calling windowExists and repaint
  // before it goes (see WindowEvents::windowDestroyed).
  explicit QtHostUi(ControlView* view = nullptr);
  ~QtHostUi() override;
  QtHostUi(const QtHostUi&) = delete;
  QtHostUi& operator=(const QtHostUi&) = delete;

  // Longest wait for the user in a modal dialog; a dialog left open that long
  // closes as if cancelled (a question answers No). 0 waits for ever (the
  // default).
  void setAnswerTimeout(std::uint32_t ms);

  [[nodiscard]] bool promptCredentials(std::string_view host, Credentials& out) override;
  void messageBox(std::string_view caption, std::string_view text) override;
  [[nodiscard]] bool askYesNo(std::string_view caption, std::string_view text) override;
  [[nodiscard]] bool chooseSaveFile(const SaveFileRequest& request, std::string& path) override;
  [[nodiscard]] bool chooseOpenFile(const OpenFileRequest& request, std::string& path) override;
  // Calls the handler set below, if any.
  void projectOpened(std::string_view path) override;
  // Who hears of projectOpened (empty: nobody). User-interface thread.
  void setProjectOpenedHandler(std::function<void(std::string_view)> handler) {
    projectOpenedHandler_ = std::move(handler);
  }
  bool setClipboardText(std::string_view text) override;
  void showAbout() override;
  void setWaitCursor(bool on) override;
  bool windowExists() const override;
  void repaint() override;
  [[nodiscard]] std::int32_t trackPopupMenu(std::span<const MenuItem> items, std::int32_t screenX,
                                            std::int32_t screenY) override;
  void clientToScreen(std::int32_t& x, std::int32_t& y) const override;
  void setMouseCapture(bool on) override;
  void takeFocus() override;

 private:
  // Owner of the dialogs: the view's top-level window, or none.
  QWidget* dialogParent() const;
  // Runs `dialog` modally under the answer time-out; its result code.
  int runModal(QDialog& dialog) const;

  std::atomic<ControlView*> view_;         // any thread; null once the view is destroyed
  QMetaObject::Connection viewDestroyed_;  // user-interface thread
  bool waitCursor_ = false;                // user-interface thread
  std::uint32_t answerTimeoutMs_ = 0;      // user-interface thread
  std::function<void(std::string_view)> projectOpenedHandler_;  // user-interface thread
};

}  // namespace vistel
