#include "vistel/project/encoding.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vistel/project/encoding_p.h"

namespace vistel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::uint32_t beWord(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::array<std::uint32_t, 4> beKey(const std::array<std::uint8_t, 16>& k) {
  return {beWord(&k[0]), beWord(&k[4]), beWord(&k[8]), beWord(&k[12])};
}

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

// Published XTEA vectors, written for key and words read big-endian.
TEST(Xtea, MatchesPublishedVectors) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Vector vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", "4142434445464748", "497df3d072612cb5"},
      {"000102030405060708090a0b0c0d0e0f", "4141414141414141", "e78f2d13744341d8"},
      {"000102030405060708090a0b0c0d0e0f", "5a5b6e278948d77f", "4141414141414141"},
      {"00000000000000000000000000000000", "4142434445464748", "a0390589f8b8efa5"},
      {"00000000000000000000000000000000", "4141414141414141", "ed23375a821a8c2d"},
      {"00000000000000000000000000000000", "70e1225d6e4e7655", "4141414141414141"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.plain);
    std::array<std::uint8_t, 16> keyBytes{};
    const Bytes k = fromHex(v.key);
    std::copy(k.begin(), k.end(), keyBytes.begin());
    const auto key = beKey(keyBytes);
    const Bytes p = fromHex(v.plain);
    const Bytes c = fromHex(v.cipher);
    std::uint32_t block[2] = {beWord(&p[0]), beWord(&p[4])};
    xteaEncipherBlock(block, key);
    EXPECT_EQ(block[0], beWord(&c[0]));
    EXPECT_EQ(block[1], beWord(&c[4]));
    xteaDecipherBlock(block, key);
    EXPECT_EQ(block[0], beWord(&p[0]));
    EXPECT_EQ(block[1], beWord(&p[4]));
  }
}

TEST(Xtea, SystemKeyPrimitivesUseTheSystemKey) {
  std::uint32_t a[2] = {0x01234567u, 0x89abcdefu};
  std::uint32_t b[2] = {a[0], a[1]};
  xteaEncipherBlock(a);
  xteaEncipherBlock(b, kKeyTextCipherKey);
  EXPECT_EQ(a[0], b[0]);
  EXPECT_EQ(a[1], b[1]);
  EXPECT_NE(a[0], 0x01234567u);
  xteaDecipherBlock(a);
  EXPECT_EQ(a[0], 0x01234567u);
  EXPECT_EQ(a[1], 0x89abcdefu);
}

// Reference for the key-text cipher: each 8-byte block as two little-endian
// words, the verified single-pass primitive applied seventeen times.
void referenceBlocks(Bytes& bytes, bool encipher) {
  for (std::size_t b = 0; b + 8 <= bytes.size(); b += 8) {
    std::uint32_t w[2] = {0, 0};
    for (int i = 3; i >= 0; --i) {
      w[0] = w[0] << 8 | bytes[b + i];
      w[1] = w[1] << 8 | bytes[b + 4 + i];
    }
    for (int pass = 0; pass < 17; ++pass) {
      if (encipher) {
        xteaEncipherBlock(w, kKeyTextCipherKey);
      } else {
        xteaDecipherBlock(w, kKeyTextCipherKey);
      }
    }
    for (int i = 0; i < 4; ++i) {
      bytes[b + i] = static_cast<std::uint8_t>(w[0] >> (8 * i));
      bytes[b + 4 + i] = static_cast<std::uint8_t>(w[1] >> (8 * i));
    }
  }
}

// Reference Base64 decoder by the loader's rules, written bit by bit: skip
// outside the alphabet, stop at "=", reported length from the text length.
Bytes referenceDecode(std::string_view text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<int> bits;
  for (const char c : text) {
    if (c == '=') break;
    const auto pos = alphabet.find(c);
    if (pos == std::string::npos) continue;
    for (int i = 5; i >= 0; --i) bits.push_back(static_cast<int>(pos >> i) & 1);
  }
  // A partial group still yields its first byte (one or two characters) or
  // its first two (three characters); pad its bits with zeros to get them.
  const std::size_t chars = bits.size() / 6;
  std::size_t bytesOut = chars / 4 * 3 + (chars % 4 == 0 ? 0 : chars % 4 == 3 ? 2 : 1);
  bits.resize(std::max(bits.size(), bytesOut * 8), 0);
  Bytes decoded;
  for (std::size_t i = 0; i < bytesOut; ++i) {
    int v = 0;
    for (int j = 0; j < 8; ++j) v = v << 1 | bits[i * 8 + j];
    decoded.push_back(static_cast<std::uint8_t>(v));
  }
  long long trailing = 0;
  while (trailing < static_cast<long long>(text.size()) && text[text.size() - 1 - trailing] == '=')
    ++trailing;
  const long long reported = static_cast<long long>(text.size()) * 3 / 4 - trailing;
  decoded.resize(static_cast<std::size_t>(std::max(0LL, reported)), 0);
  return decoded;
}

TEST(Base64, StandardVectorsBothWays) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, text] : vectors) {
    EXPECT_EQ(encodeBase64(bytesOf(plain)), text);
    EXPECT_EQ(decodeBase64(text), bytesOf(plain)) << text;
  }
}

TEST(Base64, DecodingRules) {
  // Characters outside the alphabet are skipped but still count in the
  // reported length: a CR LF pair adds a zero byte.
  EXPECT_EQ(decodeBase64("Zm9v\nYmFy"), bytesOf("foobar"));
  EXPECT_EQ(decodeBase64("Zm9v\r\nYmFy"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r', 0}));
  EXPECT_EQ(decodeBase64("Zm 9v*YmFy!"), (Bytes{'f', 'o', 'o', 'b', 'a', 'r', 0, 0}));
  // Decoding ends at the first "="; the rest of the reported length is zero.
  EXPECT_EQ(decodeBase64("Zg==Zm9v"), (Bytes{'f', 0, 0, 0, 0, 0}));
  // Groups cut short: three characters give two bytes, two give one.
  EXPECT_EQ(decodeBase64("Zm9"), bytesOf("fo"));
  EXPECT_EQ(decodeBase64("Zg"), bytesOf("f"));
  EXPECT_EQ(decodeBase64("Z"), Bytes{});
  // More decoded than reported is cut.
  EXPECT_EQ(decodeBase64("Zm8=="), bytesOf("f"));
  // Lengths that the formula would make negative read as empty.
  EXPECT_EQ(decodeBase64("="), Bytes{});
  EXPECT_EQ(decodeBase64("===="), Bytes{});
  EXPECT_EQ(decodeBase64("A==="), Bytes{});
  EXPECT_EQ(decodeBase64("=========="), Bytes{});
}

TEST(Base64, DecoderAgreesWithBitwiseReference) {
  std::mt19937 rng(7);
  const std::string pool =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/==== \n\t-*\x80\xff";
  for (int round = 0; round < 3000; ++round) {
    std::string text(rng() % 40, ' ');
    for (char& c : text) c = pool[rng() % pool.size()];
    ASSERT_EQ(decodeBase64(text), referenceDecode(text)) << '"' << text << '"';
  }
}

TEST(Base64, EncodesEveryLengthAndByteAndRoundTrips) {
  std::mt19937 rng(11);
  for (std::size_t n = 0; n < 300; ++n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
      bytes[i] = static_cast<std::uint8_t>(n < 256 && i == 0 ? n : rng());
    const std::string text = encodeBase64(bytes);
    ASSERT_EQ(text.size(), (n + 2) / 3 * 4);
    ASSERT_EQ(
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
        std::string::npos);
    ASSERT_EQ(decodeBase64(text), bytes) << n;
  }
}

std::array<std::uint8_t, 32> randomKey(std::mt19937& rng) {
  std::array<std::uint8_t, 32> key{};
  for (auto& b : key) b = static_cast<std::uint8_t>(rng());
  return key;
}

TEST(KeyText, EncodesLikeTheReferenceAndRoundTrips) {
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    const auto plain = round == 0 ? std::array<std::uint8_t, 32>{} : randomKey(rng);
    const std::string text = encodeKeyText(plain);
    ASSERT_EQ(text.size(), kKeyTextLength);
    EXPECT_EQ(text.back(), '=');
    EXPECT_NE(text[42], '=');

    Bytes expected(plain.begin(), plain.end());
    referenceBlocks(expected, true);
    EXPECT_EQ(text, encodeBase64(expected));

    EXPECT_EQ(decodeKeyText(text), Bytes(plain.begin(), plain.end()));
  }
}

// A key text computed outside this code base (a separate XTEA written from the
// published algorithm) for the unit square quad: it pins the system key and
// the byte order, so key texts written elsewhere stay readable.
TEST(KeyText, MatchesAnIndependentlyComputedText) {
  const float quad[8] = {-0.5f, -0.5f, 0.5f, -0.5f, 0.5f, 0.5f, -0.5f, 0.5f};
  std::array<std::uint8_t, 32> plain{};
  std::memcpy(plain.data(), quad,
              sizeof quad);  // little-endian float32, as on every supported platform
  const std::string expected = "Nu5WI2clw1lQkUZDo2NqBPPoJSszxmOBh2qJwrGHDig=";
  EXPECT_EQ(encodeKeyText(plain), expected);
  EXPECT_EQ(decodeKeyText(expected), Bytes(plain.begin(), plain.end()));
}

TEST(KeyText, LineBreaksAndIndentationDoNotChangeTheKey) {
  std::mt19937 rng(5);
  const auto plain = randomKey(rng);
  const std::string text = encodeKeyText(plain);
  // Blanks inside the text are skipped by the decoder; the loader drops them
  // before decoding, so the reported length stays that of the 44 characters.
  std::string broken;
  for (std::size_t i = 0; i < text.size(); ++i) {
    broken += text[i];
    if (i % 11 == 10) broken += "\n      ";
  }
  Bytes decoded = decodeKeyText(broken);
  ASSERT_GE(decoded.size(), 32u);
  EXPECT_EQ(Bytes(decoded.begin(), decoded.begin() + 32), Bytes(plain.begin(), plain.end()));
}

TEST(KeyText, ShortTextsKeepTheirPartialBlockAsDecoded) {
  std::mt19937 rng(9);
  for (std::size_t n : {0u, 1u, 7u, 8u, 12u, 20u, 31u}) {
    Bytes raw(n);
    for (auto& b : raw) b = static_cast<std::uint8_t>(rng());
    const std::string text = encodeBase64(raw);
    const Bytes decoded = decodeKeyText(text);
    ASSERT_EQ(decoded.size(), n);
    Bytes expected = raw;
    referenceBlocks(expected, false);
    EXPECT_EQ(decoded, expected) << n;
    // The bytes past the last complete block are untouched.
    for (std::size_t i = n / 8 * 8; i < n; ++i) EXPECT_EQ(decoded[i], raw[i]);
  }
}

// The loader deciphers many keys at once in vector lanes; every grouping must
// give the single-block result.
TEST(KeyText, BatchedDecipheringMatchesBlockByBlock) {
  std::mt19937 rng(13);
  std::vector<Bytes> buffers;
  for (std::size_t n : {0u, 3u, 8u, 13u, 32u, 32u, 40u, 7u, 200u, 32u, 512u, 9u, 64u}) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    buffers.push_back(b);
  }
  std::vector<Bytes> expected = buffers;
  for (Bytes& b : expected) referenceBlocks(b, false);
  std::vector<bool> paths = {false};
  if (detail::cpuHasAvx2()) paths.push_back(true);
  for (const bool avx2 : paths) {
    SCOPED_TRACE(avx2 ? "avx2" : "portable");
    std::vector<Bytes> work = buffers;
    std::vector<std::span<std::uint8_t>> spans;
    for (Bytes& b : work) spans.emplace_back(b);
    detail::decipherKeyBlocks(spans, avx2);
    EXPECT_EQ(work, expected);
  }

  // Groups of every size from 1 to 70 blocks, one buffer at a time.
  for (std::size_t blocks = 1; blocks <= 70; ++blocks) {
    Bytes b(blocks * 8);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    Bytes want = b;
    referenceBlocks(want, false);
    decipherKeyBlocks(std::span<std::uint8_t>(b));
    ASSERT_EQ(b, want) << blocks;
  }
}

}  // namespace
}  // namespace vistel
