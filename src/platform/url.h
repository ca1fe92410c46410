#pragma once

// Addresses split into their parts by libcurl's URL parser, the one the HTTP
// layer itself uses, so that a host reads an address exactly as the layer
// that opens it will. Thread-safe (pure functions).

#include <optional>
#include <string>
#include <string_view>

namespace vistel {

// The parts of a parsed address, each absent when the address has none (an
// absent port is not filled in from the scheme).
struct UrlParts {
  std::optional<std::string> scheme;
  std::optional<std::string> host;
  std::optional<std::string> port;
  std::optional<std::string> path;  // as written: no dot segments removed
  std::optional<std::string> query;
};

// Splits `address`, of any scheme (ftp, file, rtsp as well as http). Nothing
// when it is no absolute address.
[[nodiscard]] std::optional<UrlParts> parseUrl(std::string_view address);

}  // namespace vistel
