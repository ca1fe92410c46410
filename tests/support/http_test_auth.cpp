// Authentication helpers of the loopback HTTP test server: Base64, MD5 and
// the checks of Basic and Digest answers.

#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>

#include "support/http_test_server.h"

namespace vistel::test {

namespace {

// MD5 after RFC 1321, kept here so the test server needs no crypto library.
class Md5 {
 public:
  void update(std::string_view data) {
    for (unsigned char c : data) {
      buffer_[used_++] = c;
      if (used_ == 64) {
        block(buffer_.data());
        used_ = 0;
      }
    }
    length_ += data.size();
  }

  std::array<std::uint8_t, 16> finish() {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80;
    update(std::string_view(reinterpret_cast<const char*>(&one), 1));
    const char zero = 0;
    while (used_ != 56) update(std::string_view(&zero, 1));
    std::array<char, 8> tail{};
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
    update(std::string_view(tail.data(), tail.size()));
    std::array<std::uint8_t, 16> digest{};
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j)
        digest[i * 4 + j] = static_cast<std::uint8_t>((state_[i] >> (8 * j)) & 0xFF);
    return digest;
  }

 private:
  static std::uint32_t rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

  void block(const std::uint8_t* p) {
    static constexpr std::array<int, 64> kShift = {
        7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
        14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
        4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21};
    static const std::array<std::uint32_t, 64> kSine = [] {
      std::array<std::uint32_t, 64> table{};
      for (int i = 0; i < 64; ++i)
        table[i] = static_cast<std::uint32_t>(std::fabs(std::sin(static_cast<double>(i + 1))) *
                                              4294967296.0);
      return table;
    }();
    std::array<std::uint32_t, 16> m{};
    for (int i = 0; i < 16; ++i)
      m[i] = static_cast<std::uint32_t>(p[i * 4]) |
             (static_cast<std::uint32_t>(p[i * 4 + 1]) << 8) |
             (static_cast<std::uint32_t>(p[i * 4 + 2]) << 16) |
             (static_cast<std::uint32_t>(p[i * 4 + 3]) << 24);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int i = 0; i < 64; ++i) {
      std::uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const std::uint32_t next = d;
      d = c;
      c = b;
      b = b + rotate(a + f + kSine[i] + m[g], kShift[i]);
      a = next;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
  }

  std::array<std::uint32_t, 4> state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t used_ = 0;
  std::uint64_t length_ = 0;
};

// Splits `a="x", b=y, ...` into lower-case keys and unquoted values.
std::map<std::string, std::string> authParameters(std::string_view text) {
  std::map<std::string, std::string> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
    const std::size_t keyStart = i;
    while (i < text.size() && text[i] != '=' && text[i] != ',') ++i;
    std::string key(text.substr(keyStart, i - keyStart));
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string value;
    if (i < text.size() && text[i] == '=') {
      ++i;
      if (i < text.size() && text[i] == '"') {
        ++i;
        while (i < text.size() && text[i] != '"') {
          if (text[i] == '\\' && i + 1 < text.size()) ++i;
          value += text[i++];
        }
        ++i;
      } else {
        while (i < text.size() && text[i] != ',' && text[i] != ' ') value += text[i++];
      }
    }
    if (!key.empty()) out[key] = value;
  }
  return out;
}

}  // namespace

std::string md5Hex(std::string_view bytes) {
  Md5 md5;
  md5.update(bytes);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : md5.finish()) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const std::uint32_t v = (static_cast<std::uint8_t>(bytes[i]) << 16) |
                            (static_cast<std::uint8_t>(bytes[i + 1]) << 8) |
                            static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    std::uint32_t v = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool hasBasicAuth(const HttpTestRequest& request, std::string_view user,
                  std::string_view password) {
  const auto value = request.header("Authorization");
  return value &&
         *value == "Basic " + base64Encode(std::string(user) + ":" + std::string(password));
}

std::string digestChallenge(std::string_view realm, std::string_view nonce) {
  return "Digest realm=\"" + std::string(realm) + "\", qop=\"auth\", nonce=\"" +
         std::string(nonce) + "\", algorithm=MD5";
}

bool hasDigestAuth(const HttpTestRequest& request, std::string_view realm, std::string_view nonce,
                   std::string_view user, std::string_view password) {
  const auto value = request.header("Authorization");
  if (!value || value->rfind("Digest ", 0) != 0) return false;
  auto p = authParameters(std::string_view(*value).substr(7));
  if (p["username"] != user || p["realm"] != realm || p["nonce"] != nonce ||
      p["uri"] != request.target)
    return false;
  const std::string ha1 =
      md5Hex(std::string(user) + ":" + std::string(realm) + ":" + std::string(password));
  const std::string ha2 = md5Hex(request.method + ":" + p["uri"]);
  const std::string expected = p.count("qop")
                                   ? md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" +
                                            p["cnonce"] + ":" + p["qop"] + ":" + ha2)
                                   : md5Hex(ha1 + ":" + p["nonce"] + ":" + ha2);
  return p["response"] == expected;
}

}  // namespace vistel::test
