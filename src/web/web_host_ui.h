#pragma once

// HostUi for a web page: every dialog of the control (credential prompt,
// message boxes, yes/no, the save-file chooser, the About box, the context
// menu) and the clipboard become a question to the page, which shows it as
// HTML and answers; the host thread waits for the answer as a desktop dialog
// would. "Save snapshot..." never writes where a page says: the chooser
// hands the control a private temporary file, which the session then sends to
// the page as a download under the name the page chose.
//
// Thread-safety: windowExists() and repaint() from any thread; everything
// else on the session's host thread.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "vistel/host/host_ui.h"

namespace vistel::web {

// What a WebHostUi needs from its session.
class PageLink {
 public:
  virtual ~PageLink() = default;
  // Shows `question` (an "ask" message without its id) in the page and waits
  // for the answer; nothing when the page went away. Host thread.
  [[nodiscard]] virtual std::optional<nlohmann::json> ask(nlohmann::json question) = 0;
  // A new frame waits in the control's mailbox. Any thread; returns at once.
  virtual void frameReady() = 0;
};

class WebHostUi : public HostUi {
 public:
  // `link` (not owned) must outlive the UI.
  explicit WebHostUi(PageLink& link) : link_(link) {}
  ~WebHostUi() override;
  WebHostUi(const WebHostUi&) = delete;
  WebHostUi& operator=(const WebHostUi&) = delete;

  [[nodiscard]] bool promptCredentials(std::string_view host, Credentials& out) override;
  void messageBox(std::string_view caption, std::string_view text) override;
  [[nodiscard]] bool askYesNo(std::string_view caption, std::string_view text) override;
  [[nodiscard]] bool chooseSaveFile(const SaveFileRequest& request, std::string& path) override;
  bool setClipboardText(std::string_view text) override;
  void showAbout() override;
  bool windowExists() const override { return window_.load(std::memory_order_acquire); }
  void repaint() override { link_.frameReady(); }
  [[nodiscard]] std::int32_t trackPopupMenu(std::span<const MenuItem> items, std::int32_t screenX,
                                            std::int32_t screenY) override;

  // The page's canvas exists (true) or is gone (false).
  void setWindowExists(bool exists) { window_.store(exists, std::memory_order_release); }

  // A snapshot the control wrote since the last call: the JPEG bytes and the
  // name the page chose. The temporary file is removed. Host thread.
  struct Snapshot {
    std::string name;
    std::string jpeg;
  };
  [[nodiscard]] std::optional<Snapshot> takeSnapshot();

 private:
  PageLink& link_;
  std::atomic<bool> window_{false};
  // Host thread only.
  std::filesystem::path snapshotPath_;  // empty when no snapshot was asked for
  std::string snapshotName_;
};

}  // namespace vistel::web
