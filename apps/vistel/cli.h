#pragma once

// The `vistel` command line. Each subcommand reads its arguments, writes its
// result to `out` and its messages to `err`, and returns the exit status.

#include <iosfwd>
#include <string>
#include <vector>

namespace vistel::cli {

struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command ran and the answer is "no"
inline constexpr int kExitUsage = 2;    // bad arguments or unreadable input

// Runs `vistel ARGS...` (args excludes the program name).
int run(const std::vector<std::string>& args, Io io);

}  // namespace vistel::cli
