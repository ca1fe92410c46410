#include "vistel/host/camera_credentials.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "vistel/imaging/rtsp_address.h"
#include "vistel/imaging/rtsp_answer.h"
#include "vistel/platform/cookie_store.h"
#include "vistel/platform/url.h"
#include "vistel/project/encoding.h"

namespace vistel {

namespace {

constexpr std::size_t kBlockBytes = 8;
constexpr std::uint8_t kPadByte = '=';
// Base64 of the longest record, with room to spare; anything longer was not
// written by storeCredentials and is not decoded at all.
constexpr std::size_t kMaxCookieValue =
    (2 + kMaxRememberedUser + kMaxRememberedPassword + kBlockBytes + 2) / 3 * 4;

// The server name shown in the prompt: the address's host, or the whole
// address when it is not a URL.
std::string promptHost(std::string_view address) {
  if (const auto url = parseUrl(address)) {
    std::string host = url->host.value_or(std::string());
    return host.empty() ? std::string(kCredentialPromptUnknownHost) : host;
  }
  return address.empty() ? std::string(kCredentialPromptUnknownHost) : std::string(address);
}

// Percent-encodes all but RFC 3986's unreserved characters, so that an "@",
// ":", "/" or "#" in a user name or password cannot move the end of the user
// information and send the rest of the address to a different host.
std::string encodeUserInfo(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                       (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
                       byte == '~';
    if (plain) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::uint32_t loadWord(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void storeWord(std::uint8_t* bytes, std::uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(word >> (8 * i));
}

enum class Direction { Encipher, Decipher };

// Runs every complete block through the cipher kCredentialCipherPasses times.
void cipherBlocks(std::span<std::uint8_t> bytes, Direction direction) {
  for (std::size_t at = 0; at + kBlockBytes <= bytes.size(); at += kBlockBytes) {
    std::uint32_t block[2] = {loadWord(&bytes[at]), loadWord(&bytes[at + 4])};
    for (int pass = 0; pass < kCredentialCipherPasses; ++pass) {
      if (direction == Direction::Encipher) {
        xteaEncipherBlock(block, kCredentialCipherKey);
      } else {
        xteaDecipherBlock(block, kCredentialCipherKey);
      }
    }
    storeWord(&bytes[at], block[0]);
    storeWord(&bytes[at + 4], block[1]);
  }
}

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

}  // namespace

// ---- Addresses ------------------------------------------------------------

bool normaliseAddress(std::string& address) {
  const auto url = parseUrl(address);
  if (!url) return false;
  const auto& scheme = url->scheme;
  if (!scheme || (*scheme != "ftp" && *scheme != "http" && *scheme != "https" &&
                  *scheme != "file" && *scheme != "rtsp")) {
    return false;
  }
  std::string rebuilt = *scheme + "://" + url->host.value_or("");
  // Dropping an explicit port would probe another server than the camera.
  if (url->port) rebuilt += ":" + *url->port;
  rebuilt += url->path.value_or("");
  if (url->query) rebuilt += "?" + *url->query;
  address = std::move(rebuilt);
  return true;
}

bool insertCredentials(std::string& address, std::string_view user, std::string_view password) {
  // An https or rtsp camera needs its credentials as much as an http one;
  // without them it would answer 401 to every password the user types.
  std::size_t at = std::string::npos;
  std::size_t after = 0;
  for (const std::string_view scheme : {"http://", "https://", "rtsp://"}) {
    const std::size_t found = address.find(scheme);
    if (found < at) {
      at = found;
      after = found + scheme.size();
    }
  }
  if (at == std::string::npos) return false;
  address.insert(after, encodeUserInfo(user) + ":" + encodeUserInfo(password) + "@");
  return true;
}

// ---- The remembered credentials ----------------------------------------------

std::vector<std::uint8_t> credentialRecord(std::string_view user, std::string_view password) {
  if (user.size() > kMaxRememberedUser || password.size() > kMaxRememberedPassword) return {};
  const std::size_t used = user.size() + password.size() + 2;
  const std::size_t pad = kBlockBytes - used % kBlockBytes;
  std::vector<std::uint8_t> record;
  record.reserve(used + pad);
  record.push_back(static_cast<std::uint8_t>(pad));
  record.push_back(static_cast<std::uint8_t>(user.size()));
  record.insert(record.end(), user.begin(), user.end());
  record.insert(record.end(), password.begin(), password.end());
  record.insert(record.end(), pad, kPadByte);
  return record;
}

bool readCredentialRecord(std::span<const std::uint8_t> record, std::string& user,
                          std::string& password) {
  // Without these checks a cookie from another key, or a damaged one, would
  // make the lengths point past the end of the record.
  const std::size_t n = record.size();
  if (n < kBlockBytes || n % kBlockBytes != 0) return false;
  const std::size_t pad = record[0];
  const std::size_t userBytes = record[1];
  if (pad < 1 || pad > kBlockBytes || 2 + userBytes > n - pad) return false;
  if (!std::all_of(record.end() - static_cast<std::ptrdiff_t>(pad), record.end(),
                   [](std::uint8_t b) { return b == kPadByte; })) {
    return false;
  }
  const auto* bytes = reinterpret_cast<const char*>(record.data());
  user.assign(bytes + 2, userBytes);
  password.assign(bytes + 2 + userBytes, n - pad - 2 - userBytes);
  return true;
}

std::string encodeCredentialCookie(std::string_view user, std::string_view password) {
  std::vector<std::uint8_t> record = credentialRecord(user, password);
  if (record.empty()) return {};
  cipherBlocks(record, Direction::Encipher);
  return encodeBase64(record);
}

bool decodeCredentialCookie(std::string_view value, std::string& user, std::string& password) {
  if (value.size() > kMaxCookieValue) return false;
  std::vector<std::uint8_t> record = decodeBase64(value);
  cipherBlocks(record, Direction::Decipher);
  return readCredentialRecord(record, user, password);
}

// The cookie store keeps cookies of http addresses. An rtsp camera's cookie is
// kept for its host under a path of its own that names its port (cookies do
// not tell ports apart, cameras behind one address do) and no HTTP request
// of the viewer asks for.
std::string cookieAddress(std::string_view address) {
  RtspAddress rtsp;
  if (!parseRtspAddress(address, rtsp)) return std::string(address);
  std::string path = rtsp.path.substr(0, rtsp.path.find('?'));
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  return "http://" + rtsp.host + "/.rtsp-" + std::to_string(rtsp.port == 0 ? 554 : rtsp.port) +
         path;
}

bool readStoredCredentials(std::string_view address, std::string& user, std::string& password) {
  // The store hands back the value alone, without "vistel_auth=".
  const auto value =
      CookieStore::instance().getCookie(cookieAddress(address), kCredentialCookieName);
  return value && decodeCredentialCookie(*value, user, password);
}

bool storeCredentials(std::string_view address, std::string_view user, std::string_view password) {
  const std::string value = encodeCredentialCookie(user, password);
  if (value.empty()) return false;
  // The cookie belongs to the camera's host and path; the password written
  // into the address has no business in the store's hands.
  std::string target(address);
  (void)normaliseAddress(target);
  return CookieStore::instance().setCookie(cookieAddress(target), kCredentialCookieName,
                                           value + std::string(kCredentialCookieExpiry));
}

// ---- Requests ---------------------------------------------------------------

CameraCredentials::CameraCredentials(HostUi& ui) : ui_(ui) {}

void CameraCredentials::setTimeouts(std::uint32_t connectMs, std::uint32_t receiveMs) {
  session_.setConnectTimeout(connectMs);
  session_.setReceiveTimeout(receiveMs);
  rtspConnectMs_ = connectMs;
  rtspAnswerMs_ = receiveMs;
}

int CameraCredentials::probeStatus(std::string_view address) const {
  if (isRtspAddress(address)) return rtspAnswerStatus(address, rtspConnectMs_, rtspAnswerMs_);
  auto response = session_.open(address, HttpOpenFlags::Reload | HttpOpenFlags::Binary);
  if (!response) return 0;
  const int status = response->status();
  response->close();
  return status;
}

bool CameraCredentials::execSilentUrl(std::string_view text) const {
  std::string address;
  address.reserve(text.size());
  for (const char c : text) {
    if (c == '+') {
      address += "%2b";
    } else {
      address += c;
    }
  }
  if (hasControlCharacter(address)) return false;
  const auto url = parseUrl(address);
  const auto scheme = url ? url->scheme : std::nullopt;
  if (!scheme || (*scheme != "http" && *scheme != "https")) return false;
  auto response = session_.open(address, HttpOpenFlags::Ascii);
  if (!response) return false;
  response->close();
  return true;
}

AccessResult CameraCredentials::accessAddress(std::string& address) {
  std::string candidate = address;
  (void)normaliseAddress(candidate);
  if (probeStatus(candidate) != 401) return AccessResult::NoAuthentication;

  (void)normaliseAddress(candidate);
  std::string user;
  std::string password;
  int status = 401;
  if (readStoredCredentials(candidate, user, password)) {
    (void)insertCredentials(candidate, user, password);
    status = probeStatus(candidate);
  }

  bool remember = false;
  if (status == 401) {
    const std::string host = promptHost(address);
    while (status == 401) {
      HostUi::Credentials typed;
      if (!ui_.promptCredentials(host, typed)) return AccessResult::GiveUp;
      // A prompt that lets an empty field through is taken as still open.
      if (typed.user.empty() || typed.password.empty()) continue;
      candidate = address;
      (void)insertCredentials(candidate, typed.user, typed.password);
      user = std::move(typed.user);
      password = std::move(typed.password);
      remember = typed.remember;
      status = probeStatus(candidate);
    }
  }

  if (status == 0) return AccessResult::GiveUp;
  if (remember) (void)storeCredentials(candidate, user, password);
  address = std::move(candidate);
  return AccessResult::Authenticated;
}

void CameraCredentials::checkCameraAddresses(std::span<std::string> addresses) {
  for (std::string& address : addresses) {
    if (accessAddress(address) == AccessResult::GiveUp) address.clear();
  }
}

}  // namespace vistel
