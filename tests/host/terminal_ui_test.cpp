#include "vistel/host/terminal_ui.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

namespace vistel {
namespace {

// A TerminalUi reading `typed` and writing into a pipe the test reads back.
class PipedTerminal {
 public:
  explicit PipedTerminal(const std::string& typed, bool closeInput = true) {
    EXPECT_EQ(::pipe(input_), 0);
    EXPECT_EQ(::pipe2(output_, O_NONBLOCK), 0);
    EXPECT_EQ(::write(input_[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    if (closeInput) {
      ::close(input_[1]);
      input_[1] = -1;
    }
    ui = std::make_unique<TerminalUi>(input_[0], output_[1]);
  }
  ~PipedTerminal() {
    for (int fd : {input_[0], input_[1], output_[0], output_[1]})
      if (fd >= 0) ::close(fd);
  }
  std::string shown() {
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(output_[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }
  std::unique_ptr<TerminalUi> ui;

 private:
  int input_[2] = {-1, -1};
  int output_[2] = {-1, -1};
};

TEST(TerminalUi, OnlyYesAnswersYes) {
  PipedTerminal terminal(" Yes \nn\ny");
  EXPECT_TRUE(terminal.ui->askYesNo("Vistel", "Save?"));
  EXPECT_FALSE(terminal.ui->askYesNo("Vistel", "Save?"));
  EXPECT_TRUE(terminal.ui->askYesNo("Vistel", "Save?"));   // last line without its end
  EXPECT_FALSE(terminal.ui->askYesNo("Vistel", "Save?"));  // end of input
  EXPECT_EQ(terminal.shown(),
            "Vistel: Save? [y/N] Vistel: Save? [y/N] Vistel: Save? [y/N] "
            "Vistel: Save? [y/N] \n");
}

TEST(TerminalUi, CredentialPromptReadsThreeLinesAndAnEmptyNameCancels) {
  PipedTerminal terminal("admin\ns3cret\ny\n\n");
  HostUi::Credentials typed;
  ASSERT_TRUE(terminal.ui->promptCredentials("cam.local", typed));
  EXPECT_EQ(typed.user, "admin");
  EXPECT_EQ(typed.password, "s3cret");
  EXPECT_TRUE(typed.remember);
  EXPECT_EQ(terminal.shown(),
            "Vistel: Authorization needed for: cam.local\nUser Name: Password: "
            "Remember username and password. [y/N] ");
  HostUi::Credentials untouched{"u", "p", false};
  EXPECT_FALSE(terminal.ui->promptCredentials("cam.local", untouched));
  EXPECT_EQ(untouched.user, "u");
}

TEST(TerminalUi, UnansweredQuestionTimesOutAsNo) {
  PipedTerminal terminal("", false);
  terminal.ui->setAnswerTimeout(100);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(terminal.ui->askYesNo("Vistel", "Save?"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
}  // namespace vistel
