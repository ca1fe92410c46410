#pragma once

// The small interface through which the control reaches its host application's
// user interface. The control itself never sees a toolkit: the Qt desktop
// application, a web host, the terminal (TerminalUi) and the tests' scripted
// fakes implement this interface.
//
// Every member has a harmless default (nothing shown, every question answered
// "no" or "cancel"), so members can be added later without breaking existing
// implementations, and an implementation only overrides what it can show.
//
// Thread-safety: unless a member says otherwise it is called on the host
// thread only (the thread that owns the control and runs its handlers and
// automation members; in the crash report helper, that process's only
// thread), and may block there while a modal dialog is open. windowExists()
// and repaint() are also called from the engine thread and must be safe for
// that.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "vistel/platform/prompt_ui.h"

namespace vistel {

class HostUi : public PromptUi {
 public:
  ~HostUi() override = default;

  // What the credential prompt returns. The texts of the prompt are the
  // kCredentialPrompt* constants of camera_credentials.h.
  struct Credentials {
    std::string user;
    std::string password;
    bool remember = false;  // "Remember username and password." ticked
  };

  // Asks modally for a user name and password for `host` (a server name, or a
  // whole address that could not be parsed). Both fields start empty and the
  // remember box unticked. True when confirmed, and then both `out.user` and
  // `out.password` are non-empty (a dialog stays open while either is empty);
  // false on cancel, with `out` untouched.
  [[nodiscard]] virtual bool promptCredentials(std::string_view host, Credentials& out) {
    (void)host;
    (void)out;
    return false;
  }

  // messageBox and askYesNo come from PromptUi.

  // What the save-file chooser is asked for. The views are valid for the call.
  struct SaveFileRequest {
    std::string_view defaultExtension;  // without the dot, e.g. "jpg"
    std::string_view filter;            // "Description|*.a;*.b;|" pairs
    std::string_view initialName;       // empty for none
    bool confirmOverwrite = true;       // ask before replacing an existing file
  };

  // Lets the user choose a file to write. True with the chosen absolute path in
  // `path`; false on cancel, with `path` untouched.
  [[nodiscard]] virtual bool chooseSaveFile(const SaveFileRequest& request, std::string& path) {
    (void)request;
    (void)path;
    return false;
  }

  // What the open-file chooser is asked for. The view is valid for the call.
  struct OpenFileRequest {
    std::string_view filter;  // "Description|*.a;*.b;|" pairs
  };

  // Lets the user choose an existing file to read. True with the chosen path
  // in `path`; false on cancel, with `path` untouched.
  [[nodiscard]] virtual bool chooseOpenFile(const OpenFileRequest& request, std::string& path) {
    (void)request;
    (void)path;
    return false;
  }

  // The control now shows the project read from the file `path` (for a
  // window title, say).
  virtual void projectOpened(std::string_view path) { (void)path; }

  // Puts `text` on the clipboard as plain text. True when it is there.
  virtual bool setClipboardText(std::string_view text) {
    (void)text;
    return false;
  }

  // Shows the About box modally.
  virtual void showAbout() {}

  // Shows the wait cursor (true) or the normal one again (false). Calls do
  // not nest: the last one wins.
  virtual void setWaitCursor(bool on) { (void)on; }

  // Whether the control's window exists now. Any thread.
  virtual bool windowExists() const { return false; }

  // Asks for the window to be drawn again soon; returns at once. Any thread
  // (an implementation posts the request to its own user-interface thread).
  virtual void repaint() {}

  // One entry of a pop-up menu: a command identifier (nonzero) with its
  // label, or a separator (command 0, empty label). The label is valid for
  // the call.
  struct MenuItem {
    std::int32_t command = 0;
    std::string_view label;
  };

  // Shows `items` as a pop-up menu at the screen point, modally, and returns
  // the chosen command without running it; 0 when nothing was chosen.
  [[nodiscard]] virtual std::int32_t trackPopupMenu(std::span<const MenuItem> items,
                                                    std::int32_t screenX, std::int32_t screenY) {
    (void)items;
    (void)screenX;
    (void)screenY;
    return 0;
  }

  // Converts a point of the control's window into screen coordinates in
  // place. The default leaves it unchanged.
  virtual void clientToScreen(std::int32_t& x, std::int32_t& y) const {
    (void)x;
    (void)y;
  }

  // Sends all pointer input to the control's window (true) until released
  // (false), so a drag that leaves the window still ends there.
  virtual void setMouseCapture(bool on) { (void)on; }

  // Gives the control's window the keyboard focus unless it has it already.
  virtual void takeFocus() {}
};

// Shows the wait cursor for the lifetime of the guard. Host thread.
class WaitCursor {
 public:
  explicit WaitCursor(HostUi& ui) : ui_(ui) { ui_.setWaitCursor(true); }
  ~WaitCursor() { ui_.setWaitCursor(false); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HostUi& ui_;
};

}  // namespace vistel
