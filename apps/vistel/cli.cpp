#include "cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <ostream>
#include <sstream>

#include "commands.h"

namespace vistel::cli {

namespace {

const Command kCommands[] = {
    {"inspect", "print a project's object model as JSON", kInspectHelp, runInspect},
    {"eval", "evaluate an expression, a condition or a value conversion", kEvalHelp, runEval},
    {"key", "encode or decode a key text", kKeyHelp, runKey},
    {"probe", "fetch pictures from a camera address and describe them", kProbeHelp, runProbe},
    {"calibrate", "correct a camera pair's source key from two pictures", kCalibrateHelp,
     runCalibrate},
    {"generate", "print the project text the control loads for a set of properties", kGenerateHelp,
     runGenerate},
    {"render", "render a project's view through the viewer engine into a picture file", kRenderHelp,
     runRender},
    {"camera-sim", "serve the demo street's two cameras live over HTTP", kCameraSimHelp,
     runCameraSim},
#if VISTEL_HAS_SERVE
    {"serve", "serve the viewer to web pages (HTTP and WebSocket)", kServeHelp, runServe},
#endif
};

void printUsage(std::ostream& out) {
  out << "usage: vistel COMMAND [ARGS...]\n\ncommands:\n";
  for (const auto& command : kCommands) {
    out << "  " << command.name << std::string(12 - std::strlen(command.name), ' ')
        << command.summary << "\n";
  }
  out << "\nRun `vistel COMMAND --help` for the arguments of one command.\n";
}

}  // namespace

int usageError(Io io, const std::string& command, const std::string& message, int status) {
  io.err << "vistel " << command << ": " << message << " (try `vistel " << command << " --help`)\n";
  return status;
}

bool readInput(const std::string& path, Io io, std::string& text, std::string& reason) {
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(io.in), std::istreambuf_iterator<char>());
    if (io.in.bad()) {
      reason = "cannot read standard input";
      return false;
    }
    return true;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    reason = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream buffer;
  buffer << file.rdbuf();
  if (file.bad()) {
    reason = "cannot read " + path;
    return false;
  }
  text = std::move(buffer).str();
  return true;
}

int run(const std::vector<std::string>& args, Io io) {
  if (args.empty()) {
    io.err << "vistel: missing command (try `vistel --help`)\n";
    return kExitUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    printUsage(io.out);
    return kExitOk;
  }
  for (const auto& command : kCommands) {
    if (args[0] != command.name) continue;
    std::vector<std::string> rest(args.begin() + 1, args.end());
    for (const auto& arg : rest) {
      if (arg == "--") break;  // what follows is data, even if it reads "--help"
      if (arg == "--help" || arg == "-h") {
        io.out << command.help;
        return kExitOk;
      }
    }
    return command.run(rest, io);
  }
  io.err << "vistel: unknown command '" << args[0] << "' (try `vistel --help`)\n";
  return kExitUsage;
}

bool parseWholeNumber(const std::string& text, std::int64_t low, std::int64_t high,
                      std::int64_t& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace vistel::cli
