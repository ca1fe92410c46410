#pragma once

// What an RTSP camera answers when asked for its stream, for the control's
// camera check (the same question the check asks an HTTP camera).
//
// Thread-safety: any thread; each call has a connection of its own.

#include <cstdint>
#include <string_view>

namespace vistel {

// Asks the camera at `address` (rtsp://...) for its stream as a view would,
// answering a Basic or Digest challenge with the address's user information,
// and hangs up. Returns 200 when it would send (whatever it sends), its error
// status (401, 403, 404, ...), or 0 when it cannot be reached, does not
// answer within `answerTimeoutMs`, is no RTSP camera, or `address` is no RTSP
// address. Blocks until then.
[[nodiscard]] int rtspAnswerStatus(std::string_view address, std::uint32_t connectTimeoutMs,
                                   std::uint32_t answerTimeoutMs);

}  // namespace vistel
