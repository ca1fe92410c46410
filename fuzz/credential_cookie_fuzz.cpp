// The remembered-credentials cookie comes back from the jar file, which any
// program of the user can edit. Arbitrary bytes are read as a cookie value and
// as a plain record; whatever is accepted must be exactly what the writer
// would produce for that user and password, so no length can point outside it.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vistel/host/camera_credentials.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::string user = "unset", password = "unset";
  if (vistel::decodeCredentialCookie(text, user, password)) {
    std::string again, againPassword;
    require(vistel::decodeCredentialCookie(vistel::encodeCredentialCookie(user, password), again,
                                           againPassword));
    require(again == user && againPassword == password);
  } else {
    require(user == "unset" && password == "unset");
  }

  if (vistel::readCredentialRecord({data, size}, user, password)) {
    const auto record = vistel::credentialRecord(user, password);
    require(password.size() > vistel::kMaxRememberedPassword ||
            std::equal(record.begin(), record.end(), data, data + size));
  }
  return 0;
}
