#pragma once

// One HTTP response being received: status, header fields and the body,
// read in pieces as it arrives.
//
// Thread-safety: one thread at a time owns the response (opens it, reads,
// closes it, destroys it); ownership may pass between threads through the
// caller's own synchronisation. abort() and isOpen() may be called from any
// other thread while the owner reads, but not while the response is being
// destroyed.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vistel/platform/http_types.h"

namespace vistel {

class HttpCancel;
class HttpSession;

class HttpResponse {
  struct Impl;
  struct Key {
    explicit Key() = default;
  };

 public:
  // Made by HttpSession::open only (the key is private).
  HttpResponse(Key, std::unique_ptr<Impl> impl);
  // Largest number of body bytes held for the reader; the transfer pauses
  // (the server is no longer read) while this much is waiting.
  static constexpr std::size_t kMaxBufferedBytes = 128 * 1024;

  ~HttpResponse();
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;

  // Status code of the final response (after redirects and authentication),
  // for example 200, 401 or 404. Owner thread.
  int status() const;

  // Value of the first header field `name` of the final response, compared
  // without regard to case, with surrounding blanks removed; nothing when the
  // response has no such field. Owner thread.
  std::optional<std::string> header(std::string_view name) const;

  // Reads up to `size` body bytes into `buffer`. Blocks until at least one byte
  // is there, the body ends, the transfer fails, no byte arrived for the
  // session's receive time-out, or abort() is called. Returns the count (> 0),
  // 0 at the end of the body (or when `size` is 0), or -1 on failure with the
  // reason in error(). Owner thread.
  [[nodiscard]] std::int64_t read(void* buffer, std::size_t size);

  // Why the last read() returned -1; None after a read that did not fail. Owner thread.
  HttpError error() const;

  // Ends the transfer: a read blocked on another thread returns -1 (Aborted)
  // within about 100 ms, and every later read fails the same way. Any thread;
  // no effect after close().
  void abort();

  // False once abort() or close() was called. Any thread.
  bool isOpen() const;

  // Closes the connection; later reads fail with Closed. Owner thread.
  void close();

  // Body bytes received and not yet read (at most about kMaxBufferedBytes plus
  // one network chunk). For diagnostics and tests. Owner thread.
  std::size_t bufferedBytes() const;

 private:
  friend class HttpSession;

  // Starts the request and waits for the final status line and header
  // fields, or until `cancel` (when not null) is cancelled.
  static std::unique_ptr<HttpResponse> open(std::string_view url, HttpOpenFlags flags,
                                            std::uint32_t connectTimeoutMs,
                                            std::uint32_t receiveTimeoutMs, HttpCancel* cancel,
                                            HttpError& error);

  std::unique_ptr<Impl> impl_;
};

}  // namespace vistel
