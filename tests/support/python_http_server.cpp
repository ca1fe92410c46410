#include "support/python_http_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace vistel::test {

namespace {
constexpr auto kStartLimit = std::chrono::seconds(15);
}

PythonHttpServer::PythonHttpServer(const std::filesystem::path& root,
                                   std::chrono::seconds lifetime) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  // `timeout` bounds the server's life even when the test process dies first;
  // it passes our SIGTERM on to python.
  std::vector<std::string> args = {"timeout",    std::to_string(lifetime.count()),
                                   "python3",    "-u",
                                   "-m",         "http.server",
                                   "0",          "--bind",
                                   "127.0.0.1",  "--directory",
                                   root.string()};
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int rc = ::posix_spawnp(&pid_, "timeout", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  output_ = pipeFds[0];
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  // Python prints "Serving HTTP on 127.0.0.1 port N (http://...) ..." once bound.
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{output_, POLLIN, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = ::poll(&fd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    const std::size_t at = text.find(" port ");
    if (text.find('\n') != std::string::npos && at != std::string::npos) {
      unsigned value = 0;
      for (std::size_t i = at + 6;
           i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 65536; ++i)
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
      if (value > 0 && value < 65536) port_ = static_cast<std::uint16_t>(value);
      break;
    }
  }
}

PythonHttpServer::~PythonHttpServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (output_ >= 0) ::close(output_);
}

std::string PythonHttpServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace vistel::test
