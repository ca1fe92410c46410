// vistel-viewer-crash-report: the crash report helper of the desktop viewer,
// started by the crash reporter of a crashed vistel-viewer (never by hand),
// with the crashed process waiting for it. Asks its questions and shows its
// results in message boxes when a display is there, else on the terminal like
// vistel-crash-report.
#include <QApplication>
#include <cstdlib>

#include "vistel/host/terminal_ui.h"
#include "vistel/platform/crash_report.h"
#include "vistel/widget/qt_host_ui.h"

namespace {

bool set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt stops the process when its platform cannot start, so dialogs are tried
// only where a display (or an explicitly chosen platform) is there.
bool displayAvailable() {
  return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  const auto report = vistel::crashHelperRequest(
      argc, argv,
      "usage: vistel-viewer-crash-report --pid N --mode terminal|dialog --name TEXT --dump PATH "
      "--exe-dir PATH\n(started by a crashing vistel-viewer)\n");
  if (!report) return 2;

  if (report->mode == vistel::CrashReportMode::Dialog && displayAvailable()) {
    QApplication app(argc, argv);
    vistel::QtHostUi ui;
    ui.setAnswerTimeout(vistel::kCrashAnswerTimeoutMs);
    (void)vistel::runCrashReport(*report, ui);
    return 0;
  }
  auto ui = vistel::TerminalUi::forTerminal();
  ui->setAnswerTimeout(vistel::kCrashAnswerTimeoutMs);
  (void)vistel::runCrashReport(*report, *ui);
  return 0;
}
