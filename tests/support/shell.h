#pragma once

#include <string>

namespace vistel::test {

// What a command run through the shell ended with.
struct ShellResult {
  int status;  // the exit status, -1 when the command did not exit normally
  std::string out;
  std::string err;
};

// Runs `command` with /bin/sh, for what only a real process shows: exit
// statuses and the separation of its output streams. Standard error is
// redirected after the whole command, so in "a && b" it is b's.
ShellResult runShell(const std::string& command);

}  // namespace vistel::test
