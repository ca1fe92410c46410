#include "support/shell.h"

#include <sys/wait.h>

#include <cstdio>

#include "support/test_paths.h"

namespace vistel::test {

ShellResult runShell(const std::string& command) {
  const auto errors = scratchDir("shell-stderr") / "err";
  FILE* pipe = ::popen((command + " 2>'" + errors.string() + "'").c_str(), "r");
  if (pipe == nullptr) return {-1, "", "popen failed"};
  std::string out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  const int raw = ::pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out, readFile(errors)};
}

}  // namespace vistel::test
