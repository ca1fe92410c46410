#include "support/ffmpeg_camera.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "support/http_test_server.h"

extern char** environ;

namespace vistel::test {

namespace {

constexpr auto kStartLimit = std::chrono::seconds(10);

// One ffmpeg process; ended and reaped on destruction.
class FfmpegProcess {
 public:
  FfmpegProcess(const FfmpegCamera::Options& options, std::uint16_t port) {
    std::vector<std::string> args = {"timeout",
                                     std::to_string(options.lifetime.count()),
                                     "ffmpeg",
                                     "-hide_banner",
                                     "-loglevel",
                                     "error",
                                     "-nostdin",
                                     "-re",
                                     "-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc=size=" + std::to_string(options.width) + "x" +
                                         std::to_string(options.height) +
                                         ":rate=" + std::to_string(options.rate),
                                     "-f",
                                     "mpjpeg",
                                     "-content_type",
                                     "multipart/x-mixed-replace;boundary=" + options.boundary,
                                     "-listen",
                                     "1",
                                     "http://127.0.0.1:" + std::to_string(port) + "/cam.mjpg"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawnp(&pid_, "timeout", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  ~FfmpegProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }

  FfmpegProcess(const FfmpegProcess&) = delete;
  FfmpegProcess& operator=(const FfmpegProcess&) = delete;

  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// Connects to ffmpeg's port once it listens; -1 when it never does.
int connectWhenListening(std::uint16_t port, const std::atomic<bool>& stopping) {
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (std::chrono::steady_clock::now() < deadline && !stopping.load()) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

std::string requestHead(const HttpTestRequest& request) {
  std::string head = request.method + " " + request.target + " " + request.version + "\r\n";
  for (const auto& [name, value] : request.headers) head += name + ": " + value + "\r\n";
  return head + "\r\n";
}

bool sendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

struct FfmpegCamera::State {
  FfmpegCamera::Options options;
  std::atomic<int> connections{0};
  std::atomic<bool> stopping{false};
  std::unique_ptr<HttpTestServer> server;  // last: joined before the rest goes

  void serve(HttpTestConnection& client) {
    ++connections;
    const std::uint16_t port = unusedLoopbackPort();
    if (port == 0) return;
    FfmpegProcess ffmpeg(options, port);
    if (!ffmpeg.started()) return;
    const int fd = connectWhenListening(port, stopping);
    if (fd < 0) return;
    if (sendAll(fd, requestHead(client.request()))) {
      char buffer[65536];
      for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, 50);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) {
          // Nothing from ffmpeg: see whether the client is still there.
          if (!client.pause(std::chrono::milliseconds(0))) break;
          continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!client.send(std::string_view(buffer, static_cast<std::size_t>(n)))) break;
      }
    }
    ::close(fd);
  }
};

bool FfmpegCamera::available() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return false;
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::filesystem::path candidate = std::filesystem::path(folder) / "ffmpeg";
    if (::access(candidate.c_str(), X_OK) == 0) return true;
  }
  return false;
}

FfmpegCamera::FfmpegCamera(Options options) : state_(std::make_shared<State>()) {
  state_->options = std::move(options);
  State* state = state_.get();
  state_->server =
      std::make_unique<HttpTestServer>([state](HttpTestConnection& c) { state->serve(c); });
}

FfmpegCamera::~FfmpegCamera() {
  state_->stopping = true;
  state_->server->stop();
}

bool FfmpegCamera::ok() const { return state_->server->ok(); }

std::string FfmpegCamera::url() const { return state_->server->url("/cam.mjpg"); }

int FfmpegCamera::connections() const { return state_->connections.load(); }

}  // namespace vistel::test
