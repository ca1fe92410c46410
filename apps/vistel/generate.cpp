// `vistel generate`: the project text a control would show for a set of
// load-time properties, so a page's <param>s (or a desktop shortcut's
// `--param` options) can be checked, and a two-camera project written once and
// kept as a file.
#include <cstdint>
#include <ostream>

#include "command_line.h"
#include "commands.h"
#include "vistel/host/camera_credentials.h"
#include "vistel/host/property_bag.h"
#include "vistel/host/terminal_ui.h"
#include "vistel/host/vistel_control.h"

namespace vistel::cli {

const char* const kGenerateHelp =
    "usage: vistel generate [--param NAME=VALUE]... [--params FILE] [--timeout-ms T]\n"
    "\n"
    "Prints, followed by a line end, the project text the viewer control loads\n"
    "for these load-time properties. With two camera addresses (startImage or\n"
    "topCameraAddress, and endImage or bottomCameraAddress) it is the generated\n"
    "two-camera project: views Cam0 and Cam1 (lenses kamolens1 and kamolens0, the\n"
    "frame rate FPS, default -1) joined by the link Cam0Cam1 whose keys are\n"
    "startKey/topKey and endKey/bottomKey (default: the calibration's default\n"
    "keys). Otherwise it is the Project property, or \"vistel_project.xml\".\n"
    "\n"
    "Each camera is asked for first. One that answers 401 gets credentials: those\n"
    "remembered for it, or a user name and password asked on the terminal (an\n"
    "empty user name cancels, which leaves that camera's address empty). They are\n"
    "written into the address, so the printed project holds them.\n"
    "\n"
    "  --param NAME=VALUE  one property (repeatable; a later one wins)\n"
    "  --params FILE       NAME=VALUE lines (\"#\" starts a comment line)\n"
    "  --timeout-ms T      give up on a camera after T ms (default 60000)\n"
    "\n"
    "Exits with 0 after printing, 2 on bad arguments.\n";

namespace {

constexpr std::int64_t kMaxTimeoutMs = 24 * 3600 * 1000;

}  // namespace

int runGenerate(const std::vector<std::string>& args, Io io) {
  PropertyBag properties;
  std::int64_t timeoutMs = 0;
  CommandLine line;
  const auto unexpected = [](const std::string& arg) {
    return "unexpected argument '" + arg + "'";
  };
  line.unknownOption(unexpected);
  line.properties(properties);
  line.option(
      "--timeout-ms", "--timeout-ms needs 1 to 86400000",
      [&timeoutMs](const std::string& v) {
        return parseWholeNumber(v, 1, kMaxTimeoutMs, timeoutMs);
      },
      unexpected("--timeout-ms"));
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "generate", error);

  const auto ui = TerminalUi::forTerminal();
  VistelControl control(*ui, {});  // no engine: only the properties are read
  if (timeoutMs != 0) {
    const auto ms = static_cast<std::uint32_t>(timeoutMs);
    control.credentials().setTimeouts(ms, ms);
  }
  control.load(properties);
  io.out << control.Project() << "\n";
  return kExitOk;
}

}  // namespace vistel::cli
