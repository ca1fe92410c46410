#include "camera_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <list>
#include <mutex>
#include <random>
#include <system_error>
#include <thread>

#include "live_camera.h"
#include "sim_http.h"
#include "vistel/platform/clock.h"

namespace vistel::sim {

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRequestHeadLimit = 10s;
// How long one request for a single picture keeps the pictures coming.
constexpr auto kSingleDemand = 2s;
// Longest wait for a picture to answer a request with.
constexpr auto kPictureWait = 10s;
// How often a stalled connection looks whether its client left.
constexpr auto kStallLook = 100ms;

constexpr std::array<std::string_view, 2> kCameraNames{"left", "right"};

struct NamedLayout {
  std::string_view name;
  StreamLayout layout;
};
constexpr NamedLayout kLayouts[] = {
    {"before", StreamLayout::DelimiterBefore}, {"after", StreamLayout::DelimiterAfter},
    {"no-boundary", StreamLayout::NoBoundary}, {"quoted", StreamLayout::QuotedBoundary},
    {"single", StreamLayout::Single},
};

struct NamedFault {
  std::string_view name;
  CameraFault fault;
};
constexpr NamedFault kFaults[] = {
    {"none", CameraFault::None},
    {"stall", CameraFault::Stall},
    {"stall-body", CameraFault::StallBody},
    {"close", CameraFault::CloseMidPart},
    {"basic", CameraFault::BasicAuth},
    {"digest", CameraFault::DigestAuth},
    {"404", CameraFault::NotFound},
    {"garbage", CameraFault::Garbage},
    {"wrong-type", CameraFault::WrongContentType},
};

// One picture as all clients of a camera get it.
struct Frame {
  std::uint32_t number = 0;
  std::uint32_t sentMs = 0;
  SteadyClock::time_point released;
  JpegBytes jpeg;
};

const char* reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 401:
      return "Unauthorized";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    default:
      return "Error";
  }
}

std::string responseHead(int status, std::string_view contentType,
                         std::optional<std::size_t> length, std::string_view extra = {}) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status) + "\r\n";
  head += "Server: vistel-sim\r\nContent-Type: " + std::string(contentType) + "\r\n";
  if (length) head += "Content-Length: " + std::to_string(*length) + "\r\n";
  head += "Cache-Control: no-cache\r\nConnection: close\r\n";
  head += extra;
  return head + "\r\n";
}

std::string contentTypeOf(StreamLayout layout) {
  const std::string multipart = "multipart/x-mixed-replace";
  switch (layout) {
    case StreamLayout::DelimiterBefore:
    case StreamLayout::DelimiterAfter:
      return multipart + ";boundary=" + std::string(kBoundary);
    case StreamLayout::QuotedBoundary:
      return multipart + "; boundary=\"" + std::string(kBoundary) + "\"";
    case StreamLayout::NoBoundary:
      return multipart;
    case StreamLayout::Single:
      break;
  }
  return "image/jpeg";
}

// The bytes around one picture of a stream.
struct PartFrame {
  std::string before;
  std::string after;
};

std::string partHeaders(std::optional<std::size_t> length) {
  std::string out = "--" + std::string(kBoundary) + "\r\nContent-Type: image/jpeg\r\n";
  if (length) out += "Content-Length: " + std::to_string(*length) + "\r\n";
  return out + "\r\n";
}

PartFrame partFrameOf(StreamLayout layout, std::size_t length) {
  switch (layout) {
    case StreamLayout::DelimiterBefore:
    case StreamLayout::QuotedBoundary:
      return {partHeaders(length), "\r\n"};
    case StreamLayout::NoBoundary:
      return {partHeaders(std::nullopt), "\r\n"};
    case StreamLayout::DelimiterAfter:
      return {"", "\r\n" + partHeaders(std::nullopt)};
    case StreamLayout::Single:
      break;
  }
  return {};
}

// Bytes that are no JPEG, as long as the picture they replace.
JpegBytes garbageLike(const Frame& frame) {
  JpegBytes out(std::max<std::size_t>(frame.jpeg.size(), 64));
  std::uint32_t state = frame.number * 2654435761u + 1;
  for (auto& byte : out) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  out[0] = 'G';  // never a JPEG's start marker
  return out;
}

}  // namespace

std::string_view layoutName(StreamLayout layout) {
  for (const auto& entry : kLayouts) {
    if (entry.layout == layout) return entry.name;
  }
  return "?";
}

std::optional<StreamLayout> layoutFromName(std::string_view name) {
  for (const auto& entry : kLayouts) {
    if (entry.name == name) return entry.layout;
  }
  return std::nullopt;
}

std::string_view faultName(CameraFault fault) {
  for (const auto& entry : kFaults) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

std::optional<CameraFault> faultFromName(std::string_view name) {
  for (const auto& entry : kFaults) {
    if (entry.name == name) return entry.fault;
  }
  return std::nullopt;
}

void PartLog::add(const PartSent& part) {
  if (part.camera >= parts_.size()) return;
  std::lock_guard guard(lock_);
  auto& parts = parts_[part.camera];
  parts.try_emplace(part.frameNumber, part);  // the first sending stays
  while (parts.size() > capacity_) parts.erase(parts.begin());
}

std::optional<PartSent> PartLog::find(std::size_t camera, std::uint32_t frameNumber) const {
  if (camera >= parts_.size()) return std::nullopt;
  std::lock_guard guard(lock_);
  const auto found = parts_[camera].find(frameNumber);
  if (found == parts_[camera].end()) return std::nullopt;
  return found->second;
}

// ---------------------------------------------------------------------------

struct CameraSimulator::Impl {
  struct Client {
    std::thread thread;
    int fd = -1;                    // guarded by Camera::clientsLock until closed
    std::atomic<bool> done{false};  // set by the client's thread as it ends
  };

  struct Camera {
    std::size_t index = 0;
    int listenFd = -1;
    std::uint16_t port = 0;
    std::unique_ptr<LiveCamera> drawer;  // used by the producer thread only
    std::thread producer;
    std::thread acceptor;

    std::atomic<CameraFault> fault{CameraFault::None};
    std::atomic<StreamLayout> layout{StreamLayout::DelimiterBefore};

    mutable std::mutex lock;
    std::condition_variable changed;      // a new frame, a fault switched, stopping
    std::shared_ptr<const Frame> latest;  // guarded by lock
    int watchers = 0;                     // guarded by lock: streams waiting for frames
    SteadyClock::time_point demandUntil;  // guarded by lock: single requests' demand
    std::uint64_t faultEpoch = 0;         // guarded by lock: counts setFault calls

    std::mutex clientsLock;
    std::list<Client> clients;  // guarded by clientsLock

    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> partsSent{0};
    std::atomic<std::uint64_t> unauthorized{0};
    std::atomic<std::uint64_t> framesMade{0};
    std::atomic<std::uint32_t> openConnections{0};
  };

  SimulatorOptions options;
  std::string nonce;  // the Digest challenge's, fixed for the simulator's life
  SteadyClock::time_point start;
  std::uint32_t startMs = 0;
  std::chrono::duration<double> interval{};
  std::array<int, 2> wake{-1, -1};  // readable for good once stopping
  std::atomic<bool> stopping{false};
  std::mutex stopLock;  // serialises stop()
  std::array<Camera, kCameras> cameras;

  ~Impl() {
    for (Camera& camera : cameras) {
      if (camera.listenFd >= 0) ::close(camera.listenFd);
    }
    for (int fd : wake) {
      if (fd >= 0) ::close(fd);
    }
  }

  // ---- Pictures ----

  bool wanted(const Camera& camera) const {
    return camera.watchers > 0 || SteadyClock::now() < camera.demandUntil;
  }

  void produce(Camera& camera) {
    std::vector<std::uint8_t> pixels;
    std::int64_t lastSlot = -1;
    const double intervalMs = interval.count() * 1000;
    for (;;) {
      {
        std::unique_lock lock(camera.lock);
        // Demand only comes with a notification (a stream or a request).
        camera.changed.wait(lock, [&] { return stopping.load() || wanted(camera); });
        if (stopping.load()) return;
      }
      // The next slot due from now on: a producer that fell behind skips.
      const double elapsed = std::chrono::duration<double>(SteadyClock::now() - start).count();
      const auto slot = std::max<std::int64_t>(
          lastSlot + 1, static_cast<std::int64_t>(std::ceil(elapsed / interval.count())));
      const auto due = start + std::chrono::duration_cast<SteadyClock::duration>(interval * slot);
      auto frame = std::make_shared<Frame>();
      frame->number = static_cast<std::uint32_t>(slot);
      frame->sentMs = startMs + static_cast<std::uint32_t>(std::llround(slot * intervalMs));
      camera.drawer->draw(static_cast<double>(slot) * interval.count(), frame->number, pixels);
      if (!encodeJpegInMemory(
              pixels.data(), camera.drawer->width(), camera.drawer->height(), options.quality,
              frameComment(kCameraNames[camera.index], frame->number, frame->sentMs),
              frame->jpeg)) {
        continue;  // cannot happen with sane options; try the next slot
      }
      lastSlot = slot;
      std::unique_lock lock(camera.lock);
      camera.changed.wait_until(lock, due, [this] { return stopping.load(); });
      if (stopping.load()) return;
      frame->released = SteadyClock::now();
      camera.latest = std::move(frame);
      camera.framesMade.fetch_add(1);
      camera.changed.notify_all();
    }
  }

  // ---- Connections ----

  void acceptLoop(Camera& camera) {
    for (;;) {
      std::array<pollfd, 2> fds{};
      fds[0] = {wake[0], POLLIN, 0};
      fds[1] = {camera.listenFd, POLLIN, 0};
      const int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || fds[0].revents != 0 || stopping.load()) return;
      const int fd = ::accept4(camera.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      camera.connections.fetch_add(1);
      std::lock_guard lock(camera.clientsLock);
      // Threads of clients that left are joined here, so a long run with
      // many reconnections keeps only the live ones.
      for (auto it = camera.clients.begin(); it != camera.clients.end();) {
        if (it->done.load()) {
          it->thread.join();
          it = camera.clients.erase(it);
        } else {
          ++it;
        }
      }
      if (stopping.load()) {
        ::close(fd);
        return;
      }
      Client& client = camera.clients.emplace_back();
      client.fd = fd;
      camera.openConnections.fetch_add(1);
      try {
        client.thread = std::thread([this, &camera, &client] {
          serve(camera, client.fd);
          {
            std::lock_guard lock(camera.clientsLock);
            ::close(client.fd);
            client.fd = -1;
          }
          camera.openConnections.fetch_sub(1);
          client.done.store(true);
        });
      } catch (const std::system_error&) {
        // Out of threads: this client is turned away, the others go on.
        ::close(fd);
        camera.openConnections.fetch_sub(1);
        camera.clients.pop_back();
      }
    }
  }

  // Sends all pieces in order. False when the client left or the simulator stops.
  bool sendAll(int fd, std::initializer_list<std::string_view> pieces) {
    std::array<iovec, 4> vectors{};
    std::size_t count = 0;
    for (std::string_view piece : pieces) {
      if (piece.empty()) continue;
      vectors[count++] = {const_cast<char*>(piece.data()), piece.size()};
    }
    std::size_t first = 0;
    while (first < count) {
      if (stopping.load()) return false;
      msghdr message{};
      message.msg_iov = vectors.data() + first;
      message.msg_iovlen = count - first;
      const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      auto left = static_cast<std::size_t>(sent);
      while (first < count && left >= vectors[first].iov_len) {
        left -= vectors[first].iov_len;
        ++first;
      }
      if (first < count) {
        vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
        vectors[first].iov_len -= left;
      }
    }
    return true;
  }

  // True when the client has closed its side. Peeks only: a stalled
  // connection's request must still be there when the stall ends.
  bool clientLeft(int fd) {
    pollfd p{fd, static_cast<short>(POLLIN | POLLRDHUP), 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
    char scratch[1];
    return ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT | MSG_PEEK) == 0;
  }

  // Waits while the camera's fault is `fault`; false when the simulator stops
  // or the client leaves meanwhile.
  bool waitWhileFault(Camera& camera, int fd, CameraFault fault) {
    std::unique_lock lock(camera.lock);
    while (camera.fault.load() == fault) {
      if (stopping.load()) return false;
      lock.unlock();
      if (clientLeft(fd)) return false;
      lock.lock();
      camera.changed.wait_for(lock, kStallLook);
    }
    return !stopping.load();
  }

  void notePart(Camera& camera, const Frame& frame) {
    camera.partsSent.fetch_add(1);
    if (!options.onPartSent) return;
    PartSent part;
    part.camera = camera.index;
    part.frameNumber = frame.number;
    part.sentMs = frame.sentMs;
    part.lastByte = SteadyClock::now();
    part.lastByteMs = nowMs();
    options.onPartSent(part);
  }

  bool authorized(const SimRequest& request, CameraFault fault) const {
    if (fault == CameraFault::BasicAuth) {
      return hasBasicCredentials(request, options.user, options.password);
    }
    if (fault == CameraFault::DigestAuth) {
      return hasDigestCredentials(request, kRealm, nonce, options.user, options.password);
    }
    return true;
  }

  void serve(Camera& camera, int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!waitWhileFault(camera, fd, CameraFault::Stall)) return;
    const auto request = readRequestHead(fd, wake[0], kRequestHeadLimit);
    if (!request) return;
    camera.requests.fetch_add(1);
    const CameraFault fault = camera.fault.load();
    const std::string_view path = request->path();
    if (request->method != "GET") {
      (void)sendAll(fd, {responseHead(405, "text/plain", 0, "Allow: GET\r\n")});
      return;
    }
    if (fault == CameraFault::NotFound ||
        (path != "/" && path != "/video.mjpg" && path != "/snapshot.jpg")) {
      constexpr std::string_view kBody = "<html><body>404 Not Found</body></html>\n";
      (void)sendAll(fd, {responseHead(404, "text/html", kBody.size()), kBody});
      return;
    }
    if (!authorized(*request, fault)) {
      camera.unauthorized.fetch_add(1);
      const std::string challenge = fault == CameraFault::BasicAuth
                                        ? "Basic realm=\"" + std::string(kRealm) + "\""
                                        : digestChallenge(kRealm, nonce);
      constexpr std::string_view kBody = "<html><body>401 Unauthorized</body></html>\n";
      (void)sendAll(fd, {responseHead(401, "text/html", kBody.size(),
                                      "WWW-Authenticate: " + challenge + "\r\n"),
                         kBody});
      return;
    }
    if (fault == CameraFault::WrongContentType) {
      constexpr std::string_view kBody =
          "<html><head><title>Camera</title></head><body>Live view needs a "
          "plug-in.</body></html>\n";
      (void)sendAll(fd, {responseHead(200, "text/html", kBody.size()), kBody});
      return;
    }
    const StreamLayout layout =
        path == "/snapshot.jpg" ? StreamLayout::Single : camera.layout.load();
    if (layout == StreamLayout::Single) {
      serveSingle(camera, fd, fault);
    } else {
      serveStream(camera, fd, layout, fault);
    }
  }

  // The longest wait for the next picture: a few frame intervals, at least
  // kPictureWait.
  SteadyClock::duration pictureWait() const {
    return std::max<SteadyClock::duration>(
        kPictureWait, std::chrono::duration_cast<SteadyClock::duration>(interval * 3));
  }

  // The next picture to send: with `acceptRecent` the latest one when it was
  // released within the last frame interval, otherwise the first one released
  // after the call whose number is not `after`. Null when the simulator stops,
  // the camera's fault is switched (when `epoch` is given: the fault epoch the
  // caller acted on) or no picture comes within pictureWait().
  std::shared_ptr<const Frame> nextFrame(Camera& camera, std::optional<std::uint32_t> after,
                                         bool acceptRecent, std::optional<std::uint64_t> epoch) {
    std::unique_lock lock(camera.lock);
    const auto now = SteadyClock::now();
    if (acceptRecent && camera.latest && now - camera.latest->released < interval) {
      return camera.latest;
    }
    // Frame numbers only grow, so a number tells frames apart.
    const std::optional<std::uint32_t> current =
        camera.latest ? std::optional(camera.latest->number) : std::nullopt;
    const auto fresh = [&] {
      return camera.latest && camera.latest->number != current &&
             (!after || camera.latest->number != *after);
    };
    const auto switched = [&] { return epoch && camera.faultEpoch != *epoch; };
    camera.changed.wait_until(lock, now + pictureWait(),
                              [&] { return stopping.load() || fresh() || switched(); });
    if (stopping.load() || switched() || !fresh()) return nullptr;
    return camera.latest;
  }

  void serveSingle(Camera& camera, int fd, CameraFault fault) {
    {
      std::lock_guard lock(camera.lock);
      camera.demandUntil = SteadyClock::now() + kSingleDemand;
    }
    camera.changed.notify_all();
    const auto frame = nextFrame(camera, std::nullopt, true, std::nullopt);
    if (!frame) return;
    if (fault == CameraFault::Garbage) {
      const JpegBytes bytes = garbageLike(*frame);
      const std::string_view body(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      (void)sendAll(fd, {responseHead(200, "image/jpeg", body.size()), body});
      return;
    }
    const std::string_view jpeg(reinterpret_cast<const char*>(frame->jpeg.data()),
                                frame->jpeg.size());
    const std::string head = responseHead(200, "image/jpeg", jpeg.size());
    if (fault == CameraFault::StallBody) {
      if (!sendAll(fd, {head})) return;
      if (!waitWhileFault(camera, fd, CameraFault::StallBody)) return;
    } else if (fault == CameraFault::CloseMidPart) {
      (void)sendAll(fd, {head, jpeg.substr(0, jpeg.size() / 2)});
      return;
    } else if (!sendAll(fd, {head})) {
      return;
    }
    if (sendAll(fd, {jpeg})) notePart(camera, *frame);
  }

  // `admitted`: the fault under which the request was let in (credentials
  // are good for that challenge only).
  void serveStream(Camera& camera, int fd, StreamLayout layout, CameraFault admitted) {
    std::string head = responseHead(200, contentTypeOf(layout), std::nullopt);
    // Cameras that send the delimiter after each picture open with one.
    if (layout == StreamLayout::DelimiterAfter) head += partHeaders(std::nullopt);
    if (!sendAll(fd, {head})) return;
    {
      std::lock_guard lock(camera.lock);
      ++camera.watchers;
    }
    camera.changed.notify_all();
    streamPictures(camera, fd, layout, admitted);
    {
      std::lock_guard lock(camera.lock);
      --camera.watchers;
    }
  }

  void streamPictures(Camera& camera, int fd, StreamLayout layout, CameraFault admitted) {
    std::optional<std::uint32_t> lastSent;
    for (;;) {
      CameraFault fault;
      std::uint64_t epoch;
      {
        std::lock_guard lock(camera.lock);
        fault = camera.fault.load();
        epoch = camera.faultEpoch;
      }
      switch (fault) {
        case CameraFault::Stall:
        case CameraFault::StallBody:
          if (!waitWhileFault(camera, fd, fault)) return;
          continue;
        case CameraFault::NotFound:
        case CameraFault::WrongContentType:
          return;  // the client's next request meets the camera's new answer
        case CameraFault::BasicAuth:
        case CameraFault::DigestAuth:
          if (fault != admitted) return;  // asked for other credentials now
          break;
        default:
          break;
      }
      const auto frame = nextFrame(camera, lastSent, !lastSent.has_value(), epoch);
      if (!frame) {
        if (stopping.load()) return;
        std::lock_guard lock(camera.lock);
        if (camera.faultEpoch != epoch) continue;
        return;  // no picture for a long while: let the client reconnect
      }
      JpegBytes garbage;
      if (fault == CameraFault::Garbage) garbage = garbageLike(*frame);
      const JpegBytes& body = fault == CameraFault::Garbage ? garbage : frame->jpeg;
      const PartFrame part = partFrameOf(layout, body.size());
      const std::string_view bytes(reinterpret_cast<const char*>(body.data()), body.size());
      if (fault == CameraFault::CloseMidPart) {
        (void)sendAll(fd, {part.before, bytes.substr(0, bytes.size() / 2)});
        return;
      }
      if (!sendAll(fd, {part.before, bytes, part.after})) return;
      lastSent = frame->number;
      if (fault != CameraFault::Garbage) notePart(camera, *frame);
    }
  }
};

// ---------------------------------------------------------------------------

CameraSimulator::CameraSimulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CameraSimulator::~CameraSimulator() { stop(); }

std::unique_ptr<CameraSimulator> CameraSimulator::start(SimulatorOptions options,
                                                        std::string& error) {
  if (!(options.fps >= 0.1 && options.fps <= 60)) {
    error = "the frame rate must be from 0.1 to 60 pictures per second";
    return nullptr;
  }
  if (options.width < kMinPictureWidth || options.width > kMaxPictureWidth ||
      options.height < kMinPictureHeight || options.height > kMaxPictureHeight) {
    error = "the picture size must be from " + std::to_string(kMinPictureWidth) + "x" +
            std::to_string(kMinPictureHeight) + " to " + std::to_string(kMaxPictureWidth) + "x" +
            std::to_string(kMaxPictureHeight);
    return nullptr;
  }
  if (options.quality < 1 || options.quality > 100) {
    error = "the JPEG quality must be from 1 to 100";
    return nullptr;
  }
  in_addr address{};
  if (::inet_pton(AF_INET, options.address.c_str(), &address) != 1) {
    error = "'" + options.address + "' is no IPv4 address";
    return nullptr;
  }
  if (options.firstPort != 0 && options.firstPort > 65535 - (kCameras - 1)) {
    error = "no room for a port per camera above " + std::to_string(options.firstPort);
    return nullptr;
  }

  auto impl = std::make_unique<Impl>();
  Impl& s = *impl;
  s.options = std::move(options);
  s.interval = std::chrono::duration<double>(1.0 / s.options.fps);
  {
    std::random_device random;
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
    s.nonce = text;
  }
  if (::pipe2(s.wake.data(), O_CLOEXEC) != 0) {
    error = std::string("cannot make a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  for (std::size_t i = 0; i < kCameras; ++i) {
    Impl::Camera& camera = s.cameras[i];
    camera.index = i;
    camera.fault.store(s.options.faults[i]);
    camera.layout.store(s.options.layouts[i]);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr = address;
    where.sin_port =
        htons(s.options.firstPort == 0 ? 0 : static_cast<std::uint16_t>(s.options.firstPort + i));
    socklen_t length = sizeof where;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
      error = "cannot listen on " + s.options.address + ":" +
              std::to_string(ntohs(where.sin_port)) + ": " + std::strerror(errno);
      if (fd >= 0) ::close(fd);
      return nullptr;
    }
    camera.listenFd = fd;
    camera.port = ntohs(where.sin_port);
  }
  // Both streets at once: the first render of a size takes a while.
  std::array<std::shared_ptr<const StreetBackdrop>, kCameras> backdrops;
  try {
    std::thread other([&] { backdrops[1] = streetBackdrop(1, s.options.width, s.options.height); });
    backdrops[0] = streetBackdrop(0, s.options.width, s.options.height);
    other.join();
  } catch (const std::system_error&) {  // no second thread: one after the other
    backdrops[0] = streetBackdrop(0, s.options.width, s.options.height);
    backdrops[1] = streetBackdrop(1, s.options.width, s.options.height);
  }
  for (std::size_t i = 0; i < kCameras; ++i) {
    s.cameras[i].drawer = std::make_unique<LiveCamera>(backdrops[i]);
  }
  s.start = SteadyClock::now();
  s.startMs = nowMs();
  auto simulator = std::unique_ptr<CameraSimulator>(new CameraSimulator(std::move(impl)));
  try {
    for (Impl::Camera& camera : s.cameras) {
      camera.producer = std::thread([&s, &camera] { s.produce(camera); });
      camera.acceptor = std::thread([&s, &camera] { s.acceptLoop(camera); });
    }
  } catch (const std::system_error& e) {
    simulator->stop();  // joins the threads that did start
    error = std::string("cannot start threads: ") + e.what();
    return nullptr;
  }
  return simulator;
}

void CameraSimulator::stop() {
  Impl& s = *impl_;
  std::lock_guard stopGuard(s.stopLock);
  if (s.stopping.exchange(true)) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(s.wake[1], &byte, 1);
  for (Impl::Camera& camera : s.cameras) {
    { std::lock_guard lock(camera.lock); }
    camera.changed.notify_all();
  }
  for (Impl::Camera& camera : s.cameras) {
    if (camera.acceptor.joinable()) camera.acceptor.join();
    if (camera.producer.joinable()) camera.producer.join();
    {
      // Unblocks clients stuck in a send to a client that does not read.
      std::lock_guard lock(camera.clientsLock);
      for (Impl::Client& client : camera.clients) {
        if (client.fd >= 0) ::shutdown(client.fd, SHUT_RDWR);
      }
    }
    for (Impl::Client& client : camera.clients) {
      if (client.thread.joinable()) client.thread.join();
    }
    camera.clients.clear();
  }
}

std::string_view CameraSimulator::cameraName(std::size_t camera) {
  return camera < kCameraNames.size() ? kCameraNames[camera] : std::string_view();
}

std::uint16_t CameraSimulator::port(std::size_t camera) const {
  return camera < kCameras ? impl_->cameras[camera].port : 0;
}

std::string CameraSimulator::url(std::size_t camera, std::string_view path) const {
  return "http://" + impl_->options.address + ":" + std::to_string(port(camera)) +
         std::string(path);
}

std::string CameraSimulator::urlWithCredentials(std::size_t camera, std::string_view user,
                                                std::string_view password,
                                                std::string_view path) const {
  return "http://" + std::string(user) + ":" + std::string(password) + "@" +
         impl_->options.address + ":" + std::to_string(port(camera)) + std::string(path);
}

void CameraSimulator::setFault(std::size_t camera, CameraFault fault) {
  if (camera >= kCameras) return;
  Impl::Camera& c = impl_->cameras[camera];
  {
    std::lock_guard lock(c.lock);
    c.fault.store(fault);
    ++c.faultEpoch;
  }
  c.changed.notify_all();
}

CameraFault CameraSimulator::fault(std::size_t camera) const {
  return camera < kCameras ? impl_->cameras[camera].fault.load() : CameraFault::None;
}

void CameraSimulator::setLayout(std::size_t camera, StreamLayout layout) {
  if (camera < kCameras) impl_->cameras[camera].layout.store(layout);
}

StreamLayout CameraSimulator::layout(std::size_t camera) const {
  return camera < kCameras ? impl_->cameras[camera].layout.load() : StreamLayout::DelimiterBefore;
}

CameraCounters CameraSimulator::counters(std::size_t camera) const {
  CameraCounters out;
  if (camera >= kCameras) return out;
  const Impl::Camera& c = impl_->cameras[camera];
  out.connections = c.connections.load();
  out.requests = c.requests.load();
  out.partsSent = c.partsSent.load();
  out.unauthorized = c.unauthorized.load();
  out.framesMade = c.framesMade.load();
  out.openConnections = c.openConnections.load();
  return out;
}

}  // namespace vistel::sim
