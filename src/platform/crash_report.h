#pragma once

// The dialogue of the crash report helper: the process that a crashed
// Vistel process starts from its fatal-signal handler (see crash_reporter.h).
// It looks for gdb's gcore, asks the user whether to save a diagnostic file,
// writes a full core of the crashed process to the dump path and says where it
// went or why it failed, every message through a PromptUi (any HostUi).
//
// Thread-safety: the functions may be called from any thread; runCrashReport
// uses the UI on the calling thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/platform/prompt_ui.h"

namespace vistel {

// Texts of the dialogue. The formats take the dump path and a system error
// number (errno, or what the dump tool reported; see runCrashReport).
inline constexpr std::string_view kCrashQuestion =
    "Something bad happened in your program, would you like to save a diagnostic file?";
inline constexpr std::string_view kCrashGcoreNotFound = "gcore not found";
inline constexpr std::string_view kCrashGcoreTooOld = "gcore too old";
inline constexpr const char* kCrashCreateFailedFormat =
    "Failed to create dump file '%s' (error %d)";
inline constexpr const char* kCrashSavedFormat = "Saved dump file to '%s'";
inline constexpr const char* kCrashSaveFailedFormat = "Failed to save dump file to '%s' (error %d)";

// Caption used when the application gave no name.
inline constexpr std::string_view kCrashDefaultApplicationName = "Application";
// File name of the dump in the user's data directory.
inline constexpr std::string_view kCrashDumpFileName = "Vistel.dmp";
// Longest run of gcore before it is stopped and the save reported as failed.
inline constexpr int kCrashDumpTimeLimitSeconds = 600;

// How the helper talks to the user.
enum class CrashReportMode {
  Terminal,  // the controlling terminal, else standard input and error
  Dialog,    // message boxes of the desktop application's helper
};

// What the helper is asked to do; travels on its command line.
struct CrashReport {
  int pid = 0;                  // the crashed process, waiting for the helper
  std::string applicationName;  // caption of every message
  CrashReportMode mode = CrashReportMode::Terminal;
  std::filesystem::path dumpPath;       // replaced by the new dump
  std::filesystem::path executableDir;  // searched for gcore first
};

// What runCrashReport ended with.
enum class CrashReportResult { Saved, Declined, NoGcore, GcoreTooOld, CreateFailed, SaveFailed };

// The helper's command line after the program name:
// --pid N --mode terminal|dialog --name TEXT --dump PATH --exe-dir PATH.
std::vector<std::string> crashReportArguments(const CrashReport& report);
// Reads that command line; nothing when an option is missing, repeated,
// unknown or malformed.
std::optional<CrashReport> parseCrashReportArguments(std::span<const std::string> args);

// How long a helper waits for each answer: a user who walked away must not
// keep the crashed process alive for ever.
inline constexpr std::uint32_t kCrashAnswerTimeoutMs = 5 * 60 * 1000;

// A helper program's start: its whole argv read as above, accepted only when
// the crashed process is the helper's parent (the helper is no general tool for
// taking cores of other processes). Writes `usage` to standard error when the
// command line is malformed; nothing when the helper must end at once.
std::optional<CrashReport> crashHelperRequest(int argc, char** argv, std::string_view usage);

// $XDG_DATA_HOME/vistel/Vistel.dmp (~/.local/share/... when XDG_DATA_HOME is
// unset or relative), from the current environment; empty when no home folder
// is known.
std::filesystem::path defaultCrashDumpPath();

// An executable "gcore" in `executableDir`, else in the folders of
// `searchPath` (PATH syntax; empty entries are skipped); empty when none.
std::filesystem::path findGcore(const std::filesystem::path& executableDir,
                                std::string_view searchPath);

// Whether `gcore` can write a full dump: it runs and offers "-a" (dump every
// mapping), which older releases lack.
bool gcoreCanDumpAllMemory(const std::filesystem::path& gcore);

// The whole dialogue: gcore missing or unusable is reported and ends it; else
// the question; on Yes the dump file is created (replacing an old one, mode
// 0600), gcore writes a full core of `report.pid` into it, and the outcome is
// reported. The error number of a failed save is gcore's exit status (128 +
// signal when it was killed, ETIMEDOUT past the time limit) or the errno of
// moving its output into place. Uses gcore from the PATH of the environment.
CrashReportResult runCrashReport(const CrashReport& report, PromptUi& ui);

}  // namespace vistel
