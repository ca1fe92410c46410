#include <mutex>

#include "vistel/platform/curl_runtime_p.h"

namespace vistel::detail {

bool ensureCurlRuntime() {
  static std::once_flag once;
  static bool ok = false;  // written once under `once`, read after it
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

}  // namespace vistel::detail
