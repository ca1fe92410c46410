// vistel-crash-report: started by the crash reporter's signal handler in a
// crashed Vistel process (never by hand), with the crashed process waiting for
// it. Runs the dialogue on the terminal; the desktop application brings a
// helper of its own for dialogs, and "--mode dialog" given to this one is
// answered on the terminal too.
#include "vistel/host/terminal_ui.h"
#include "vistel/platform/crash_report.h"

int main(int argc, char** argv) {
  const auto report = vistel::crashHelperRequest(
      argc, argv,
      "usage: vistel-crash-report --pid N --mode terminal|dialog --name TEXT --dump PATH "
      "--exe-dir PATH\n(started by a crashing Vistel program)\n");
  if (!report) return 2;
  auto ui = vistel::TerminalUi::forTerminal();
  ui->setAnswerTimeout(vistel::kCrashAnswerTimeoutMs);
  (void)vistel::runCrashReport(*report, *ui);
  return 0;
}
