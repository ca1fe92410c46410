// vistel-crash-report: started by the crash reporter's signal handler in a
// crashed Vistel process (never by hand), with the crashed process waiting for
// it. Runs the dialogue on the terminal; the desktop application brings a
// helper of its own for dialogs, and "--mode dialog" given to this one is
// answered on the terminal too.
#include <unistd.h>

#include <string>
#include <vector>

#include "vistel/host/crash_report.h"
#include "vistel/host/terminal_ui.h"

namespace {

// A user who walked away must not keep the crashed process alive for ever.
constexpr std::uint32_t kAnswerTimeoutMs = 5 * 60 * 1000;

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto report = vistel::parseCrashReportArguments(args);
  if (!report) {
    static constexpr char kUsage[] =
        "usage: vistel-crash-report --pid N --mode terminal|dialog --name TEXT --dump PATH "
        "--exe-dir PATH\n(started by a crashing Vistel program)\n";
    (void)!::write(STDERR_FILENO, kUsage, sizeof kUsage - 1);
    return 2;
  }
  // Only the process that started us may be dumped: the helper is no general
  // tool for taking cores of other processes.
  if (report->pid != static_cast<int>(::getppid())) return 2;
  auto ui = vistel::TerminalUi::forTerminal();
  ui->setAnswerTimeout(kAnswerTimeoutMs);
  (void)vistel::runCrashReport(*report, *ui);
  return 0;
}
