// Cookie texts come from servers (through libcurl's list), from the jar file
// and from callers: every parser must take any bytes, and whatever a jar line
// parses to must come back unchanged from its own formatted line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "vistel/platform/cookie_text_p.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vistel::detail;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto record = parseCookieLine(text)) {
    const auto again = parseCookieLine(formatCookieLine(*record));
    if (!again || !(*again == *record)) std::abort();
    (void)domainMatches(*record, "camera.example.test");
    (void)domainMatches(*record, text);
    (void)pathMatches(record->path, "/axis-cgi/mjpg/video.cgi");
  }

  if (const auto parsed = parseCookieData(text, 1'700'000'000)) {
    if (!isCookieValue(parsed->value)) std::abort();
    if (parsed->expires && *parsed->expires <= 0)
      std::abort();  // past dates are kept as 1, never 0 (session)
  }

  const std::string path = defaultCookiePath(text);
  if (path.empty() || path.front() != '/') std::abort();
  (void)pathMatches(text.substr(0, size / 2), text.substr(size / 2));
  (void)isCookieName(text);
  return 0;
}
