#pragma once

// Vocabulary of the HTTP layer: the flags a URL is opened with and the error
// codes its failures are reported by. Thread-safe (constants and pure functions).

#include <cstdint>

namespace vistel {

// How a URL is opened; combine with |.
enum class HttpOpenFlags : std::uint32_t {
  None = 0,
  // Fetch from the origin server: the request carries "Cache-Control: no-cache"
  // and "Pragma: no-cache" so that no proxy answers from its cache.
  Reload = 1u << 0,
  // Do not keep the response in a cache. The layer never caches, so this only
  // records the caller's intent.
  NoCacheWrite = 1u << 1,
  // Binary or text transfer. HTTP bodies are passed on byte for byte either
  // way; the flags are accepted so that callers state what they mean.
  Binary = 1u << 2,
  Ascii = 1u << 3,
};

constexpr HttpOpenFlags operator|(HttpOpenFlags a, HttpOpenFlags b) {
  return static_cast<HttpOpenFlags>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
constexpr bool hasFlag(HttpOpenFlags set, HttpOpenFlags flag) {
  return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(flag)) != 0;
}

// Why an open or a read failed. The values are stable, so callers may keep
// them as plain numbers (a reader's last error, for example).
enum class HttpError : std::uint32_t {
  None = 0,
  BadUrl = 1,             // the URL cannot be parsed
  UnsupportedScheme = 2,  // not http:// or https:// (also when a redirect leads elsewhere)
  CannotResolve = 3,      // the host name is unknown
  CannotConnect = 4,      // the connection was refused or failed
  TimedOut = 5,           // connect or receive time-out
  Aborted = 6,            // HttpResponse::abort() or HttpCancel::cancel() was called
  Closed = 7,             // read after HttpResponse::close()
  ConnectionLost = 8,     // the server closed or reset the connection early
  TooManyRedirects = 9,
  Protocol = 10,  // the server's reply is not HTTP the layer understands
  Tls = 11,       // https handshake or certificate failure
  Internal = 12,  // out of memory or a library failure
};

// A short English description, for diagnostics; never null.
const char* httpErrorText(HttpError error);

}  // namespace vistel
