#include "vistel/host/terminal_ui.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "vistel/host/camera_credentials.h"

namespace vistel {

namespace {

bool isYes(std::string answer) {
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r')) answer.pop_back();
  std::size_t start = answer.find_first_not_of(' ');
  if (start == std::string::npos) return false;
  answer.erase(0, start);
  for (char& c : answer)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return answer == "y" || answer == "yes";
}

// Switches terminal echo off for its lifetime (nothing when not a terminal).
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::isatty(fd_) && ::tcgetattr(fd_, &saved_) == 0) {
      termios quiet = saved_;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
  }
  ~EchoOff() {
    if (active_) (void)::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

TerminalUi::TerminalUi(int input, int output) : input_(input), output_(output) {}

TerminalUi::~TerminalUi() {
  if (ownedFd_ >= 0) ::close(ownedFd_);
}

std::unique_ptr<TerminalUi> TerminalUi::forTerminal() {
  const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (tty < 0) return std::make_unique<TerminalUi>(STDIN_FILENO, STDERR_FILENO);
  auto ui = std::make_unique<TerminalUi>(tty, tty);
  ui->ownedFd_ = tty;
  return ui;
}

void TerminalUi::setAnswerTimeout(std::uint32_t ms) { answerTimeoutMs_ = ms; }

void TerminalUi::write(std::string_view text) const {
  while (!text.empty()) {
    const ssize_t n = ::write(output_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

bool TerminalUi::readLine(std::string& line, Echo echo) const {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(answerTimeoutMs_);
  std::optional<EchoOff> quiet;
  if (echo == Echo::Hidden) quiet.emplace(input_);
  line.clear();
  bool any = false;
  for (;;) {
    int wait = -1;
    if (answerTimeoutMs_ > 0) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait = static_cast<int>(left.count());
    }
    pollfd ready{input_, POLLIN, 0};
    const int polled = ::poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    char c = 0;
    const ssize_t n = ::read(input_, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    if (c == '\n') break;
    if (line.size() < kMaxAnswerBytes) line += c;
  }
  if (quiet && quiet->active()) write("\n");
  return true;
}

void TerminalUi::messageBox(std::string_view caption, std::string_view text) {
  write(std::string(caption) + ": " + std::string(text) + "\n");
}

bool TerminalUi::askYesNo(std::string_view caption, std::string_view text) {
  write(std::string(caption) + ": " + std::string(text) + " [y/N] ");
  std::string answer;
  const bool answered = readLine(answer, Echo::Shown);
  if (!answered) write("\n");
  return answered && isYes(answer);
}

bool TerminalUi::promptCredentials(std::string_view host, Credentials& out) {
  write(std::string(kCredentialPromptCaption) + ": " + std::string(kCredentialPromptLead) +
        std::string(host) + "\n" + std::string(kCredentialPromptUserLabel) + " ");
  std::string user;
  if (!readLine(user, Echo::Shown) || user.empty()) return false;
  write(std::string(kCredentialPromptPasswordLabel) + " ");
  std::string password;
  if (!readLine(password, Echo::Hidden) || password.empty()) return false;
  write(std::string(kCredentialPromptRememberLabel) + " [y/N] ");
  std::string remember;
  const bool answered = readLine(remember, Echo::Shown);
  out.user = std::move(user);
  out.password = std::move(password);
  out.remember = answered && isYes(remember);
  return true;
}

}  // namespace vistel
