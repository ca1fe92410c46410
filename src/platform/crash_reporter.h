#pragma once

// The process-wide crash reporter. Once installed, a fatal signal (SIGSEGV,
// SIGBUS, SIGILL, SIGFPE, SIGABRT) in any thread starts the crash report
// helper, a separate executable that runs the dialogue of crash_report.h: it
// asks the user whether to save a diagnostic file and has gdb's gcore write a
// full core of the crashed process to Vistel.dmp in the user's data
// directory. The crashed process stays blocked in its handler until the
// helper is done, then dies of the same signal as it would have without the
// reporter (its exit status still says "killed by signal").
//
// The handler itself does only async-signal-safe work (everything it needs is
// prepared by install): it starts the helper with a raw clone (no fork
// handlers run, so a crash inside malloc cannot deadlock it), allows the
// helper and its descendants to trace the process (PR_SET_PTRACER, for
// kernels with Yama), and waits. It runs on an alternate signal stack
// prepared for the installing thread, so a stack overflow of that thread is
// reported too; other threads report on their own stacks (their overflows
// are not reported and end the process as before).
//
// The helper is a separate program rather than this one re-entered so that no
// executable needs a hidden command-line mode: `vistel-crash-report` beside
// the executable by default. The desktop application passes a helper of its
// own that shows dialogs (CrashReportMode::Dialog reaches the helper as
// "--mode dialog"; vistel-crash-report answers it on the terminal).
//
// In builds with AddressSanitizer or ThreadSanitizer install does nothing:
// their own fatal-signal reports are the better diagnosis there, and a core of
// a process with sanitizer shadow memory would be enormous.
//
// Thread-safety: install once, at start-up, before other threads exist.

#include <filesystem>
#include <string_view>

#include "vistel/platform/crash_report.h"

namespace vistel {

class CrashReporter {
 public:
  // File name of the default helper, looked up beside the running executable.
  static constexpr std::string_view kHelperName = "vistel-crash-report";

  // Installs the handler. `applicationName` captions every message ("Application"
  // when empty); `helper` is the helper to run (default: kHelperName beside the
  // executable). The dump path is defaultCrashDumpPath() of the environment at
  // this call. False, changing nothing, when already installed, in a sanitizer
  // build, when the helper is not an executable file, when no dump path can be
  // determined or a path is longer than the handler's buffers (4 KiB).
  [[nodiscard]] static bool install(std::string_view applicationName, CrashReportMode mode,
                                    const std::filesystem::path& helper = {});

  // Whether install succeeded in this process.
  static bool installed();

  CrashReporter() = delete;
};

}  // namespace vistel
