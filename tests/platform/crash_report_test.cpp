#include "vistel/platform/crash_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/test_paths.h"
#include "vistel/host/host_ui.h"

namespace vistel {
namespace {

class RecordingUi : public HostUi {
 public:
  bool answer = true;
  std::vector<std::string> shown;  // "caption|text" of every message and question

  void messageBox(std::string_view caption, std::string_view text) override {
    shown.push_back(std::string(caption) + "|" + std::string(text));
  }
  bool askYesNo(std::string_view caption, std::string_view text) override {
    shown.push_back(std::string(caption) + "|?" + std::string(text));
    return answer;
  }
};

void writeScript(const std::filesystem::path& path, const std::string& body) {
  ASSERT_TRUE(test::writeFile(path, "#!/bin/sh\n" + body));
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
}

TEST(CrashReport, ArgumentsRoundTripAndBadOnesAreRefused) {
  CrashReport report;
  report.pid = 4242;
  report.applicationName = "Vistel viewer";
  report.mode = CrashReportMode::Dialog;
  report.dumpPath = "/home/u/.local/share/vistel/Vistel.dmp";
  report.executableDir = "/opt/vistel/bin";
  std::vector<std::string> args = crashReportArguments(report);
  const auto back = parseCrashReportArguments(args);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pid, 4242);
  EXPECT_EQ(back->applicationName, "Vistel viewer");
  EXPECT_EQ(back->mode, CrashReportMode::Dialog);
  EXPECT_EQ(back->dumpPath, report.dumpPath);
  EXPECT_EQ(back->executableDir, report.executableDir);

  for (const auto& [at, value] : std::vector<std::pair<std::size_t, std::string>>{
           {1, "0"}, {1, "12x"}, {3, "window"}, {4, "--dump"}, {7, ""}}) {
    std::vector<std::string> bad = args;
    bad[at] = value;
    EXPECT_FALSE(parseCrashReportArguments(bad)) << at << " " << value;
  }
  args.pop_back();
  EXPECT_FALSE(parseCrashReportArguments(args));
}

TEST(CrashReport, HelperServesOnlyItsParentAndExplainsABadCommandLine) {
  CrashReport report;
  report.pid = static_cast<int>(::getppid());
  report.dumpPath = "/tmp/Vistel.dmp";
  report.executableDir = "/tmp";
  const auto argvFor = [](std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
  };
  std::vector<std::string> args = crashReportArguments(report);
  args.insert(args.begin(), "helper");
  auto argv = argvFor(args);
  testing::internal::CaptureStderr();
  const auto fromParent = crashHelperRequest(static_cast<int>(args.size()), argv.data(), "usage\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(fromParent);
  EXPECT_EQ(fromParent->pid, report.pid);

  // Anyone else's process is refused without a word: the caller was not a
  // crashing Vistel program.
  report.pid = static_cast<int>(::getpid());
  args = crashReportArguments(report);
  args.insert(args.begin(), "helper");
  argv = argvFor(args);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(crashHelperRequest(static_cast<int>(args.size()), argv.data(), "usage\n"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  args.pop_back();
  argv = argvFor(args);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(crashHelperRequest(static_cast<int>(args.size()), argv.data(), "usage\n"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "usage\n");
  char* none[] = {nullptr};
  testing::internal::CaptureStderr();
  EXPECT_FALSE(crashHelperRequest(0, none, "usage\n"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "usage\n");
}

TEST(CrashReport, DumpPathFollowsTheDataHome) {
  ASSERT_EQ(::setenv("XDG_DATA_HOME", "/data/home", 1), 0);
  EXPECT_EQ(defaultCrashDumpPath(), "/data/home/vistel/Vistel.dmp");
  ASSERT_EQ(::setenv("XDG_DATA_HOME", "relative", 1), 0);
  ASSERT_EQ(::setenv("HOME", "/home/someone", 1), 0);
  EXPECT_EQ(defaultCrashDumpPath(), "/home/someone/.local/share/vistel/Vistel.dmp");
}

// gcore beside the executable wins over the one on PATH; an old one is reported.
TEST(CrashReport, OldGcoreBesideTheExecutableIsReportedWithoutAsking) {
  const auto dir = test::scratchDir("crash-report-old");
  writeScript(dir / "gcore", "echo 'usage:  gcore [-o prefix] pid1 [pid2...pidN]'\nexit 2\n");
  ASSERT_EQ(findGcore(dir, "relative/bin::/usr/bin:/bin"), dir / "gcore");
  CrashReport report;
  report.pid = static_cast<int>(::getpid());
  report.dumpPath = dir / "Vistel.dmp";
  report.executableDir = dir;
  RecordingUi ui;
  EXPECT_EQ(runCrashReport(report, ui), CrashReportResult::GcoreTooOld);
  EXPECT_EQ(ui.shown, std::vector<std::string>{"Application|gcore too old"});
}

TEST(CrashReport, UncreatableDumpFileIsReportedWithTheSystemError) {
  const auto dir = test::scratchDir("crash-report-create");
  // A folder where the dump should go cannot be opened as a file (EISDIR).
  std::filesystem::create_directories(dir / "Vistel.dmp");
  writeScript(dir / "gcore", "echo 'usage:  gcore [-a] [-o prefix] pid1'\nexit 2\n");
  CrashReport report;
  report.pid = static_cast<int>(::getpid());
  report.applicationName = "Vistel";
  report.dumpPath = dir / "Vistel.dmp";
  report.executableDir = dir;
  RecordingUi ui;
  EXPECT_EQ(runCrashReport(report, ui), CrashReportResult::CreateFailed);
  ASSERT_EQ(ui.shown.size(), 2u);
  EXPECT_EQ(ui.shown[0], "Vistel|?" + std::string(kCrashQuestion));
  EXPECT_EQ(ui.shown[1], "Vistel|Failed to create dump file '" + report.dumpPath.string() +
                             "' (error " + std::to_string(EISDIR) + ")");

  // Declining stops there, without touching the dump path.
  ui.shown.clear();
  ui.answer = false;
  std::filesystem::remove(dir / "Vistel.dmp");
  EXPECT_EQ(runCrashReport(report, ui), CrashReportResult::Declined);
  EXPECT_EQ(ui.shown.size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(report.dumpPath));
}

TEST(CrashReport, FailingGcoreIsReportedWithItsStatusAndLeavesNoFile) {
  const auto dir = test::scratchDir("crash-report-fails");
  writeScript(dir / "gcore",
              "[ $# -eq 0 ] && { echo 'usage:  gcore [-a] [-o prefix] pid1'; exit 2; }\nexit 3\n");
  CrashReport report;
  report.pid = static_cast<int>(::getpid());
  report.dumpPath = dir / "out" / "Vistel.dmp";
  report.executableDir = dir;
  RecordingUi ui;
  EXPECT_EQ(runCrashReport(report, ui), CrashReportResult::SaveFailed);
  ASSERT_EQ(ui.shown.size(), 2u);
  EXPECT_EQ(ui.shown[1],
            "Application|Failed to save dump file to '" + report.dumpPath.string() + "' (error 3)");
  EXPECT_FALSE(std::filesystem::exists(report.dumpPath));
}

}  // namespace
}  // namespace vistel
