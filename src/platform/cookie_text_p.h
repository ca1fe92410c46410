#pragma once

// Text forms of HTTP cookies used by the cookie store: the jar line (the
// Netscape cookie-file format that libcurl also lists its cookies in), the
// "value; attribute=..." text given to CookieStore::setCookie, and the domain
// and path rules that decide which cookies go with an address. Pure functions
// over bytes; private to the HTTP layer. Thread-safe (no shared state).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistel::detail {

// Longest cookie name, value or attribute text accepted; longer input is refused.
inline constexpr std::size_t kMaxCookieText = 4096;

// One stored cookie.
struct CookieRecord {
  std::string domain;              // lower case, no leading dot
  bool includeSubdomains = false;  // false: sent to `domain` only
  std::string path = "/";
  bool secure = false;       // sent over https only
  bool httpOnly = false;     // kept for the round trip; scripts never read cookies here
  std::int64_t expires = 0;  // seconds since 1970; 0 for a session cookie
  std::string name;
  std::string value;

  bool operator==(const CookieRecord&) const = default;
};

// Parses one jar line ("domain TAB TRUE|FALSE TAB path TAB TRUE|FALSE TAB
// expires TAB name TAB value", optionally prefixed "#HttpOnly_"). Comments,
// blank and malformed lines give nothing.
[[nodiscard]] std::optional<CookieRecord> parseCookieLine(std::string_view line);

// The jar line for `record`, without a line end. parseCookieLine gives the
// record back for every record parseCookieLine produced.
[[nodiscard]] std::string formatCookieLine(const CookieRecord& record);

// A cookie value with its optional attributes, as given to setCookie:
// "value; expires=<date>; max-age=<s>; path=/p; domain=d; secure; httponly".
struct CookieData {
  std::string value;
  std::optional<std::string> domain;  // lower case, leading dot removed
  std::optional<std::string> path;
  std::optional<std::int64_t> expires;  // absolute; a past time deletes the cookie
  bool secure = false;
  bool httpOnly = false;
};

// Parses `text` with `now` (seconds since 1970) as the base of max-age.
// Unknown attributes are ignored; an unreadable date or a value with control
// characters or ';' gives nothing.
[[nodiscard]] std::optional<CookieData> parseCookieData(std::string_view text, std::int64_t now);

// A token of printable ASCII without separators, 1 to kMaxCookieText bytes.
[[nodiscard]] bool isCookieName(std::string_view name);
// No control characters or ';', at most kMaxCookieText bytes (may be empty);
// bytes above ASCII pass, as servers send UTF-8 values.
[[nodiscard]] bool isCookieValue(std::string_view value);

// `host` without the brackets of an IPv6 address ("[::1]" gives "::1"): the
// name cookies are filed under.
[[nodiscard]] std::string_view bareHost(std::string_view host);
// True when `host` (brackets optional) is an IPv4 or IPv6 address.
[[nodiscard]] bool isAddressHost(std::string_view host);

// True when `record` belongs to `host` (compared without regard to case; an
// address matches only itself).
[[nodiscard]] bool domainMatches(const CookieRecord& record, std::string_view host);
// True when a cookie with `cookiePath` goes with a request for `requestPath`
// (case matters; a trailing '/' of the cookie path does not).
[[nodiscard]] bool pathMatches(std::string_view cookiePath, std::string_view requestPath);
// The path a cookie set for `requestPath` gets when it names none: the request
// path up to, not including, its last '/', or "/".
[[nodiscard]] std::string defaultCookiePath(std::string_view requestPath);

}  // namespace vistel::detail
