#pragma once

// The little HTTP the camera simulator needs: reading a request head from a
// socket, and checking Basic and Digest answers. Internal to the simulator.
//
// Thread-safety: pure functions, or functions of one socket.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistel::sim {

struct SimRequest {
  std::string method;
  std::string target;                                        // as sent, query included
  std::vector<std::pair<std::string, std::string>> headers;  // in order, values trimmed

  // Value of the first field `name` (any letter case), or nothing.
  std::optional<std::string> header(std::string_view name) const;
  // The target without its query.
  std::string_view path() const;
};

// Longest request head read; longer ones end the connection.
inline constexpr std::size_t kMaxRequestHead = 16 * 1024;

// Reads one request head from `fd`, giving up when `wakeFd` becomes readable
// (the simulator stops), the client closes, the head exceeds kMaxRequestHead
// or `limit` passes. Nothing on any of those or on a malformed request line.
std::optional<SimRequest> readRequestHead(int fd, int wakeFd, std::chrono::milliseconds limit);

// Parses a complete head (request line and fields, "\r\n" line ends).
std::optional<SimRequest> parseRequestHead(std::string_view head);

// True when `request` carries "Authorization: Basic" with user:password.
bool hasBasicCredentials(const SimRequest& request, std::string_view user,
                         std::string_view password);

// The WWW-Authenticate value of the Digest challenge (MD5, qop "auth").
std::string digestChallenge(std::string_view realm, std::string_view nonce);

// True when `request` answers that challenge rightly for user:password
// (RFC 7616 with MD5, with or without qop) for its own method and target.
bool hasDigestCredentials(const SimRequest& request, std::string_view realm, std::string_view nonce,
                          std::string_view user, std::string_view password);

// Lower-case hexadecimal MD5 of `bytes`.
std::string md5Hex(std::string_view bytes);

}  // namespace vistel::sim
