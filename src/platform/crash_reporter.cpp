#include "vistel/platform/crash_reporter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "vistel/platform/sanitizers.h"

extern char** environ;

namespace vistel {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kTextBytes = 4096;
constexpr std::size_t kAlternateStackBytes = 64 * 1024;
constexpr std::string_view kPidPlaceholder = "--pid";

// Everything the handler reads, prepared by install. Trivially destructible,
// so a crash during static destruction still finds it intact.
struct Prepared {
  std::array<std::array<char, kTextBytes>, 12> texts;  // the helper's argv strings
  std::array<const char*, 13> argv;                    // null-terminated; pid slot set per crash
  int pidSlot = -1;
};

Prepared gPrepared;
alignas(16) std::array<unsigned char, kAlternateStackBytes> gAlternateStack;
std::atomic<bool> gInstalled{false};
std::atomic<int> gReporting{0};
static_assert(std::atomic<int>::is_always_lock_free);

// Decimal text of `value` into `out` (at least 24 bytes); async-signal-safe.
void formatDecimal(long value, char* out) {
  char digits[24];
  int count = 0;
  unsigned long rest =
      value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  do {
    digits[count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  int at = 0;
  if (value < 0) out[at++] = '-';
  while (count > 0) out[at++] = digits[--count];
  out[at] = '\0';
}

void writeError(const char* text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

// Starts the helper and waits for it. Async-signal-safe.
void runHelper() {
  char pidText[24];
  formatDecimal(static_cast<long>(::getpid()), pidText);
  std::array<const char*, std::tuple_size_v<decltype(Prepared::argv)>> argv = gPrepared.argv;
  argv[static_cast<std::size_t>(gPrepared.pidSlot)] = pidText;

  // The helper must be waitable even if the application ignores SIGCHLD.
  struct sigaction waitable {};
  waitable.sa_handler = SIG_DFL;
  sigemptyset(&waitable.sa_mask);
  struct sigaction previousChild {};
  ::sigaction(SIGCHLD, &waitable, &previousChild);

  // The helper waits on this pipe until it may trace us.
  int gate[2];
  if (::pipe2(gate, O_CLOEXEC) != 0) return;
  // A raw clone runs no fork handlers: a crash inside malloc (whose fork
  // handler takes the allocator's locks) cannot deadlock here.
  const long child = ::syscall(SYS_clone, static_cast<unsigned long>(SIGCHLD), 0, 0, 0, 0);
  if (child == 0) {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    for (const int signal : kFatalSignals) ::sigaction(signal, &plain, nullptr);
    ::close(gate[1]);
    char byte = 0;
    while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], const_cast<char* const*>(argv.data()), environ);
    writeError("crash report helper could not be started\n");
    ::_exit(127);
  }
  ::close(gate[0]);
  if (child > 0) {
    // With Yama's ptrace restrictions only ancestors may trace; the helper
    // and the gcore it starts are descendants of us, so name the helper.
    ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(child), 0, 0, 0);
  }
  ::close(gate[1]);
  if (child > 0) {
    int status = 0;
    while (::waitpid(static_cast<pid_t>(child), &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::sigaction(SIGCHLD, &previousChild, nullptr);
}

void onFatalSignal(int signal, siginfo_t*, void*) {
  const int savedErrno = errno;
  int idle = 0;
  if (gReporting.compare_exchange_strong(idle, 1)) {
    runHelper();
  } else {
    // Another thread is reporting; the process ends when it is done.
    for (;;) ::pause();
  }
  // Die of the same signal: with the default action restored, the signal
  // raised here is delivered as soon as the handler returns (a fault would
  // also simply happen again).
  struct sigaction plain {};
  plain.sa_handler = SIG_DFL;
  sigemptyset(&plain.sa_mask);
  ::sigaction(signal, &plain, nullptr);
  ::raise(signal);
  errno = savedErrno;
}

bool copyText(std::string_view text, std::array<char, kTextBytes>& out) {
  if (text.size() >= out.size() || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(out.data(), text.data(), text.size());
  out[text.size()] = '\0';
  return true;
}

std::filesystem::path executableDir() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
}

}  // namespace

bool CrashReporter::installed() { return gInstalled.load(); }

bool CrashReporter::install(std::string_view applicationName, CrashReportMode mode,
                            const std::filesystem::path& helper) {
  if (kSanitizedBuild || gInstalled.load()) return false;
  CrashReport report;
  report.applicationName = applicationName.empty() ? std::string(kCrashDefaultApplicationName)
                                                   : std::string(applicationName);
  report.mode = mode;
  report.dumpPath = defaultCrashDumpPath();
  report.executableDir = executableDir();
  report.pid = 1;  // replaced by the crashed process's id
  const std::filesystem::path program =
      helper.empty() ? report.executableDir / kHelperName : helper;
  if (report.dumpPath.empty() || program.empty() || ::access(program.c_str(), X_OK) != 0 ||
      std::filesystem::is_directory(program)) {
    return false;
  }

  std::vector<std::string> args = crashReportArguments(report);
  args.insert(args.begin(), program.string());
  if (args.size() + 1 > gPrepared.argv.size()) return false;
  Prepared prepared;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!copyText(args[i], prepared.texts[i])) return false;
    if (i > 0 && args[i - 1] == kPidPlaceholder) prepared.pidSlot = static_cast<int>(i);
  }
  if (prepared.pidSlot < 0 || gInstalled.exchange(true)) return false;
  gPrepared = prepared;
  for (std::size_t i = 0; i < args.size(); ++i) gPrepared.argv[i] = gPrepared.texts[i].data();
  gPrepared.argv[args.size()] = nullptr;

  // Keep an alternate stack someone else set up; otherwise use ours.
  stack_t current{};
  if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
    stack_t alternate{};
    alternate.ss_sp = gAlternateStack.data();
    alternate.ss_size = gAlternateStack.size();
    (void)::sigaltstack(&alternate, nullptr);
  }
  struct sigaction action {};
  action.sa_sigaction = &onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (const int signal : kFatalSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kFatalSignals) ::sigaction(signal, &action, nullptr);
  return true;
}

}  // namespace vistel
