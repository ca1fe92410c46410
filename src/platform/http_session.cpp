#include "vistel/platform/http_session.h"

#include <algorithm>

namespace vistel {

void HttpSession::setConnectTimeout(std::uint32_t ms) {
  connectTimeoutMs_.store(std::max<std::uint32_t>(ms, 1), std::memory_order_relaxed);
}

std::uint32_t HttpSession::connectTimeout() const {
  return connectTimeoutMs_.load(std::memory_order_relaxed);
}

void HttpSession::setReceiveTimeout(std::uint32_t ms) {
  receiveTimeoutMs_.store(std::max<std::uint32_t>(ms, 1), std::memory_order_relaxed);
}

std::uint32_t HttpSession::receiveTimeout() const {
  return receiveTimeoutMs_.load(std::memory_order_relaxed);
}

std::unique_ptr<HttpResponse> HttpSession::open(std::string_view url, HttpOpenFlags flags,
                                                HttpError* error, HttpCancel* cancel) const {
  HttpError reason = HttpError::None;
  auto response =
      HttpResponse::open(url, flags, connectTimeout(), receiveTimeout(), cancel, reason);
  if (error) *error = reason;
  return response;
}

}  // namespace vistel
