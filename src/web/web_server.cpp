#include "vistel/web/web_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "vistel/web/web_assets.h"

namespace vistel::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 4 * 1024;
constexpr auto kHttpTimeout = std::chrono::seconds(30);

// The value of `name` in the query of `target` ("/ws?token=abc"), without
// decoding; empty when absent.
std::string queryValue(std::string_view target, std::string_view name) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return "";
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (eq != std::string_view::npos && pair.substr(0, eq) == name) {
      return std::string(pair.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return "";
}

std::string_view pathOf(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

class WsConnection;

// The transport a session talks through. It outlives its connection: once
// the connection is gone (or the server stops) it is detached and the
// session's calls do nothing.
class ConnectionLink final : public SessionTransport {
 public:
  void attach(const std::shared_ptr<WsConnection>& connection) {
    std::lock_guard lock(mutex_);
    connection_ = connection;
  }
  void detach() {
    std::lock_guard lock(mutex_);
    connection_.reset();
  }
  void wake() override;
  void close(std::uint16_t code, std::string reason) override;

 private:
  std::mutex mutex_;
  std::weak_ptr<WsConnection> connection_;  // guarded by mutex_
};

// A session with its link, destroyed together (by the reaper thread, since a
// session's destruction waits for its threads).
struct SessionBundle {
  std::shared_ptr<ConnectionLink> link;
  std::unique_ptr<WebSession> session;
};

class WebServer::Impl {
 public:
  explicit Impl(ServerConfig config) : config_(std::move(config)) {
    acceptor_.emplace(ioc_);
    config_.session.policy = &config_.policy;
  }

  bool listen(std::string& error) {
    beast::error_code ec;
    const auto address = net::ip::make_address(config_.address, ec);
    if (ec) {
      error = "'" + config_.address + "' is no IP address";
      return false;
    }
    const tcp::endpoint endpoint(address, config_.port);
    acceptor_->open(endpoint.protocol(), ec);
    if (!ec) acceptor_->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_->bind(endpoint, ec);
    if (!ec) acceptor_->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      error = "cannot listen on " + config_.address + ":" + std::to_string(config_.port) + ": " +
              ec.message();
      return false;
    }
    port_ = acceptor_->local_endpoint().port();
    if (config_.onListening) config_.onListening(port_, config_.policy);
    reaper_ = std::thread([this] { reap(); });
    accept();
    io_ = std::thread([this] { ioc_.run(); });
    return true;
  }

  void stop() {
    {
      // No session may post to the I/O context once it is gone.
      std::lock_guard lock(linksMutex_);
      for (auto& weak : links_) {
        if (auto link = weak.lock()) link->detach();
      }
    }
    ioc_.stop();
    if (io_.joinable()) io_.join();
    acceptor_.reset();
    {
      std::lock_guard lock(reapMutex_);
      reaperStop_ = true;
      reapWake_.notify_all();
    }
    if (reaper_.joinable()) reaper_.join();
  }

  // Hands a session to the reaper; any thread.
  void retire(std::unique_ptr<SessionBundle> bundle) {
    if (!bundle) return;
    bundle->link->detach();
    bundle->session->connectionClosed();
    std::lock_guard lock(reapMutex_);
    retired_.push_back(std::move(bundle));
    reapWake_.notify_all();
  }

  std::unique_ptr<SessionBundle> openSession(const std::shared_ptr<WsConnection>& connection);

  const ServerConfig& config() const { return config_; }
  std::uint16_t port() const { return port_; }
  std::size_t sessions() const { return sessions_.load(); }
  net::io_context& ioc() { return ioc_; }

 private:
  void accept();

  void reap() {
    std::unique_lock lock(reapMutex_);
    for (;;) {
      reapWake_.wait(lock, [&] { return reaperStop_ || !retired_.empty(); });
      while (!retired_.empty()) {
        std::unique_ptr<SessionBundle> bundle = std::move(retired_.front());
        retired_.pop_front();
        lock.unlock();
        bundle.reset();  // joins the session's threads
        sessions_.fetch_sub(1);
        lock.lock();
      }
      if (reaperStop_) return;
    }
  }

  ServerConfig config_;
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> sessions_{0};

  std::mutex reapMutex_;
  std::condition_variable reapWake_;
  std::deque<std::unique_ptr<SessionBundle>> retired_;  // guarded by reapMutex_
  bool reaperStop_ = false;                             // guarded by reapMutex_
  std::thread reaper_;

  std::mutex linksMutex_;
  std::vector<std::weak_ptr<ConnectionLink>> links_;  // guarded by linksMutex_

  std::thread io_;
  // Destroyed before everything above: dropping its handlers destroys the
  // connections, which hand their sessions to retired_.
  net::io_context ioc_{1};
  std::optional<tcp::acceptor> acceptor_;  // I/O thread while it runs

  friend class HttpConnection;
};

// One page's WebSocket. Runs on the I/O thread; the session's threads reach
// it only through its ConnectionLink, which posts to the I/O thread.
class WsConnection : public std::enable_shared_from_this<WsConnection> {
 public:
  WsConnection(WebServer::Impl& server, tcp::socket socket)
      : server_(server), ws_(std::move(socket)) {}

  ~WsConnection() { server_.retire(std::move(bundle_)); }

  void start(const http::request<http::string_body>& request) {
    ws_.set_option(
        websocket::stream_base::timeout{std::chrono::seconds(30), std::chrono::seconds(60), true});
    ws_.read_message_max(kMaxProjectBytes);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "vistel"); }));
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->bundle_ = self->server_.openSession(self);
      if (!self->bundle_) return;
      self->read();
    });
  }

  // Sends what the session has, one message at a time. I/O thread.
  void pump() {
    if (writing_ || closing_ || !bundle_) return;
    auto out = bundle_->session->takeOutgoing();
    if (!out) return;
    writing_ = true;
    current_ = std::move(out->bytes);
    ws_.binary(out->binary);
    ws_.async_write(net::buffer(current_),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      if (ec) return self->finish();
                      self->pump();
                    });
  }

  net::io_context& serverIoc() { return server_.ioc(); }

  // Closes with `code`; I/O thread.
  void closeWith(std::uint16_t code, const std::string& reason) {
    if (closing_) return;
    closing_ = true;
    websocket::close_reason why(static_cast<websocket::close_code>(code), reason.substr(0, 120));
    ws_.async_close(why, [self = shared_from_this()](beast::error_code) { self->finish(); });
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec == websocket::error::message_too_big) {
        return self->closeWith(kCloseTooBig, "message too large");
      }
      if (ec) return self->finish();
      if (!self->ws_.got_text()) return self->closeWith(kClosePolicy, "pages send text only");
      const auto data = self->buffer_.cdata();
      self->bundle_->session->receiveText(
          std::string_view(static_cast<const char*>(data.data()), data.size()));
      self->buffer_.consume(self->buffer_.size());
      if (!self->closing_) self->read();
    });
  }

  void finish() {
    server_.retire(std::move(bundle_));
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
  }

  WebServer::Impl& server_;
  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::unique_ptr<SessionBundle> bundle_;  // I/O thread
  std::string current_;                    // the message being written
  bool writing_ = false;
  bool closing_ = false;
};

void ConnectionLink::wake() {
  std::lock_guard lock(mutex_);
  if (auto connection = connection_.lock()) {
    auto& ioc = connection->serverIoc();
    net::post(ioc, [connection] { connection->pump(); });
  }
}

void ConnectionLink::close(std::uint16_t code, std::string reason) {
  std::lock_guard lock(mutex_);
  if (auto connection = connection_.lock()) {
    auto& ioc = connection->serverIoc();
    net::post(ioc, [connection, code, reason = std::move(reason)] {
      connection->closeWith(code, reason);
    });
  }
}

// One HTTP connection: files, or the checked upgrade to a session.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  HttpConnection(WebServer::Impl& server, tcp::socket socket)
      : server_(server), stream_(std::move(socket)) {}

  void read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                       if (ec) return self->shut();
                       self->handle(self->parser_->release());
                     });
  }

 private:
  using Request = http::request<http::string_body>;

  void handle(const Request& request) {
    const ServePolicy& policy = server_.config().policy;
    const std::string_view host(request[http::field::host].data(),
                                request[http::field::host].size());
    if (!hostAllowed(policy, host))
      return respond(request, http::status::misdirected_request, "text/plain",
                     "unknown host name\n");
    const std::string_view target(request.target().data(), request.target().size());
    if (websocket::is_upgrade(request)) {
      if (pathOf(target) != "/ws") {
        return respond(request, http::status::not_found, "text/plain", "no such session path\n");
      }
      const std::string_view origin(request[http::field::origin].data(),
                                    request[http::field::origin].size());
      if (!originAllowed(policy, origin)) {
        return respond(request, http::status::forbidden, "text/plain", "origin not allowed\n");
      }
      if (!policy.token.empty() && !tokenMatches(queryValue(target, "token"), policy.token)) {
        return respond(request, http::status::unauthorized, "text/plain", "wrong token\n");
      }
      if (server_.sessions() >= policy.maxSessions) {
        return respond(request, http::status::service_unavailable, "text/plain",
                       "too many sessions\n");
      }
      stream_.expires_never();
      auto ws = std::make_shared<WsConnection>(server_, stream_.release_socket());
      ws->start(request);
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return respond(request, http::status::method_not_allowed, "text/plain", "GET only\n");
    }
    std::string_view path = pathOf(target);
    if (path == "/") path = "/index.html";
    const WebAsset* asset = findWebAsset(path);
    if (asset == nullptr)
      return respond(request, http::status::not_found, "text/plain", "not found\n");
    respond(request, http::status::ok, asset->contentType, asset->body);
  }

  void respond(const Request& request, http::status status, std::string_view type,
               std::string_view body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
    response->set(http::field::server, "vistel");
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-cache");
    response->set("X-Content-Type-Options", "nosniff");
    response->keep_alive(request.keep_alive() && status == http::status::ok);
    if (request.method() != http::verb::head) response->body().assign(body);
    response->prepare_payload();
    if (request.method() == http::verb::head) response->content_length(body.size());
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                        if (ec || !response->keep_alive()) return self->shut();
                        self->read();
                      });
  }

  void shut() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  }

  WebServer::Impl& server_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

void WebServer::Impl::accept() {
  acceptor_->async_accept(ioc_, [this](beast::error_code ec, tcp::socket socket) {
    if (ec == net::error::operation_aborted) return;
    if (!ec) std::make_shared<HttpConnection>(*this, std::move(socket))->read();
    if (acceptor_ && acceptor_->is_open()) accept();
  });
}

std::unique_ptr<SessionBundle> WebServer::Impl::openSession(
    const std::shared_ptr<WsConnection>& connection) {
  // Counted from here until the reaper has destroyed it.
  if (sessions_.fetch_add(1) >= config_.policy.maxSessions) {
    sessions_.fetch_sub(1);
    connection->closeWith(1013, "too many sessions");
    return nullptr;
  }
  auto bundle = std::make_unique<SessionBundle>();
  bundle->link = std::make_shared<ConnectionLink>();
  bundle->link->attach(connection);
  {
    std::lock_guard lock(linksMutex_);
    std::erase_if(links_, [](const std::weak_ptr<ConnectionLink>& l) { return l.expired(); });
    links_.push_back(bundle->link);
  }
  bundle->session = std::make_unique<WebSession>(config_.session, *bundle->link);
  return bundle;
}

WebServer::WebServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebServer::~WebServer() { impl_->stop(); }

std::unique_ptr<WebServer> WebServer::start(ServerConfig config, std::string& error) {
  auto impl = std::make_unique<Impl>(std::move(config));
  if (!impl->listen(error)) return nullptr;
  return std::unique_ptr<WebServer>(new WebServer(std::move(impl)));
}

std::uint16_t WebServer::port() const { return impl_->port(); }

std::size_t WebServer::sessionCount() const { return impl_->sessions(); }

}  // namespace vistel::web
