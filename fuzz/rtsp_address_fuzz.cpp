// Parses arbitrary text as an RTSP camera address and checks that the
// address to connect to reads back as the same parts, with no transport
// parameter left for the camera to see.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vistel/imaging/rtsp_address.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vistel::RtspAddress address;
  if (!vistel::parseRtspAddress(text, address)) return 0;
  require(!address.host.empty());
  require(address.port >= 0 && address.port <= 65535);
  const std::string url = vistel::connectionUrl(address);
  vistel::RtspAddress again;
  require(vistel::parseRtspAddress(url, again));
  require(again.host == address.host && again.port == address.port && again.path == address.path &&
          again.user == address.user && again.hasUserInfo == address.hasUserInfo &&
          again.password == address.password && again.transport == vistel::RtspTransport::Tcp);
  return 0;
}
