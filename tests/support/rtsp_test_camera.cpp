#include "support/rtsp_test_camera.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

extern char** environ;

namespace vistel::test {

namespace {

// Debian's interpreter: the GObject bindings are installed for it, not for
// another python3 that may come first on the PATH.
constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kCommandLimit = std::chrono::seconds(5);

std::string scriptPath() {
  return std::string(VISTEL_SOURCE_DIR) + "/tests/support/rtsp_camera.py";
}

}  // namespace

bool RtspTestCamera::available() {
  static const bool result = [] {
    const std::string command = std::string(kPython) +
                                " -c \"import gi; gi.require_version('GstRtspServer', '1.0'); "
                                "from gi.repository import GstRtspServer\" >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }();
  return result;
}

std::string RtspTestCamera::recording(std::string_view codec, int width, int height, int fps,
                                      int keyInterval, int frames) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vistel-rtsp-camera";
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const std::filesystem::path path =
      dir / (std::string(codec) + "-" + size + "-" + std::to_string(fps) + "-" +
             std::to_string(keyInterval) + "-" + std::to_string(frames) + ".coded");
  if (std::filesystem::exists(path, error)) return path.string();
  const std::string command = "timeout 1800 " + std::string(kPython) + " '" + scriptPath() +
                              "' --record '" + path.string() + "' --codec " + std::string(codec) +
                              " --size " + size + " --fps " + std::to_string(fps) + " --keyint " +
                              std::to_string(keyInterval) + " --frames " + std::to_string(frames) +
                              " >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0 || !std::filesystem::exists(path, error)) return {};
  return path.string();
}

RtspTestCamera::RtspTestCamera(Options options) : options_(std::move(options)) {
  int toChild[2], fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0) return;
  if (::pipe2(fromChild, O_CLOEXEC) != 0) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return;
  }
  std::vector<std::string> args = {
      "timeout",
      std::to_string(options_.lifetime.count()),
      kPython,
      "-u",
      scriptPath(),
      "--port",
      std::to_string(options_.port),
      "--size",
      std::to_string(options_.width) + "x" + std::to_string(options_.height),
      "--fps",
      std::to_string(options_.fps),
      "--keyint",
      std::to_string(options_.keyInterval)};
  if (!options_.credentials.empty()) {
    args.insert(args.end(), {"--credentials", options_.credentials, "--auth",
                             options_.basicAuth ? "basic" : "digest"});
  }
  for (const auto& [mount, file] : options_.recorded) {
    args.insert(args.end(), {"--recorded", mount + "=" + file});
  }
  if (options_.logSent) args.emplace_back("--log-sent");
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int rc = ::posix_spawnp(&pid_, "timeout", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  input_ = toChild[1];
  output_ = fromChild[0];
  if (rc != 0) {
    pid_ = -1;
    return;
  }
  reader_ = std::thread([this] { readOutput(); });
  std::unique_lock lock(lock_);
  changed_.wait_for(lock, kStartLimit, [this] { return portSeen_ || ended_; });
}

RtspTestCamera::~RtspTestCamera() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (input_ >= 0) ::close(input_);
  // The reader sees the end of the output once the server is gone.
  if (reader_.joinable()) reader_.join();
  if (output_ >= 0) ::close(output_);
}

void RtspTestCamera::readOutput() {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = text.find('\n')) != std::string::npos) {
      std::istringstream line(text.substr(0, end));
      text.erase(0, end + 1);
      std::string word;
      line >> word;
      std::lock_guard guard(lock_);
      if (word == "port") {
        unsigned value = 0;
        if (line >> value && value > 0 && value < 65536) port_ = static_cast<std::uint16_t>(value);
        portSeen_ = true;
      } else if (word == "ok") {
        ++acknowledged_;
      } else if (word == "sent") {
        std::string mount;
        std::uint32_t frame = 0, ms = 0;
        // A recording's numbers come round again: the latest sending counts.
        if (line >> mount >> frame >> ms) sent_.insert_or_assign({mount, frame}, ms);
      }
      changed_.notify_all();
    }
  }
  std::lock_guard guard(lock_);
  ended_ = true;
  changed_.notify_all();
}

std::string RtspTestCamera::url(std::string_view mount, std::string_view userInfo) const {
  std::string out = "rtsp://";
  if (!userInfo.empty()) out.append(userInfo).append("@");
  out += "127.0.0.1:" + std::to_string(port_);
  if (mount.empty() || mount.front() != '/') out += '/';
  out.append(mount);
  return out;
}

bool RtspTestCamera::command(std::string_view line) {
  if (input_ < 0) return false;
  int before;
  {
    std::lock_guard guard(lock_);
    before = acknowledged_;
  }
  std::string text(line);
  text += '\n';
  if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
  std::unique_lock lock(lock_);
  return changed_.wait_for(lock, kCommandLimit, [&] { return acknowledged_ > before || ended_; }) &&
         acknowledged_ > before;
}

std::optional<std::uint32_t> RtspTestCamera::sent(std::string_view mount,
                                                  std::uint32_t frame) const {
  std::lock_guard guard(lock_);
  const auto it = sent_.find({std::string(mount), frame});
  if (it == sent_.end()) return std::nullopt;
  return it->second;
}

}  // namespace vistel::test
