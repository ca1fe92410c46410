#include "cli.h"

#include <ostream>

namespace vistel::cli {

namespace {

constexpr const char* kUsage =
    "usage: vistel COMMAND [ARGS...]\n"
    "\n"
    "Run `vistel COMMAND --help` for the arguments of one command.\n";

}  // namespace

int run(const std::vector<std::string>& args, Io io) {
  if (args.empty()) {
    io.err << "vistel: missing command (try `vistel --help`)\n";
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h") {
    io.out << kUsage;
    return kExitOk;
  }
  io.err << "vistel: unknown command '" << args[0] << "' (try `vistel --help`)\n";
  return kExitUsage;
}

}  // namespace vistel::cli
