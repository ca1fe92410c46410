#pragma once

// The subcommands of `vistel`, each given the arguments after its name.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cli.h"

namespace vistel::cli {

struct Command {
  const char* name;
  const char* summary;  // one line for `vistel --help`
  const char* help;     // full text for `vistel NAME --help`
  int (*run)(const std::vector<std::string>& args, Io io);
};

int runInspect(const std::vector<std::string>& args, Io io);
int runEval(const std::vector<std::string>& args, Io io);
int runKey(const std::vector<std::string>& args, Io io);
int runProbe(const std::vector<std::string>& args, Io io);
int runCalibrate(const std::vector<std::string>& args, Io io);
int runGenerate(const std::vector<std::string>& args, Io io);
int runRender(const std::vector<std::string>& args, Io io);
int runServe(const std::vector<std::string>& args, Io io);
int runCameraSim(const std::vector<std::string>& args, Io io);

extern const char* const kInspectHelp;
extern const char* const kEvalHelp;
extern const char* const kKeyHelp;
extern const char* const kProbeHelp;
extern const char* const kCalibrateHelp;
extern const char* const kGenerateHelp;
extern const char* const kRenderHelp;
extern const char* const kServeHelp;
extern const char* const kCameraSimHelp;

// `text` as a whole decimal number from `low` to `high`, digits only (no sign,
// white space or trailing text). False, with `out` untouched, otherwise.
bool parseWholeNumber(const std::string& text, std::int64_t low, std::int64_t high,
                      std::int64_t& out);

// `url` with the user name and password of its authority, and the values of
// credential-like query parameters (user, pass, password, pwd, ...), replaced
// by "***", so a camera address can be printed.
std::string maskCredentials(std::string_view url);

// The probe of an rtsp:// camera (runProbe's arguments, checked).
int probeRtsp(const std::string& url, std::int64_t frames, float fps, std::int64_t timeoutMs,
              Io io);

// Reports a usage error the same way for every command: one line, status 2
// unless the command's own statuses need another (see `status`).
int usageError(Io io, const std::string& command, const std::string& message,
               int status = kExitUsage);

// Reads a whole file, or standard input for "-". False with a reason on failure.
bool readInput(const std::string& path, Io io, std::string& text, std::string& reason);

}  // namespace vistel::cli
