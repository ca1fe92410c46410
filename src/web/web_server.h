#pragma once

// `vistel serve`'s server: HTTP for the page's files (the demo page at "/",
// vistel.js, vistel.d.ts) and one WebSocket session per page at "/ws". Built
// on Boost.Beast (Debian's Boost): one I/O thread runs every socket; each
// session runs its control on threads of its own (web_session.h), so a slow
// page or a blocking camera probe never holds up another page.
//
// The upgrade to a session is refused unless the Host header names this
// server, the Origin is allowed, the token matches (when one is set) and
// fewer than the policy's maximum sessions are open.
//
// Thread-safety: start() and stop() from one owner thread; sessionCount()
// and port() from any thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vistel/web/security.h"
#include "vistel/web/web_session.h"

namespace vistel::web {

struct ServerConfig {
  std::string address = "127.0.0.1";  // numeric IPv4 or IPv6 address to listen on
  std::uint16_t port = 8080;          // 0: any free port (see WebServer::port())
  ServePolicy policy;
  SessionSetup session;  // its policy pointer is set by the server
  // Called once the port is bound and before any connection is taken, to
  // complete the policy with names that depend on the port (port 0).
  std::function<void(std::uint16_t port, ServePolicy& policy)> onListening;
};

class WebServer {
 public:
  // Listens and starts serving. Null with a one-line reason when the address
  // cannot be listened on.
  [[nodiscard]] static std::unique_ptr<WebServer> start(ServerConfig config, std::string& error);
  // Stops listening, closes every session (ending their threads) and returns.
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // The port listened on.
  [[nodiscard]] std::uint16_t port() const;
  // Sessions open or still ending.
  [[nodiscard]] std::size_t sessionCount() const;

  class Impl;

 private:
  explicit WebServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistel::web
