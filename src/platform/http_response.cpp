#include "vistel/platform/http_response.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "vistel/platform/cookie_store_p.h"
#include "vistel/platform/curl_runtime_p.h"
#include "vistel/platform/http_cancel.h"
#include "vistel/platform/http_cancel_p.h"

namespace vistel {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Header fields kept per response; a server sending more gets the rest ignored.
constexpr std::size_t kMaxHeaderFields = 200;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
// Header bytes accepted per request (all blocks, kept or not); a server
// sending more is cut off.
constexpr std::size_t kMaxReceivedHeaderBytes = 256 * 1024;
constexpr long kMaxRedirects = 10;
// Longest single wait inside the transfer loop. Aborts interrupt it at once
// through curl_multi_wakeup; the bound only keeps every wait finite.
constexpr int kWaitSliceMs = 1000;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

HttpError errorFromCurl(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return HttpError::None;
    case CURLE_URL_MALFORMAT:
      return HttpError::BadUrl;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return HttpError::UnsupportedScheme;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return HttpError::CannotResolve;
    case CURLE_COULDNT_CONNECT:
      return HttpError::CannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return HttpError::TimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
      return HttpError::TooManyRedirects;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
      return HttpError::ConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
      return HttpError::Protocol;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
      return HttpError::Tls;
    default:
      return HttpError::Internal;
  }
}

struct HeaderField {
  std::string name;
  std::string value;
};

}  // namespace

struct HttpResponse::Impl final : detail::HttpCancelTarget {
  ~Impl() { detach(); }

  // An HttpCancel ends the open the way abort() ends a read.
  void cancelRequested() noexcept override {
    abortRequested.store(true, std::memory_order_release);
    curl_multi_wakeup(multi.get());
  }

  std::size_t buffered() const { return pending.size() - pendingStart; }

  void detach() {
    if (attached) curl_multi_remove_handle(multi.get(), easy.get());
    attached = false;
  }

  // Ends the transfer on the owner thread; the first reason given is kept.
  void stop(HttpError reason) {
    detach();
    done = true;
    if (failure == HttpError::None) failure = reason;
  }

  void collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      const CURLcode result = message->data.result;
      detach();
      done = true;
      if (failure == HttpError::None) failure = errorFromCurl(result);
    }
  }

  // Runs the transfer on the calling thread until `ready()` holds, the
  // transfer ends, abort() is called, or no byte arrived for the receive
  // time-out after the connection was made.
  template <class Ready>
  void pump(Ready ready) {
    while (!ready() && !done) {
      if (abortRequested.load(std::memory_order_acquire)) return stop(HttpError::Aborted);
      int running = 0;
      if (curl_multi_perform(multi.get(), &running) != CURLM_OK) return stop(HttpError::Internal);
      collectFinished();
      if (ready() || done) return;
      int waitMs = kWaitSliceMs;
      if (connected) {
        // The response header must be complete within one receive time-out of
        // the request; a server dripping header lines cannot stretch the open.
        const auto idle = SteadyClock::now() - (waitingForHead ? requestStarted : lastActivity);
        if (idle >= receiveTimeout) return stop(HttpError::TimedOut);
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(receiveTimeout - idle);
        waitMs = static_cast<int>(std::min<std::int64_t>(waitMs, left.count()));
      }
      if (curl_multi_poll(multi.get(), nullptr, 0, waitMs, nullptr) != CURLM_OK)
        return stop(HttpError::Internal);
    }
  }

  void consume(std::size_t count) {
    pendingStart += count;
    if (pendingStart == pending.size()) {
      pending.clear();
      pendingStart = 0;
    } else if (pendingStart >= kMaxBufferedBytes / 2) {
      pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pendingStart));
      pendingStart = 0;
    }
    // Let the server send again once half of the buffer is free; libcurl hands
    // over what it held back from inside curl_easy_pause.
    if (paused && attached && buffered() <= kMaxBufferedBytes / 2) {
      paused = false;
      if (curl_easy_pause(easy.get(), CURLPAUSE_CONT) != CURLE_OK) stop(HttpError::Internal);
    }
  }

  // The end of one response's header block. Decides whether libcurl will
  // send another request (interim 1xx answers, redirects it follows, a first
  // authentication challenge it can answer) or whether this is the response
  // the caller gets. A wrong "another request" guess only delays open() until
  // the first body byte or the end of the transfer.
  void endOfHeaderBlock() {
    long code = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &code);
    const bool redirect = code >= 300 && code < 400 && code != 304 && blockHasLocation;
    const bool challenge = code == 401 && blockOffersAuth;
    const bool anotherRequest =
        code < 200 || redirect || (challenge && hasCredentials && challengesAnswered == 0);
    if (challenge) ++challengesAnswered;
    if (anotherRequest) {
      // The next request may go over a fresh connection: its connect time is
      // governed by the connect time-out, not the receive time-out.
      if (redirect) connected = false;
      return;
    }
    headersComplete = true;
    status = static_cast<int>(code);
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& self = *static_cast<Impl*>(user);
    const std::size_t length = size * count;
    self.lastActivity = SteadyClock::now();
    self.receivedHeaderBytes += length;
    if (self.receivedHeaderBytes > kMaxReceivedHeaderBytes) {
      if (self.failure == HttpError::None) self.failure = HttpError::Protocol;
      return 0;  // libcurl ends the transfer
    }
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);

    if (line.substr(0, 5) == "HTTP/") {
      // A new response: only the last one's fields are kept.
      self.headers.clear();
      self.headerBytes = 0;
      self.blockHasLocation = false;
      self.blockOffersAuth = false;
      self.headersComplete = false;
    } else if (line.empty()) {
      self.endOfHeaderBlock();
    } else if (line.front() == ' ' || line.front() == '\t') {
      // Obsolete line folding continues the previous field.
      if (!self.headers.empty() && self.headerBytes + line.size() <= kMaxHeaderBytes) {
        self.headers.back().value += ' ';
        self.headers.back().value += trim(line);
        self.headerBytes += line.size();
      }
    } else if (const std::size_t colon = line.find(':'); colon != std::string_view::npos) {
      const std::string_view name = trim(line.substr(0, colon));
      const std::string_view value = trim(line.substr(colon + 1));
      if (equalsNoCase(name, "Location")) self.blockHasLocation = true;
      if (equalsNoCase(name, "WWW-Authenticate") &&
          (startsWithNoCase(value, "Basic") || startsWithNoCase(value, "Digest")))
        self.blockOffersAuth = true;
      if (self.headers.size() < kMaxHeaderFields &&
          self.headerBytes + line.size() <= kMaxHeaderBytes) {
        self.headers.push_back({std::string(name), std::string(value)});
        self.headerBytes += line.size();
      }
    }
    return length;
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& self = *static_cast<Impl*>(user);
    const std::size_t length = size * count;
    self.lastActivity = SteadyClock::now();
    if (!self.headersComplete) {
      // libcurl passes on only the body of the response it settled on.
      long code = 0;
      curl_easy_getinfo(self.easy.get(), CURLINFO_RESPONSE_CODE, &code);
      self.headersComplete = true;
      self.status = static_cast<int>(code);
    }
    if (self.buffered() > 0 && self.buffered() + length > kMaxBufferedBytes) {
      self.paused = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    self.pending.insert(self.pending.end(), data, data + length);
    return length;
  }

#if LIBCURL_VERSION_NUM >= 0x075000
  static int onConnected(void* user, char*, char*, int, int) {
    auto& self = *static_cast<Impl*>(user);
    self.connected = true;
    self.lastActivity = self.requestStarted = SteadyClock::now();
    self.receivedHeaderBytes = 0;
    return CURL_PREREQFUNC_OK;
  }
#endif

  // Owner-thread state: only the thread that currently owns the response
  // (open, read, close, destruction, and libcurl's callbacks inside them).
  detail::CurlMulti multi;
  detail::CurlEasy easy;
  detail::CurlSlist requestHeaders;
  bool attached = false;         // easy is in multi
  bool done = false;             // the transfer ended (body complete or failed)
  bool closed = false;           // close() was called
  bool paused = false;           // libcurl holds back data until the reader catches up
  bool connected = false;        // a connection is up; the receive time-out applies
  bool waitingForHead = true;    // open() is waiting for the final header block
  bool headersComplete = false;  // the final response's header block is complete
  bool hasCredentials = false;   // the URL names a user
  bool blockHasLocation = false;
  bool blockOffersAuth = false;
  int challengesAnswered = 0;
  int status = 0;
  HttpError failure = HttpError::None;    // why the transfer ended early
  HttpError lastError = HttpError::None;  // reported by error()
  std::vector<HeaderField> headers;
  std::size_t headerBytes = 0;
  std::vector<std::uint8_t> pending;  // body bytes from pendingStart on are unread
  std::size_t pendingStart = 0;
  SteadyClock::time_point lastActivity;    // last byte received (or start of the current wait)
  SteadyClock::time_point requestStarted;  // the current request was about to be sent
  std::size_t receivedHeaderBytes = 0;     // header bytes of the current request
  std::chrono::milliseconds receiveTimeout{0};

  // Shared with abort(), isOpen() and an HttpCancel on other threads.
  std::atomic<bool> abortRequested{false};
  std::atomic<bool> open{true};
};

HttpResponse::HttpResponse(Key, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpResponse::~HttpResponse() {
  // Cookies set by the response go to the jar once the response is done with.
  if (!impl_->closed) detail::CookieStoreAccess::persist();
}

std::unique_ptr<HttpResponse> HttpResponse::open(std::string_view url, HttpOpenFlags flags,
                                                 std::uint32_t connectTimeoutMs,
                                                 std::uint32_t receiveTimeoutMs, HttpCancel* cancel,
                                                 HttpError& error) {
  error = HttpError::None;
  if (!detail::ensureCurlRuntime()) {
    error = HttpError::Internal;
    return nullptr;
  }
  const std::string text(url);
  bool hasCredentials = false;  // the URL names a user for Basic or Digest
  {
    detail::CurlUrl parsed(curl_url());
    if (!parsed) {
      error = HttpError::Internal;
      return nullptr;
    }
    const CURLUcode rc =
        curl_url_set(parsed.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME);
    char* scheme = nullptr;
    if (rc != CURLUE_OK || curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) {
      error = HttpError::BadUrl;
      return nullptr;
    }
    const detail::CurlString ownedScheme(scheme);
    if (std::string_view(scheme) != "http" && std::string_view(scheme) != "https") {
      error = HttpError::UnsupportedScheme;
      return nullptr;
    }
    char* user = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_USER, &user, 0) == CURLUE_OK) {
      const detail::CurlString ownedUser(user);
      hasCredentials = user[0] != '\0';
    }
  }

  auto impl = std::make_unique<Impl>();
  impl->multi.reset(curl_multi_init());
  impl->easy.reset(curl_easy_init());
  if (!impl->multi || !impl->easy) {
    error = HttpError::Internal;
    return nullptr;
  }
  impl->hasCredentials = hasCredentials;
  impl->receiveTimeout = std::chrono::milliseconds(std::max<std::uint32_t>(receiveTimeoutMs, 1));
  if (hasFlag(flags, HttpOpenFlags::Reload)) {
    curl_slist* list = curl_slist_append(nullptr, "Cache-Control: no-cache");
    impl->requestHeaders.reset(list);
    if (list) list = curl_slist_append(list, "Pragma: no-cache");
    if (!list) {
      error = HttpError::Internal;
      return nullptr;
    }
  }

  CURL* easy = impl->easy.get();
  bool ok = curl_easy_setopt(easy, CURLOPT_URL, text.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                             static_cast<long>(std::max<std::uint32_t>(connectTimeoutMs, 1))) ==
                CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPAUTH,
                             static_cast<long>(CURLAUTH_BASIC | CURLAUTH_DIGEST)) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::onHeader) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HEADERDATA, impl.get()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onBody) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_WRITEDATA, impl.get()) == CURLE_OK &&
            curl_easy_setopt(easy, CURLOPT_HTTPHEADER, impl->requestHeaders.get()) == CURLE_OK;
#if LIBCURL_VERSION_NUM >= 0x075000
  ok = ok && curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Impl::onConnected) == CURLE_OK &&
       curl_easy_setopt(easy, CURLOPT_PREREQDATA, impl.get()) == CURLE_OK;
#else
  impl->connected = true;
  impl->lastActivity = impl->requestStarted = SteadyClock::now();
#endif
  ok = ok && detail::CookieStoreAccess::attach(easy) &&
       curl_multi_add_handle(impl->multi.get(), easy) == CURLM_OK;
  if (!ok) {
    error = HttpError::Internal;
    return nullptr;
  }
  impl->attached = true;

  Impl& state = *impl;
  // Keeps the open reachable by the token until the waiting is over.
  struct Registration {
    HttpCancel* token;
    Impl& target;
    ~Registration() {
      if (token) token->leave(target);
    }
  };
  if (cancel && !cancel->enter(state)) {
    error = HttpError::Aborted;
    return nullptr;
  }
  {
    const Registration registration{cancel, state};
    state.pump([&] { return state.headersComplete; });
  }
  state.waitingForHead = false;
  detail::CookieStoreAccess::persist();
  // A cancel that arrived as the header completed still wins: the caller has
  // stopped waiting for this response.
  if (cancel && state.abortRequested.load(std::memory_order_acquire)) {
    error = HttpError::Aborted;
    return nullptr;
  }
  if (!state.headersComplete) {
    error = state.failure != HttpError::None ? state.failure : HttpError::Protocol;
    return nullptr;
  }
  return std::make_unique<HttpResponse>(Key{}, std::move(impl));
}

int HttpResponse::status() const { return impl_->status; }

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& field : impl_->headers)
    if (equalsNoCase(field.name, name)) return field.value;
  return std::nullopt;
}

std::int64_t HttpResponse::read(void* buffer, std::size_t size) {
  Impl& state = *impl_;
  state.lastError = HttpError::None;
  if (state.closed) {
    state.lastError = HttpError::Closed;
    return -1;
  }
  if (size == 0) return 0;
  if (state.buffered() == 0 && !state.done) {
    // The receive time-out counts from the start of each wait.
    state.lastActivity = SteadyClock::now();
    state.pump([&] { return state.buffered() > 0; });
  }
  if (state.abortRequested.load(std::memory_order_acquire)) {
    state.stop(HttpError::Aborted);
    state.lastError = HttpError::Aborted;
    return -1;
  }
  if (const std::size_t available = state.buffered(); available > 0) {
    const std::size_t count = std::min(size, available);
    std::memcpy(buffer, state.pending.data() + state.pendingStart, count);
    state.consume(count);
    return static_cast<std::int64_t>(count);
  }
  if (state.failure != HttpError::None) {
    state.lastError = state.failure;
    return -1;
  }
  return 0;
}

HttpError HttpResponse::error() const { return impl_->lastError; }

void HttpResponse::abort() {
  impl_->abortRequested.store(true, std::memory_order_release);
  impl_->open.store(false, std::memory_order_release);
  // Wakes a reader waiting in curl_multi_poll; documented as callable from any thread.
  curl_multi_wakeup(impl_->multi.get());
}

bool HttpResponse::isOpen() const { return impl_->open.load(std::memory_order_acquire); }

void HttpResponse::close() {
  Impl& state = *impl_;
  if (state.closed) return;
  state.open.store(false, std::memory_order_release);
  state.stop(HttpError::Closed);
  state.closed = true;
  state.pending.clear();
  state.pendingStart = 0;
  detail::CookieStoreAccess::persist();
}

std::size_t HttpResponse::bufferedBytes() const { return impl_->buffered(); }

}  // namespace vistel
