#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "vistel/platform/crash_reporter.h"

int main(int argc, char** argv) {
  // A crash offers to save a core for the developers (no effect in sanitizer builds).
  (void)vistel::CrashReporter::install("Vistel", vistel::CrashReportMode::Terminal);
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  return vistel::cli::run(args, {std::cin, std::cout, std::cerr});
}
