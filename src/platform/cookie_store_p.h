#pragma once

// How HTTP transfers reach the process cookie store. Private to the HTTP layer.

#include <curl/curl.h>

namespace vistel::detail {

class CookieStoreAccess {
 public:
  // Lets `easy` send and record cookies through the process store. Call before
  // the transfer starts; thread-safe. False when the store is unusable.
  [[nodiscard]] static bool attach(CURL* easy);
  // Writes the jar when the persistent cookies changed since the last write;
  // failures are ignored (the cookies stay in memory). Thread-safe.
  static void persist();
};

}  // namespace vistel::detail
