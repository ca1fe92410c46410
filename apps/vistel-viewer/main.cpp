// vistel-viewer: the desktop viewer. Shows a project in a window; see
// viewer_options.h for the command line.
#include <QApplication>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "viewer_options.h"
#include "viewer_window.h"
#include "vistel/host/viewer_engine_binding.h"
#include "vistel/host/vistel_control.h"
#include "vistel/platform/crash_reporter.h"

namespace {

// The folder of this executable; empty when it cannot be told.
std::filesystem::path executableFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : self.parent_path();
}

// Crashes are reported with message boxes by the desktop helper beside the
// executable; without it, the terminal helper of the library's default.
void installCrashReporter(const std::filesystem::path& folder) {
  constexpr std::string_view kName = vistel::kAboutProductName;
  std::error_code ec;
  std::filesystem::path helper;
  if (!folder.empty()) {
    const std::filesystem::path dialogs = folder / "vistel-viewer-crash-report";
    if (std::filesystem::is_regular_file(dialogs, ec)) helper = dialogs;
  }
  if (!helper.empty()) {
    (void)vistel::CrashReporter::install(kName, vistel::CrashReportMode::Dialog, helper);
  } else {
    (void)vistel::CrashReporter::install(kName, vistel::CrashReportMode::Terminal);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::filesystem::path folder = executableFolder();
  const std::filesystem::path demo =
      folder.empty() ? std::filesystem::path() : vistel::findDemoProject(folder);
  std::string error;
  const auto options = vistel::parseViewerArguments(args, error, demo);
  if (!options) {
    std::fprintf(stderr, "vistel-viewer: %s\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(vistel::viewerUsage(demo).c_str(), stdout);
    return 0;
  }
  if (options->project.empty() && !options->properties.contains("Project") &&
      !vistel::generatesTwoCameraProject(options->properties)) {
    std::fprintf(stderr,
                 "vistel-viewer: the bundled demo is not installed (looked for %s); open a "
                 "project from the context menu\n",
                 (vistel::demoFolder(folder) / "demo.xml").c_str());
  }
  // Before Qt starts threads of its own: the reporter wants to be first.
  installCrashReporter(folder);

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vistel"));
  vistel::ViewerEngineOptions engine;
  engine.fileBase = options->fileBase.string();
  vistel::ViewerWindow window(*options, vistel::viewerEngineFactory(std::move(engine)));
  window.show();
  return QApplication::exec();
}
