// vistel-viewer-crash-report: the crash report helper of the desktop viewer,
// started by the crash reporter of a crashed vistel-viewer (never by hand),
// with the crashed process waiting for it. Asks its questions and shows its
// results in message boxes when a display is there, else on the terminal like
// vistel-crash-report.
#include <unistd.h>

#include <QApplication>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "vistel/host/crash_report.h"
#include "vistel/host/terminal_ui.h"
#include "vistel/widget/qt_host_ui.h"

namespace {

// A user who walked away must not keep the crashed process alive for ever.
constexpr std::uint32_t kAnswerTimeoutMs = 5 * 60 * 1000;

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
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto report = vistel::parseCrashReportArguments(args);
  if (!report) {
    static constexpr char kUsage[] =
        "usage: vistel-viewer-crash-report --pid N --mode terminal|dialog --name TEXT --dump PATH "
        "--exe-dir PATH\n(started by a crashing vistel-viewer)\n";
    (void)!::write(STDERR_FILENO, kUsage, sizeof kUsage - 1);
    return 2;
  }
  // Only the process that started us may be dumped: the helper is no general
  // tool for taking cores of other processes.
  if (report->pid != static_cast<int>(::getppid())) return 2;

  if (report->mode == vistel::CrashReportMode::Dialog && displayAvailable()) {
    QApplication app(argc, argv);
    vistel::QtHostUi ui;
    ui.setAnswerTimeout(kAnswerTimeoutMs);
    (void)vistel::runCrashReport(*report, ui);
    return 0;
  }
  auto ui = vistel::TerminalUi::forTerminal();
  ui->setAnswerTimeout(kAnswerTimeoutMs);
  (void)vistel::runCrashReport(*report, *ui);
  return 0;
}
