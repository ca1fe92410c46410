#pragma once

// Python's own file server ("python3 -m http.server") on 127.0.0.1, serving a
// folder: an HTTP peer that shares no code with the layer under test.
// Started on a free port by the constructor; ended (and reaped) by the
// destructor; in any case it exits by itself after `lifetime`.
//
// Thread-safety: not thread-safe; one owner thread.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vistel::test {

class PythonHttpServer {
 public:
  explicit PythonHttpServer(const std::filesystem::path& root,
                            std::chrono::seconds lifetime = std::chrono::seconds(120));
  ~PythonHttpServer();
  PythonHttpServer(const PythonHttpServer&) = delete;
  PythonHttpServer& operator=(const PythonHttpServer&) = delete;

  // True once the server announced its port.
  bool ok() const { return port_ != 0; }
  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path) const;

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::uint16_t port_ = 0;
};

}  // namespace vistel::test
