#include "vistel/platform/url.h"

#include "vistel/platform/curl_runtime_p.h"

namespace vistel {

namespace {

std::optional<std::string> urlPart(CURLU* url, CURLUPart which) {
  char* raw = nullptr;
  if (curl_url_get(url, which, &raw, 0) != CURLUE_OK || raw == nullptr) return std::nullopt;
  const detail::CurlString owned(raw);
  return std::string(owned.get());
}

}  // namespace

std::optional<UrlParts> parseUrl(std::string_view address) {
  const detail::CurlUrl url(curl_url());
  if (!url) return std::nullopt;
  const std::string text(address);
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(),
                   CURLU_NON_SUPPORT_SCHEME | CURLU_PATH_AS_IS) != CURLUE_OK) {
    return std::nullopt;
  }
  return UrlParts{urlPart(url.get(), CURLUPART_SCHEME), urlPart(url.get(), CURLUPART_HOST),
                  urlPart(url.get(), CURLUPART_PORT), urlPart(url.get(), CURLUPART_PATH),
                  urlPart(url.get(), CURLUPART_QUERY)};
}

}  // namespace vistel
