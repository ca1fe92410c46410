// `vistel generate`: the project text a control would show for a set of
// load-time properties, so a page's <param>s (or a desktop shortcut's
// `--param` options) can be checked, and a two-camera project written once and
// kept as a file.
#include <cerrno>
#include <cstdlib>
#include <ostream>

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

constexpr long kMaxTimeoutMs = 24L * 3600 * 1000;

bool parseTimeout(const std::string& text, std::uint32_t& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end != text.c_str() + text.size() || errno == ERANGE || value < 1 || value > kMaxTimeoutMs) {
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

}  // namespace

int runGenerate(const std::vector<std::string>& args, Io io) {
  std::vector<std::string> rest = args;
  PropertyBag properties;
  std::string reason;
  if (!takePropertyOptions(rest, properties, reason)) return usageError(io, "generate", reason);

  std::uint32_t timeoutMs = 0;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == "--timeout-ms" && i + 1 < rest.size()) {
      if (!parseTimeout(rest[i + 1], timeoutMs)) {
        return usageError(io, "generate", "--timeout-ms needs 1 to 86400000");
      }
      ++i;
    } else if (rest[i] != "--") {
      return usageError(io, "generate", "unexpected argument '" + rest[i] + "'");
    }
  }

  const auto ui = TerminalUi::forTerminal();
  VistelControl control(*ui, {});  // no engine: only the properties are read
  if (timeoutMs != 0) control.credentials().setTimeouts(timeoutMs, timeoutMs);
  control.load(properties);
  io.out << control.Project() << "\n";
  return kExitOk;
}

}  // namespace vistel::cli
