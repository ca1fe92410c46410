#pragma once

// HostUi on a text terminal, for the command line and the crash report
// helper: messages are printed as "caption: text", questions and the
// credential prompt read one line per answer. The password is read without
// echo when the input is a terminal.
//
// Thread-safety: one thread at a time (the host thread).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "vistel/host/host_ui.h"

namespace vistel {

class TerminalUi : public HostUi {
 public:
  // Longest answer line kept; the rest of a longer line is read and dropped.
  static constexpr std::size_t kMaxAnswerBytes = 4096;

  // Talks through the descriptors given (not owned, not closed).
  TerminalUi(int input, int output);
  ~TerminalUi() override;
  TerminalUi(const TerminalUi&) = delete;
  TerminalUi& operator=(const TerminalUi&) = delete;

  // The controlling terminal (/dev/tty) when the process has one, so that
  // answers are not taken from redirected input; otherwise standard input and
  // standard error. Never null.
  static std::unique_ptr<TerminalUi> forTerminal();

  // Longest wait for one answer; an answer not given in time reads as "no" or
  // "cancel". 0 waits for ever (the default).
  void setAnswerTimeout(std::uint32_t ms);

  // Empty user name, empty password, end of input or time-out cancel.
  [[nodiscard]] bool promptCredentials(std::string_view host, Credentials& out) override;
  void messageBox(std::string_view caption, std::string_view text) override;
  // "y" or "yes" in any letter case is Yes; anything else is No.
  [[nodiscard]] bool askYesNo(std::string_view caption, std::string_view text) override;

 private:
  void write(std::string_view text) const;
  // Whether typed characters show (a password's do not).
  enum class Echo { Shown, Hidden };
  // One line without its end; false at end of input, on error or time-out.
  bool readLine(std::string& line, Echo echo) const;

  int input_;
  int output_;
  int ownedFd_ = -1;  // the /dev/tty descriptor of forTerminal()
  std::uint32_t answerTimeoutMs_ = 0;
};

}  // namespace vistel
