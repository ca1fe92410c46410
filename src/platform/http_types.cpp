#include "vistel/platform/http_types.h"

namespace vistel {

const char* httpErrorText(HttpError error) {
  switch (error) {
    case HttpError::None:
      return "no error";
    case HttpError::BadUrl:
      return "malformed URL";
    case HttpError::UnsupportedScheme:
      return "unsupported URL scheme";
    case HttpError::CannotResolve:
      return "host name not found";
    case HttpError::CannotConnect:
      return "cannot connect";
    case HttpError::TimedOut:
      return "timed out";
    case HttpError::Aborted:
      return "aborted";
    case HttpError::Closed:
      return "response closed";
    case HttpError::ConnectionLost:
      return "connection lost";
    case HttpError::TooManyRedirects:
      return "too many redirects";
    case HttpError::Protocol:
      return "malformed server reply";
    case HttpError::Tls:
      return "secure connection failed";
    case HttpError::Internal:
      return "internal failure";
  }
  return "unknown error";
}

}  // namespace vistel
