#pragma once

// The process-wide HTTP cookie store.
//
// Every request made through HttpSession, on any thread, sends the cookies that
// match its address and records the cookies its responses set; setCookie and
// getCookie reach the same store. Cookies with an expiry date are kept in a
// cookie jar file (Netscape cookie-file format, mode 0600) so that they survive
// the process; session cookies live in memory only. The jar defaults to
// $XDG_DATA_HOME/vistel/cookies.txt (~/.local/share/vistel/cookies.txt when
// XDG_DATA_HOME is unset or relative) and is read at the first use of the store.
//
// Thread-safety: every member may be called from any thread at the same time.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vistel {

namespace detail {
class CookieStoreAccess;
}

class CookieStore {
 public:
  // The one store of the process; valid until static destruction at exit.
  static CookieStore& instance();

  // Stores cookie `name` for the host and path of `url` (http:// or https://).
  // `data` is the value, optionally followed by attributes, for example
  // "abc;expires=Mon, 23-Jun-2042 00:00:00 GMT" ("expires", "max-age", "path",
  // "domain", "secure", "httponly"; without a path the cookie gets the URL's
  // folder, without a domain it goes to that host only, without an expiry it
  // lasts as long as the process). A past expiry deletes the cookie. False when
  // the URL, the name or the data cannot be read or the domain does not cover
  // the URL's host; the store is then unchanged. Persistent cookies are written
  // to the jar before returning (a failed write still keeps them in memory).
  [[nodiscard]] bool setCookie(std::string_view url, std::string_view name, std::string_view data);

  // The value of cookie `name` as a request for `url` would send it (domain,
  // path, secure flag and expiry applied; the longest matching path wins).
  // Just the value: no name, no "=". Nothing when no such cookie applies.
  [[nodiscard]] std::optional<std::string> getCookie(std::string_view url,
                                                     std::string_view name) const;

  // Switches to the jar at `path`: forgets every cookie in memory and reads the
  // persistent, unexpired ones from that file (a missing file is an empty jar).
  // Later changes are written there. False when an existing file cannot be read.
  [[nodiscard]] bool useJar(const std::filesystem::path& path);

  // The jar in use (empty when no location could be determined; the store then
  // keeps cookies in memory only).
  std::filesystem::path jarPath() const;

  // Writes the persistent cookies to the jar now. True when the jar holds them.
  [[nodiscard]] bool save();

  // Forgets every cookie in memory, session cookies included, and reads the jar
  // again. False when an existing jar cannot be read.
  [[nodiscard]] bool reload();

  // The default jar location described above, from the current environment.
  static std::filesystem::path defaultJarPath();

  CookieStore(const CookieStore&) = delete;
  CookieStore& operator=(const CookieStore&) = delete;

 private:
  friend class detail::CookieStoreAccess;
  CookieStore();
  ~CookieStore();

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vistel
