// Authentication helpers of the loopback HTTP test server: the camera
// simulator's own checks of Basic and Digest answers, so the tests' servers
// and the simulator judge a client's credentials alike.

#include <span>

#include "sim_http.h"
#include "support/http_test_server.h"
#include "vistel/project/encoding.h"

namespace vistel::test {

namespace {

sim::SimRequest simRequest(const HttpTestRequest& request) {
  return {request.method, request.target, request.headers};
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
  return encodeBase64(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

bool hasBasicAuth(const HttpTestRequest& request, std::string_view user,
                  std::string_view password) {
  return sim::hasBasicCredentials(simRequest(request), user, password);
}

std::string digestChallenge(std::string_view realm, std::string_view nonce) {
  return sim::digestChallenge(realm, nonce);
}

bool hasDigestAuth(const HttpTestRequest& request, std::string_view realm, std::string_view nonce,
                   std::string_view user, std::string_view password) {
  return sim::hasDigestCredentials(simRequest(request), realm, nonce, user, password);
}

}  // namespace vistel::test
