#pragma once

// Addresses of RTSP cameras: rtsp://[user[:password]@]host[:port]/path[?query].
//
// The query parameter `transport` (`tcp`, the default, or `udp`, in any case)
// is the viewer's own: it chooses how the pictures travel and is taken out of
// the address before the camera sees it. Every other parameter belongs to the
// camera and is passed on unchanged, in its place. User and password stay as
// written (percent-encoded where they hold reserved characters); the
// connection decodes them when it answers the camera's Basic or Digest
// challenge.
//
// Thread-safety: pure functions over values.

#include <cstdint>
#include <string>
#include <string_view>

namespace vistel {

// How RTP packets travel: interleaved in the RTSP connection, or as UDP
// datagrams.
enum class RtspTransport : std::int32_t { Tcp = 0, Udp = 1 };

// "tcp" or "udp".
[[nodiscard]] const char* rtspTransportName(RtspTransport transport);

// The parts of an RTSP address.
struct RtspAddress {
  std::string user;      // as written; empty without user information
  std::string password;  // as written; empty without one
  bool hasUserInfo = false;
  std::string host;       // a name, an IPv4 address or a bracketed IPv6 address
  std::int32_t port = 0;  // 0 when the address names none (the camera's default, 554)
  std::string path;       // from the "/" after the authority (empty when none), with the
                          // camera's query parameters; no fragment
  RtspTransport transport = RtspTransport::Tcp;
};

// True when `address` starts with "rtsp://" in any case.
[[nodiscard]] bool isRtspAddress(std::string_view address);

// Splits `address`. False, with `out` unchanged, when it is no RTSP address,
// has no host, a port that is not a number from 1 to 65535, a `transport`
// other than tcp or udp, or a space or control character anywhere.
[[nodiscard]] bool parseRtspAddress(std::string_view address, RtspAddress& out);

// The address to connect to: "rtsp://", the user information when there is
// any, host, ":port" when one was given, and the path with the camera's
// query parameters (without `transport`).
[[nodiscard]] std::string connectionUrl(const RtspAddress& address);

}  // namespace vistel
