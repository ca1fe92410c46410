// test-labels: process slow
// Crashes a forked child on purpose with the reporter installed: the real
// helper runs, answers come through the child's standard input (the child has
// no controlling terminal), and gcore takes a real core.
#include "vistel/platform/crash_reporter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "support/test_paths.h"
#include "vistel/platform/sanitizers.h"

namespace vistel {
namespace {

volatile std::uintptr_t gNowhere = 0;
volatile bool gKeepRecursing = true;

[[noreturn]] void writeThroughNull() {
  *reinterpret_cast<volatile int*>(gNowhere) = 1;
  std::abort();  // not reached: SIGABRT would fail the signal check
}

int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (gKeepRecursing) return recurse(depth + 1) + frame[0];
  return frame[0];
}

enum class Crash { NullWrite, StackOverflow };

struct CrashRun {
  int status = 0;
  std::string terminal;  // what the child and its helper wrote
};

// Forks a child that installs the reporter and crashes; `answer` is its input.
CrashRun crashChild(const std::filesystem::path& dataHome, const std::string& answer,
                    const std::string& searchPath, Crash crash) {
  const std::filesystem::path terminal = dataHome / "terminal.txt";
  int input[2];
  if (::pipe(input) != 0) return {};
  (void)!::write(input[1], answer.data(), answer.size());
  ::close(input[1]);
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();  // no controlling terminal: the helper reads standard input
    const int out = ::open(terminal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(input[0], STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
    ::setenv("PATH", searchPath.c_str(), 1);
    if (!CrashReporter::install("CrashTest", CrashReportMode::Terminal, VISTEL_CRASH_HELPER_PATH)) {
      ::_exit(90);
    }
    if (crash == Crash::NullWrite) writeThroughNull();
    ::_exit(recurse(0) == 0 ? 91 : 92);
  }
  ::close(input[0]);
  CrashRun run;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(child, &run.status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &run.status, 0);
      ADD_FAILURE() << "crashed child did not end";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  run.terminal = test::readFile(terminal);
  return run;
}

class CrashReporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (kSanitizedBuild) GTEST_SKIP() << "sanitizer builds keep their own fatal-signal handlers";
    dataHome = test::scratchDir("crash-reporter");
    dump = dataHome / "vistel" / "Vistel.dmp";
    const char* path = std::getenv("PATH");
    searchPath = path ? path : "/usr/bin:/bin";
  }

  bool killedBySegv(const CrashRun& run) {
    return WIFSIGNALED(run.status) && WTERMSIG(run.status) == SIGSEGV;
  }

  std::filesystem::path dataHome;
  std::filesystem::path dump;
  std::string searchPath;
};

TEST_F(CrashReporterTest, YesWritesAFullCoreOverTheOldDump) {
  ASSERT_TRUE(test::writeFile(dump, "an old dump"));
  const CrashRun run = crashChild(dataHome, "y\n", searchPath, Crash::NullWrite);
  EXPECT_TRUE(killedBySegv(run)) << run.status << "\n" << run.terminal;
  EXPECT_NE(run.terminal.find("CrashTest: " + std::string(kCrashQuestion) + " [y/N] "),
            std::string::npos)
      << run.terminal;
  EXPECT_NE(run.terminal.find("CrashTest: Saved dump file to '" + dump.string() + "'\n"),
            std::string::npos)
      << run.terminal;

  const std::string core = test::readFile(dump);
  ASSERT_GT(core.size(), 64u);
  EXPECT_EQ(core.substr(0, 4),
            "\x7F"
            "ELF");
  EXPECT_EQ(static_cast<unsigned char>(core[16]) | static_cast<unsigned char>(core[17]) << 8, 4)
      << "e_type is not ET_CORE";
  struct stat info {};
  ASSERT_EQ(::stat(dump.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dump.parent_path()), {}), 1)
      << "gcore's partial file was left behind";
}

TEST_F(CrashReporterTest, NoAfterAStackOverflowWritesNothing) {
  const CrashRun run = crashChild(dataHome, "n\n", searchPath, Crash::StackOverflow);
  EXPECT_TRUE(killedBySegv(run)) << run.status << "\n" << run.terminal;
  EXPECT_NE(run.terminal.find(std::string(kCrashQuestion)), std::string::npos) << run.terminal;
  EXPECT_EQ(run.terminal.find("dump file"), std::string::npos) << run.terminal;
  EXPECT_FALSE(std::filesystem::exists(dump));
}

TEST_F(CrashReporterTest, WithoutGcoreOnlyTheNotFoundMessageAppears) {
  const std::filesystem::path empty = dataHome / "empty-bin";
  std::filesystem::create_directories(empty);
  const CrashRun run = crashChild(dataHome, "y\n", empty.string(), Crash::NullWrite);
  EXPECT_TRUE(killedBySegv(run)) << run.status << "\n" << run.terminal;
  EXPECT_EQ(run.terminal, "CrashTest: gcore not found\n");
  EXPECT_FALSE(std::filesystem::exists(dump));
}

}  // namespace
}  // namespace vistel
