#pragma once

// Content encodings of project documents and of the key texts that cross the
// control interface: Base64, and key texts (Base64 of a 32-byte key quad whose
// four 8-byte blocks are each enciphered seventeen times with XTEA under the
// system's one fixed 128-bit key).

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vistel {

// Length of every key text: Base64 of 32 bytes, ending in one "=".
inline constexpr std::size_t kKeyTextLength = 44;

// Decodes Base64, skipping every character outside the alphabet (so blanks and
// line breaks are harmless) and ending at the first "=". The result has the
// reported length floor(0.75 * text.size()) minus the trailing "=" count (never
// below 0): zero-filled where decoding produced fewer bytes, cut where it
// produced more.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// Standard alphabet with "=" padding, no line breaks: (n + 2) / 3 * 4 characters.
std::string encodeBase64(std::span<const std::uint8_t> bytes);

// Base64-decodes `text` (as decodeBase64), then deciphers every complete
// 8-byte block; bytes past the last complete block stay as decoded. A key quad
// is the first 32 bytes; shorter results mean "no key".
std::vector<std::uint8_t> decodeKeyText(std::string_view text);

// Enciphers the 32 bytes block by block and Base64-encodes them: always 44
// characters ending in "=".
std::string encodeKeyText(const std::array<std::uint8_t, 32>& plain);

// The XTEA primitives behind key texts, exposed for tests: one block of two
// little-endian words, 32 cycles, under the system key.
void xteaEncipherBlock(std::uint32_t block[2]);
void xteaDecipherBlock(std::uint32_t block[2]);

}  // namespace vistel
