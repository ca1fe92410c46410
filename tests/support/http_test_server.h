#pragma once

// A scripted HTTP/1.1 server on 127.0.0.1 for tests of everything that talks
// HTTP (the platform layer, image loaders, the camera stream reader).
//
// The server listens on a free port and serves each connection on a thread of
// its own: it reads one request head, records it, and calls the test's handler,
// which writes the response byte by byte as it likes (send, pause, stall,
// close). The connection is closed when the handler returns. Destruction (or
// stop()) wakes every pause, unblocks every send and joins all threads, so a
// test never hangs on its server.
//
// Thread-safety: all members of HttpTestServer may be called from any thread.
// An HttpTestConnection belongs to the handler call it was given to.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistel::test {

// One request head as the server received it.
struct HttpTestRequest {
  std::string method;
  std::string target;  // as sent, for example "/cam/video.cgi?x=1"
  std::string version;
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed
  std::chrono::steady_clock::time_point received;            // when the head was complete

  // Value of the first field `name` (any letter case); nothing when absent.
  std::optional<std::string> header(std::string_view name) const;
};

class HttpTestConnection {
 public:
  virtual ~HttpTestConnection() = default;
  virtual const HttpTestRequest& request() const = 0;
  // Sends all of `bytes`. False when the client went away or the server stops.
  virtual bool send(std::string_view bytes) = 0;
  // Sends `bytes` in pieces of `pieceSize` with `gap` between them.
  virtual bool sendInPieces(std::string_view bytes, std::size_t pieceSize,
                            std::chrono::milliseconds gap) = 0;
  // Waits `duration`. False (early) when the client closed the connection or
  // the server stops.
  virtual bool pause(std::chrono::milliseconds duration) = 0;
  // Sends nothing until the client closes the connection, the server stops or
  // `limit` passes. True when the client closed it.
  virtual bool stallUntilClientCloses(
      std::chrono::milliseconds limit = std::chrono::seconds(30)) = 0;
};

class HttpTestServer {
 public:
  using Handler = std::function<void(HttpTestConnection&)>;

  // Starts listening; ok() tells whether that worked.
  explicit HttpTestServer(Handler handler);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  bool ok() const;
  std::uint16_t port() const;
  // "http://127.0.0.1:<port>" followed by `path` (which should start with '/').
  std::string url(std::string_view path = "/") const;
  // Same with "user:password@" before the host.
  std::string urlWithCredentials(std::string_view user, std::string_view password,
                                 std::string_view path = "/") const;

  // Every request head received so far, in arrival order.
  std::vector<HttpTestRequest> requests() const;
  // Waits until at least `count` requests arrived; false when `limit` passed.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  // Connections whose handler has returned.
  std::size_t finishedConnections() const;

  // Stops accepting, wakes and closes every connection, joins all threads.
  void stop();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// ---- Building responses -------------------------------------------------

using HttpTestHeaders = std::vector<std::pair<std::string, std::string>>;

// A complete response: status line, the given fields, Content-Length (unless
// `withLength` is false) and "Connection: close", then the body.
std::string httpResponse(int status, const HttpTestHeaders& headers, std::string_view body,
                         bool withLength = true);
// Only the status line and fields (with "Connection: close"), ending in the blank line.
std::string httpHead(int status, const HttpTestHeaders& headers);
// One chunk of a chunked body; an empty `data` gives the last chunk "0\r\n\r\n".
std::string httpChunk(std::string_view data);

// A handler that answers every request with the same bytes.
HttpTestServer::Handler fixedResponse(std::string bytes);

// ---- Authentication -----------------------------------------------------

// True when the request carries "Authorization: Basic" for user:password.
bool hasBasicAuth(const HttpTestRequest& request, std::string_view user, std::string_view password);
// The WWW-Authenticate value of a Digest challenge (MD5, qop "auth").
std::string digestChallenge(std::string_view realm, std::string_view nonce);
// True when the request carries a Digest answer to that challenge that is
// right for user:password (MD5 per RFC 7616, with or without qop).
bool hasDigestAuth(const HttpTestRequest& request, std::string_view realm, std::string_view nonce,
                   std::string_view user, std::string_view password);

std::string base64Encode(std::string_view bytes);

// ---- Other helpers ------------------------------------------------------

// A port on 127.0.0.1 on which nothing listens (bound, then released).
std::uint16_t unusedLoopbackPort();
// A listening socket on 127.0.0.1 whose accept queue is full: Linux drops
// further SYNs, so a connect to it hangs (until the client's connect time-out)
// without leaving the machine. port() is 0 when it could not be set up.
class FullBacklog {
 public:
  FullBacklog();
  ~FullBacklog();
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string url(std::string_view path = "/") const;

 private:
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// `size` bytes of a fixed pseudo-random pattern (seeded), for body checks.
std::string patternBytes(std::size_t size, std::uint32_t seed = 1);

}  // namespace vistel::test
