#include <arpa/inet.h>
#include <curl/curl.h>

#include <array>
#include <charconv>
#include <limits>

#include "vistel/platform/cookie_text_p.h"

namespace vistel::detail {

namespace {

constexpr std::string_view kHttpOnlyPrefix = "#HttpOnly_";
// Past this many digits a max-age or expiry cannot be a real time.
constexpr std::size_t kMaxNumberDigits = 18;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerCopy(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool isHostText(std::string_view host) {
  // The one leading dot a domain may carry is taken off before this check; a
  // second would come back from the jar as a different domain.
  if (host.empty() || host.size() > 253 || host.front() == '.') return false;
  for (char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '.' || c == '_' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

bool isPathText(std::string_view path) {
  if (path.empty() || path.front() != '/' || path.size() > kMaxCookieText) return false;
  for (char c : path)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F || c == ';')
      return false;
  return true;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  if (text.empty() || text.size() > kMaxNumberDigits + 1) return std::nullopt;
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<bool> parseFlag(std::string_view text) {
  if (text == "TRUE") return true;
  if (text == "FALSE") return false;
  return std::nullopt;
}

}  // namespace

bool isCookieName(std::string_view name) {
  static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  if (name.empty() || name.size() > kMaxCookieText) return false;
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7F || kSeparators.find(c) != std::string_view::npos) return false;
  }
  return true;
}

bool isCookieValue(std::string_view value) {
  if (value.size() > kMaxCookieText) return false;
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == ';') return false;
  }
  // Leading or trailing blanks would not survive the jar and the header.
  return trim(value).size() == value.size();
}

std::optional<CookieRecord> parseCookieLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  CookieRecord record;
  if (line.substr(0, kHttpOnlyPrefix.size()) == kHttpOnlyPrefix) {
    record.httpOnly = true;
    line.remove_prefix(kHttpOnlyPrefix.size());
  } else if (line.empty() || line.front() == '#') {
    return std::nullopt;
  }

  std::array<std::string_view, 7> fields;
  std::size_t count = 0;
  while (count < fields.size()) {
    const std::size_t tab = line.find('\t');
    fields[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) {
      line = {};
      break;
    }
    line.remove_prefix(tab + 1);
    if (count == fields.size()) return std::nullopt;  // an eighth field
  }
  if (count == 6)
    fields[6] = {};  // a cookie with an empty value
  else if (count != 7)
    return std::nullopt;

  std::string_view domain = fields[0];
  if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
  const auto subdomains = parseFlag(fields[1]);
  const auto secure = parseFlag(fields[3]);
  const auto expires = parseInteger(fields[4]);
  if (!isHostText(domain) || !subdomains || !isPathText(fields[2]) || !secure || !expires ||
      *expires < 0 || !isCookieName(fields[5]) || !isCookieValue(fields[6]))
    return std::nullopt;

  record.domain = lowerCopy(domain);
  record.includeSubdomains = *subdomains;
  record.path = std::string(fields[2]);
  record.secure = *secure;
  record.expires = *expires;
  record.name = std::string(fields[5]);
  record.value = std::string(fields[6]);
  return record;
}

std::string formatCookieLine(const CookieRecord& record) {
  std::string line;
  if (record.httpOnly) line += kHttpOnlyPrefix;
  if (record.includeSubdomains) line += '.';
  line += record.domain;
  line += record.includeSubdomains ? "\tTRUE\t" : "\tFALSE\t";
  line += record.path;
  line += record.secure ? "\tTRUE\t" : "\tFALSE\t";
  line += std::to_string(record.expires);
  line += '\t';
  line += record.name;
  line += '\t';
  line += record.value;
  return line;
}

std::optional<CookieData> parseCookieData(std::string_view text, std::int64_t now) {
  if (text.size() > 2 * kMaxCookieText) return std::nullopt;
  CookieData data;
  std::size_t semicolon = text.find(';');
  const std::string_view value = trim(text.substr(0, semicolon));
  if (!isCookieValue(value)) return std::nullopt;
  data.value = std::string(value);

  std::optional<std::int64_t> maxAgeExpiry;
  while (semicolon != std::string_view::npos) {
    text.remove_prefix(semicolon + 1);
    semicolon = text.find(';');
    const std::string_view attribute = trim(text.substr(0, semicolon));
    const std::size_t equals = attribute.find('=');
    const std::string_view key = trim(attribute.substr(0, equals));
    const std::string_view argument =
        equals == std::string_view::npos ? std::string_view{} : trim(attribute.substr(equals + 1));
    for (char c : argument)
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
        return std::nullopt;

    if (equalsNoCase(key, "expires")) {
      const std::string date(argument);
      const time_t when = curl_getdate(date.c_str(), nullptr);
      if (when == static_cast<time_t>(-1)) return std::nullopt;
      // A date before 1970 expires the cookie just like any other past date.
      data.expires = when <= 0 ? 1 : static_cast<std::int64_t>(when);
    } else if (equalsNoCase(key, "max-age")) {
      const auto seconds = parseInteger(argument);
      if (!seconds) return std::nullopt;
      maxAgeExpiry = *seconds <= 0 ? 1 : now + *seconds;
    } else if (equalsNoCase(key, "domain")) {
      std::string_view domain = argument;
      if (!domain.empty() && domain.front() == '.') domain.remove_prefix(1);
      if (!isHostText(domain)) return std::nullopt;
      data.domain = lowerCopy(domain);
    } else if (equalsNoCase(key, "path")) {
      if (!isPathText(argument)) return std::nullopt;
      data.path = std::string(argument);
    } else if (equalsNoCase(key, "secure")) {
      data.secure = true;
    } else if (equalsNoCase(key, "httponly")) {
      data.httpOnly = true;
    }
  }
  // Max-age wins over expires, as browsers and libcurl do.
  if (maxAgeExpiry) data.expires = maxAgeExpiry;
  return data;
}

std::string_view bareHost(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

bool isAddressHost(std::string_view host) {
  const std::string text(bareHost(host));
  std::array<unsigned char, 16> address{};
  return ::inet_pton(AF_INET, text.c_str(), address.data()) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), address.data()) == 1;
}

bool domainMatches(const CookieRecord& record, std::string_view host) {
  host = bareHost(host);
  if (equalsNoCase(record.domain, host)) return true;
  // An address has no subdomains: "0.0.1" must not cover 127.0.0.1.
  if (!record.includeSubdomains || host.size() <= record.domain.size() || isAddressHost(host))
    return false;
  const std::size_t start = host.size() - record.domain.size();
  return host[start - 1] == '.' && equalsNoCase(host.substr(start), record.domain);
}

bool pathMatches(std::string_view cookiePath, std::string_view requestPath) {
  // A trailing '/' does not count: "/cam/" covers "/cam" but not "/camera".
  if (cookiePath.size() > 1 && cookiePath.back() == '/') cookiePath.remove_suffix(1);
  if (cookiePath.size() <= 1) return true;
  if (requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
  return requestPath.size() == cookiePath.size() || requestPath[cookiePath.size()] == '/';
}

std::string defaultCookiePath(std::string_view requestPath) {
  if (requestPath.empty() || requestPath.front() != '/') return "/";
  const std::size_t last = requestPath.rfind('/');
  if (last == 0) return "/";
  return std::string(requestPath.substr(0, last));
}

}  // namespace vistel::detail
