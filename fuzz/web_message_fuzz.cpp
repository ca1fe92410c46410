// Everything a page sends the server arrives as text messages; the picture
// addresses and project texts in them decide what the server fetches.
// Arbitrary bytes are read as a message, as a picture address and as text to
// mask: nothing may crash, a refused message says why, and masking is stable.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vistel/web/protocol.h"
#include "vistel/web/security.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const vistel::web::ClientMessage message = vistel::web::parseClientMessage(text);
  require((message.kind == vistel::web::ClientKind::Invalid) == !message.error.empty());
  if (message.kind == vistel::web::ClientKind::Call) require(message.args.is_array());
  if (message.kind == vistel::web::ClientKind::Hello) require(message.args.is_object());
  if (!message.carriesProject && message.kind != vistel::web::ClientKind::Invalid) {
    require(size <= vistel::web::kMaxCommandBytes);
  }

  (void)vistel::web::checkPictureAddress(text, "/nonexistent-vistel-folder");
  (void)vistel::web::checkSilentUrl(text, {"cam.example"});
  const std::string masked = vistel::web::maskPasswords(text);
  require(vistel::web::maskPasswords(masked) == masked);
  return 0;
}
