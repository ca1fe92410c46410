#include "support/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "sim_http.h"

namespace vistel::test {

namespace {

constexpr std::size_t kMaxRequestHead = 64 * 1024;
constexpr auto kRequestHeadLimit = std::chrono::seconds(10);

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// The request line and fields as the camera simulator reads them, plus the
// protocol version a test may echo.
std::optional<HttpTestRequest> parseRequestHead(std::string_view head) {
  auto parsed = sim::parseRequestHead(head);
  if (!parsed) return std::nullopt;
  HttpTestRequest request;
  request.method = std::move(parsed->method);
  request.target = std::move(parsed->target);
  request.headers = std::move(parsed->headers);
  const std::string_view first = head.substr(0, head.find("\r\n"));
  request.version = std::string(first.substr(first.rfind(' ') + 1));
  return request;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

}  // namespace

std::optional<std::string> HttpTestRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (equalsNoCase(key, name)) return value;
  return std::nullopt;
}

struct HttpTestServer::State {
  Handler handler;
  int listenFd = -1;
  std::array<int, 2> wake{-1, -1};  // readable for good once the server stops
  std::uint16_t port = 0;
  std::atomic<bool> stopping{false};
  std::thread acceptThread;  // started by the constructor, joined by stop()

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<HttpTestRequest> requests;       // guarded by mutex
  std::vector<int> liveSockets;                // guarded by mutex
  std::vector<std::thread> connectionThreads;  // guarded by mutex
  std::size_t finished = 0;                    // guarded by mutex

  void acceptLoop(const std::shared_ptr<State>& self);
  void serve(int fd);
  std::optional<HttpTestRequest> readHead(int fd);
};

namespace {

class Connection final : public HttpTestConnection {
 public:
  Connection(HttpTestServer::State& state, int fd, HttpTestRequest request)
      : state_(state), fd_(fd), request_(std::move(request)) {}

  const HttpTestRequest& request() const override { return request_; }

  bool send(std::string_view bytes) override {
    while (!bytes.empty()) {
      if (state_.stopping.load()) return false;
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  bool sendInPieces(std::string_view bytes, std::size_t pieceSize,
                    std::chrono::milliseconds gap) override {
    pieceSize = std::max<std::size_t>(pieceSize, 1);
    while (!bytes.empty()) {
      const std::size_t n = std::min(pieceSize, bytes.size());
      if (!send(bytes.substr(0, n))) return false;
      bytes.remove_prefix(n);
      if (!bytes.empty() && !pause(gap)) return false;
    }
    return true;
  }

  bool pause(std::chrono::milliseconds duration) override {
    return waitFor(duration) == Wait::Elapsed;
  }

  bool stallUntilClientCloses(std::chrono::milliseconds limit) override {
    return waitFor(limit) == Wait::ClientClosed;
  }

 private:
  enum class Wait { Elapsed, ClientClosed, Stopping };

  Wait waitFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    bool watchClient = true;
    for (;;) {
      if (state_.stopping.load()) return Wait::Stopping;
      std::array<pollfd, 2> fds{};
      fds[0] = {state_.wake[0], POLLIN, 0};
      fds[1] = {fd_, static_cast<short>(POLLIN | POLLRDHUP), 0};
      const int ready = ::poll(fds.data(), watchClient ? 2 : 1, remainingMs(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready == 0) return Wait::Elapsed;
      if (ready < 0 || fds[0].revents) return Wait::Stopping;
      if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) return Wait::ClientClosed;
      if (fds[1].revents & POLLIN) {
        char scratch[4096];
        const ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
        if (n == 0) return Wait::ClientClosed;
        if (n < 0 && errno != EINTR) watchClient = false;  // keep the pause; ignore the socket
      }
    }
  }

  HttpTestServer::State& state_;
  int fd_;
  HttpTestRequest request_;
};

}  // namespace

std::optional<HttpTestRequest> HttpTestServer::State::readHead(int fd) {
  std::string head;
  const auto deadline = std::chrono::steady_clock::now() + kRequestHeadLimit;
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxRequestHead || stopping.load()) return std::nullopt;
    std::array<pollfd, 2> fds{};
    fds[0] = {wake[0], POLLIN, 0};
    fds[1] = {fd, POLLIN, 0};
    const int ready = ::poll(fds.data(), 2, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[0].revents) return std::nullopt;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return parseRequestHead(head);
}

void HttpTestServer::State::serve(int fd) {
  if (auto request = readHead(fd)) {
    request->received = std::chrono::steady_clock::now();
    {
      std::lock_guard lock(mutex);
      requests.push_back(*request);
    }
    changed.notify_all();
    Connection connection(*this, fd, std::move(*request));
    if (handler) handler(connection);
  }
  {
    std::lock_guard lock(mutex);
    liveSockets.erase(std::remove(liveSockets.begin(), liveSockets.end(), fd), liveSockets.end());
    ::close(fd);
    ++finished;
  }
  changed.notify_all();
}

void HttpTestServer::State::acceptLoop(const std::shared_ptr<State>& self) {
  for (;;) {
    std::array<pollfd, 2> fds{};
    fds[0] = {wake[0], POLLIN, 0};
    fds[1] = {listenFd, POLLIN, 0};
    const int ready = ::poll(fds.data(), 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[0].revents || stopping.load()) return;
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex);
    if (stopping.load()) {
      ::close(fd);
      return;
    }
    liveSockets.push_back(fd);
    connectionThreads.emplace_back([self, fd] { self->serve(fd); });
  }
}

HttpTestServer::HttpTestServer(Handler handler) : state_(std::make_shared<State>()) {
  state_->handler = std::move(handler);
  if (::pipe2(state_->wake.data(), O_CLOEXEC) != 0) return;
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return;
  }
  state_->listenFd = fd;
  state_->port = ntohs(address.sin_port);
  state_->acceptThread = std::thread([state = state_] { state->acceptLoop(state); });
}

HttpTestServer::~HttpTestServer() { stop(); }

bool HttpTestServer::ok() const { return state_->listenFd >= 0; }
std::uint16_t HttpTestServer::port() const { return state_->port; }

std::string HttpTestServer::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(state_->port) + std::string(path);
}

std::string HttpTestServer::urlWithCredentials(std::string_view user, std::string_view password,
                                               std::string_view path) const {
  return "http://" + std::string(user) + ":" + std::string(password) +
         "@127.0.0.1:" + std::to_string(state_->port) + std::string(path);
}

std::vector<HttpTestRequest> HttpTestServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds limit) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

std::size_t HttpTestServer::finishedConnections() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

void HttpTestServer::stop() {
  State& state = *state_;
  if (state.stopping.exchange(true)) return;
  if (state.wake[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(state.wake[1], &byte, 1);
  }
  {
    // Unblocks handlers stuck in send() to a client that does not read.
    std::lock_guard lock(state.mutex);
    for (int fd : state.liveSockets) ::shutdown(fd, SHUT_RDWR);
  }
  if (state.acceptThread.joinable()) state.acceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(state.mutex);
    threads.swap(state.connectionThreads);
  }
  for (auto& thread : threads) thread.join();
  if (state.listenFd >= 0) ::close(state.listenFd);
  state.listenFd = -1;
  for (int& fd : state.wake) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

std::string httpHead(int status, const HttpTestHeaders& headers) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) out += name + ": " + value + "\r\n";
  out += "Connection: close\r\n\r\n";
  return out;
}

std::string httpResponse(int status, const HttpTestHeaders& headers, std::string_view body,
                         bool withLength) {
  HttpTestHeaders all = headers;
  if (withLength) all.emplace_back("Content-Length", std::to_string(body.size()));
  return httpHead(status, all) + std::string(body);
}

std::string httpChunk(std::string_view data) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return std::string(size) + std::string(data) + "\r\n";
}

HttpTestServer::Handler fixedResponse(std::string bytes) {
  return [bytes = std::move(bytes)](HttpTestConnection& connection) { connection.send(bytes); };
}

std::uint16_t unusedLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  if (fd >= 0) ::close(fd);
  return port;
}

FullBacklog::FullBacklog() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 0) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
  for (int i = 0; i < 4; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers_.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

FullBacklog::~FullBacklog() {
  for (int fd : fillers_) ::close(fd);
  if (listener_ >= 0) ::close(listener_);
}

std::string FullBacklog::url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string patternBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x & 0xFF);
  }
  return out;
}

}  // namespace vistel::test
