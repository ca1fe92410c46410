#include "sim_http.h"

#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <span>

#include "vistel/project/encoding.h"

namespace vistel::sim {

namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// The parameters of a Digest answer: `key="value", key=value, ...`, keys in
// lower case, quotes and escapes removed.
std::map<std::string, std::string> authParameters(std::string_view text) {
  std::map<std::string, std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
    const std::size_t keyStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ',') ++i;
    std::string key;
    for (char c : trim(text.substr(keyStart, i - keyStart))) key += lower(c);
    std::string value;
    if (i < text.size() && text[i] == '=') {
      ++i;
      if (i < text.size() && text[i] == '"') {
        ++i;
        while (i < text.size() && text[i] != '"') {
          if (text[i] == '\\' && i + 1 < text.size()) ++i;
          value += text[i++];
        }
        ++i;
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != ' ') value += text[i++];
      }
    }
    if (!key.empty()) out.emplace(std::move(key), std::move(value));
  }
  return out;
}

// The credentials after the scheme word of the Authorization field, when the
// scheme is `scheme`; a view into `field`.
std::optional<std::string_view> authorization(const std::optional<std::string>& field,
                                              std::string_view scheme) {
  if (!field || field->size() <= scheme.size() ||
      !equalsNoCase(std::string_view(*field).substr(0, scheme.size()), scheme) ||
      (*field)[scheme.size()] != ' ') {
    return std::nullopt;
  }
  return trim(std::string_view(*field).substr(scheme.size() + 1));
}

}  // namespace

std::optional<std::string> SimRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equalsNoCase(key, name)) return value;
  }
  return std::nullopt;
}

std::string_view SimRequest::path() const {
  return std::string_view(target).substr(0, target.find('?'));
}

std::optional<SimRequest> parseRequestHead(std::string_view head) {
  std::size_t lineEnd = head.find("\r\n");
  const std::string_view first = head.substr(0, lineEnd);
  const std::size_t a = first.find(' ');
  const std::size_t b = first.rfind(' ');
  if (a == std::string_view::npos || b == a || a == 0 || b == a + 1) return std::nullopt;
  SimRequest request;
  request.method = std::string(first.substr(0, a));
  request.target = std::string(first.substr(a + 1, b - a - 1));
  while (lineEnd != std::string_view::npos) {
    head.remove_prefix(lineEnd + 2);
    lineEnd = head.find("\r\n");
    const std::string_view line = head.substr(0, lineEnd);
    if (line.empty()) break;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(std::string(trim(line.substr(0, colon))),
                                 std::string(trim(line.substr(colon + 1))));
  }
  return request;
}

std::optional<SimRequest> readRequestHead(int fd, int wakeFd, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string head;
  std::size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    if (head.size() > kMaxRequestHead) return std::nullopt;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::array<pollfd, 2> fds{};
    fds[0] = {wakeFd, POLLIN, 0};
    fds[1] = {fd, POLLIN, 0};
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[0].revents != 0) return std::nullopt;
    char buffer[2048];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    head.append(buffer, static_cast<std::size_t>(n));
  }
  return parseRequestHead(std::string_view(head).substr(0, end + 2));
}

bool hasBasicCredentials(const SimRequest& request, std::string_view user,
                         std::string_view password) {
  const std::optional<std::string> field = request.header("Authorization");
  const auto given = authorization(field, "Basic");
  if (!given) return false;
  const std::string plain = std::string(user) + ":" + std::string(password);
  return *given ==
         encodeBase64(std::span(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size()));
}

std::string digestChallenge(std::string_view realm, std::string_view nonce) {
  return "Digest realm=\"" + std::string(realm) + "\", qop=\"auth\", nonce=\"" +
         std::string(nonce) + "\", algorithm=MD5";
}

bool hasDigestCredentials(const SimRequest& request, std::string_view realm, std::string_view nonce,
                          std::string_view user, std::string_view password) {
  const std::optional<std::string> field = request.header("Authorization");
  const auto given = authorization(field, "Digest");
  if (!given) return false;
  auto p = authParameters(*given);
  if (p["username"] != user || p["realm"] != realm || p["nonce"] != nonce ||
      p["uri"] != request.target) {
    return false;
  }
  const auto algorithm = p.find("algorithm");
  if (algorithm != p.end() && !equalsNoCase(algorithm->second, "MD5")) return false;
  const std::string ha1 =
      md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
  const std::string ha2 = md5Hex(request.method + ":" + request.target);
  const std::string& qop = p["qop"];
  std::string expected;
  if (qop.empty()) {
    expected = md5Hex(ha1 + ":" + std::string(nonce) + ":" + ha2);
  } else if (qop == "auth") {
    expected = md5Hex(ha1 + ":" + std::string(nonce) + ":" + p["nc"] + ":" + p["cnonce"] + ":" +
                      qop + ":" + ha2);
  } else {
    return false;
  }
  return equalsNoCase(p["response"], expected);
}

std::string md5Hex(std::string_view bytes) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_md5(), nullptr) != 1) {
    return {};
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace vistel::sim
