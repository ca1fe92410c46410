#include "vistel/imaging/rtsp_address.h"

#include <vector>

namespace vistel {

namespace {

constexpr std::string_view kScheme = "rtsp://";
constexpr std::string_view kTransportKey = "transport";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool parsePort(std::string_view text, std::int32_t& port) {
  if (text.empty() || text.size() > 5) return false;
  std::int32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

// Takes the viewer's `transport` parameter out of `path`'s query. False when
// its value is neither tcp nor udp.
bool takeTransport(std::string& path, RtspTransport& transport) {
  const std::size_t mark = path.find('?');
  if (mark == std::string::npos) return true;
  const std::string_view query = std::string_view(path).substr(mark + 1);
  std::vector<std::string_view> kept;
  bool found = false;
  std::size_t pos = 0;
  while (pos <= query.size()) {
    std::size_t end = query.find('&', pos);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view pair = query.substr(pos, end - pos);
    const std::size_t equals = pair.find('=');
    if (equals != std::string_view::npos &&
        equalsIgnoringCase(pair.substr(0, equals), kTransportKey)) {
      const std::string_view value = pair.substr(equals + 1);
      if (equalsIgnoringCase(value, "tcp")) {
        transport = RtspTransport::Tcp;
      } else if (equalsIgnoringCase(value, "udp")) {
        transport = RtspTransport::Udp;
      } else {
        return false;
      }
      found = true;
    } else {
      kept.push_back(pair);
    }
    pos = end + 1;
  }
  if (!found) return true;
  std::string rebuilt = path.substr(0, mark);
  bool first = true;
  for (const std::string_view pair : kept) {
    if (pair.empty()) continue;
    rebuilt += first ? '?' : '&';
    rebuilt.append(pair);
    first = false;
  }
  path = std::move(rebuilt);
  return true;
}

}  // namespace

const char* rtspTransportName(RtspTransport transport) {
  return transport == RtspTransport::Udp ? "udp" : "tcp";
}

bool isRtspAddress(std::string_view address) {
  return address.size() >= kScheme.size() &&
         equalsIgnoringCase(address.substr(0, kScheme.size()), kScheme);
}

bool parseRtspAddress(std::string_view address, RtspAddress& out) {
  if (!isRtspAddress(address)) return false;
  for (const char c : address) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  RtspAddress parsed;
  std::string_view rest = address.substr(kScheme.size());
  if (const std::size_t fragment = rest.find('#'); fragment != std::string_view::npos) {
    rest = rest.substr(0, fragment);
  }
  std::size_t authorityEnd = rest.find_first_of("/?");
  if (authorityEnd == std::string_view::npos) authorityEnd = rest.size();
  std::string_view authority = rest.substr(0, authorityEnd);
  // A password may hold an "@" of its own; the last one ends the user information.
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    const std::size_t colon = userInfo.find(':');
    parsed.user = std::string(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) parsed.password = std::string(userInfo.substr(colon + 1));
    parsed.hasUserInfo = true;
    authority = authority.substr(at + 1);
  }
  std::string_view host = authority;
  std::string_view port;
  bool hasPort = false;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
      hasPort = true;
    }
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    hasPort = true;
  }
  if (host.empty() || host == "[]") return false;
  if (hasPort && !parsePort(port, parsed.port)) return false;
  parsed.host = std::string(host);
  parsed.path = std::string(rest.substr(authorityEnd));
  if (!takeTransport(parsed.path, parsed.transport)) return false;
  out = std::move(parsed);
  return true;
}

std::string connectionUrl(const RtspAddress& address) {
  std::string url(kScheme);
  if (address.hasUserInfo) {
    url += address.user;
    if (!address.password.empty()) url += ':' + address.password;
    url += '@';
  }
  url += address.host;
  if (address.port != 0) url += ':' + std::to_string(address.port);
  url += address.path;
  return url;
}

}  // namespace vistel
