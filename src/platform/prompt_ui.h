#pragma once

// The two modal questions a dialogue of the platform layer (the crash report
// helper's) puts to the user. Every host's user interface (HostUi) offers
// them, so the helper runs its dialogue through whichever one it has.
//
// Both members have a harmless default (nothing shown, "no"). Thread-safety:
// called on the thread that owns the user interface, and may block there
// while a modal dialog is open.

#include <string_view>

namespace vistel {

class PromptUi {
 public:
  virtual ~PromptUi() = default;

  // Shows `text` modally with an OK button; `caption` is the window title.
  virtual void messageBox(std::string_view caption, std::string_view text) {
    (void)caption;
    (void)text;
  }

  // Asks `text` modally with Yes and No; true only for Yes.
  [[nodiscard]] virtual bool askYesNo(std::string_view caption, std::string_view text) {
    (void)caption;
    (void)text;
    return false;
  }
};

}  // namespace vistel
