#include "vistel/platform/crash_report.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace vistel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds kProbeTimeLimit{10};
constexpr std::size_t kMaxCapturedBytes = 64 * 1024;

std::string format(const char* pattern, const std::string& path, int error = 0) {
  const int size = std::snprintf(nullptr, 0, pattern, path.c_str(), error);
  if (size <= 0) return pattern;
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::snprintf(text.data(), text.size(), pattern, path.c_str(), error);
  text.pop_back();
  return text;
}

struct ProcessResult {
  int spawnError = 0;  // errno of a failed start; 0 when it ran
  bool timedOut = false;
  int status = 0;  // exit status, or 128 + signal
  std::string output;
};

// Runs `argv` in a process group of its own (so a time-out also ends what it
// started), with no input and its output dropped or captured.
ProcessResult runProcess(const std::vector<std::string>& argv, Clock::duration limit,
                         bool captureOutput) {
  ProcessResult result;
  int pipeFds[2] = {-1, -1};
  if (captureOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.spawnError = errno;
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawnattr_init(&attributes);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (captureOutput) {
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  } else {
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  sigset_t none;
  sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&attributes, &none);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  if (captureOutput) ::close(pipeFds[1]);
  if (spawned != 0) {
    if (captureOutput) ::close(pipeFds[0]);
    result.spawnError = spawned;
    return result;
  }

  const auto deadline = Clock::now() + limit;
  int status = 0;
  bool reading = captureOutput;
  for (;;) {
    if (reading) {
      pollfd ready{pipeFds[0], POLLIN, 0};
      if (::poll(&ready, 1, 20) > 0) {
        char buffer[4096];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0 && result.output.size() < kMaxCapturedBytes) {
          result.output.append(buffer, static_cast<std::size_t>(n));
        }
        if (n == 0) reading = false;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Clock::now() > deadline) {
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.timedOut = true;
      break;
    }
  }
  if (captureOutput) ::close(pipeFds[0]);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string_view modeName(CrashReportMode mode) {
  return mode == CrashReportMode::Dialog ? "dialog" : "terminal";
}

}  // namespace

std::vector<std::string> crashReportArguments(const CrashReport& report) {
  return {"--pid",     std::to_string(report.pid),   "--mode", std::string(modeName(report.mode)),
          "--name",    report.applicationName,       "--dump", report.dumpPath.string(),
          "--exe-dir", report.executableDir.string()};
}

std::optional<CrashReport> parseCrashReportArguments(std::span<const std::string> args) {
  if (args.size() != 10) return std::nullopt;
  CrashReport report;
  unsigned seen = 0;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string& option = args[i];
    const std::string& value = args[i + 1];
    unsigned bit = 0;
    if (option == "--pid") {
      bit = 1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), report.pid);
      if (ec != std::errc() || end != value.data() + value.size() || report.pid <= 0) {
        return std::nullopt;
      }
    } else if (option == "--mode") {
      bit = 2;
      if (value == "terminal") {
        report.mode = CrashReportMode::Terminal;
      } else if (value == "dialog") {
        report.mode = CrashReportMode::Dialog;
      } else {
        return std::nullopt;
      }
    } else if (option == "--name") {
      bit = 4;
      report.applicationName = value;
    } else if (option == "--dump") {
      bit = 8;
      if (value.empty()) return std::nullopt;
      report.dumpPath = value;
    } else if (option == "--exe-dir") {
      bit = 16;
      report.executableDir = value;
    }
    if (bit == 0 || (seen & bit) != 0) return std::nullopt;
    seen |= bit;
  }
  return report;
}

std::optional<CrashReport> crashHelperRequest(int argc, char** argv, std::string_view usage) {
  const std::vector<std::string> args(argv + std::min(argc, 1), argv + std::max(argc, 0));
  auto report = parseCrashReportArguments(args);
  if (!report) {
    (void)!::write(STDERR_FILENO, usage.data(), usage.size());
    return std::nullopt;
  }
  if (report->pid != static_cast<int>(::getppid())) return std::nullopt;
  return report;
}

std::filesystem::path defaultCrashDumpPath() {
  std::filesystem::path data;
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') {
    data = xdg;
  } else {
    const char* home = std::getenv("HOME");
    std::filesystem::path base;
    if (home && home[0] == '/') {
      base = home;
    } else if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir) {
      base = user->pw_dir;
    }
    if (base.empty()) return {};
    data = base / ".local" / "share";
  }
  return data / "vistel" / kCrashDumpFileName;
}

std::filesystem::path findGcore(const std::filesystem::path& executableDir,
                                std::string_view searchPath) {
  if (!executableDir.empty() && isExecutableFile(executableDir / "gcore")) {
    return executableDir / "gcore";
  }
  while (!searchPath.empty()) {
    const std::size_t colon = searchPath.find(':');
    const std::string_view dir = searchPath.substr(0, colon);
    searchPath =
        colon == std::string_view::npos ? std::string_view() : searchPath.substr(colon + 1);
    // A relative entry would make the dump depend on the crashed process's
    // working folder.
    if (dir.empty() || dir.front() != '/') continue;
    const std::filesystem::path candidate = std::filesystem::path(dir) / "gcore";
    if (isExecutableFile(candidate)) return candidate;
  }
  return {};
}

bool gcoreCanDumpAllMemory(const std::filesystem::path& gcore) {
  // Without a process id gcore only prints its usage line.
  const ProcessResult usage = runProcess({gcore.string()}, kProbeTimeLimit, true);
  return usage.spawnError == 0 && !usage.timedOut && usage.output.find("-a") != std::string::npos;
}

CrashReportResult runCrashReport(const CrashReport& report, PromptUi& ui) {
  const std::string caption = report.applicationName.empty()
                                  ? std::string(kCrashDefaultApplicationName)
                                  : report.applicationName;
  const char* searchPath = std::getenv("PATH");
  const std::filesystem::path gcore = findGcore(report.executableDir, searchPath ? searchPath : "");
  if (gcore.empty()) {
    ui.messageBox(caption, kCrashGcoreNotFound);
    return CrashReportResult::NoGcore;
  }
  if (!gcoreCanDumpAllMemory(gcore)) {
    ui.messageBox(caption, kCrashGcoreTooOld);
    return CrashReportResult::GcoreTooOld;
  }
  if (!ui.askYesNo(caption, kCrashQuestion)) return CrashReportResult::Declined;

  const std::string dump = report.dumpPath.string();
  const std::filesystem::path folder = report.dumpPath.parent_path();
  std::error_code ec;
  if (!folder.empty() && std::filesystem::create_directories(folder, ec)) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
  }
  // A core holds every secret the process had in memory: owner only. An
  // existing file is replaced, but a link is not followed.
  const int fd = ::open(dump.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    ui.messageBox(caption, format(kCrashCreateFailedFormat, dump, errno));
    return CrashReportResult::CreateFailed;
  }
  (void)::fchmod(fd, 0600);
  ::close(fd);

  // gcore names its output PREFIX.PID; it is moved over the dump when complete.
  const std::string prefix =
      (folder / ("." + report.dumpPath.filename().string() + ".partial")).string();
  const std::string produced = prefix + "." + std::to_string(report.pid);
  ::unlink(produced.c_str());
  const mode_t mask = ::umask(077);
  const ProcessResult run =
      runProcess({gcore.string(), "-a", "-o", prefix, std::to_string(report.pid)},
                 std::chrono::seconds(kCrashDumpTimeLimitSeconds), false);
  ::umask(mask);
  int error = 0;
  if (run.spawnError != 0) {
    error = run.spawnError;
  } else if (run.timedOut) {
    error = ETIMEDOUT;
  } else if (run.status != 0) {
    error = run.status;
  } else if (::rename(produced.c_str(), dump.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlink(produced.c_str());
    ::unlink(dump.c_str());
    ui.messageBox(caption, format(kCrashSaveFailedFormat, dump, error));
    return CrashReportResult::SaveFailed;
  }
  ui.messageBox(caption, format(kCrashSavedFormat, dump));
  return CrashReportResult::Saved;
}

}  // namespace vistel
