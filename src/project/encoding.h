#pragma once

// Content encodings of project documents and of the key texts that cross the
// control interface: Base64, and key texts (Base64 of a 32-byte key quad whose
// four 8-byte blocks are each enciphered seventeen times with XTEA under the
// system's one fixed 128-bit key, kKeyTextCipherKey).
//
// Thread-safety: every function is pure and may be called from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vistel {

// Length of every key text: Base64 of 32 bytes, ending in one "=".
inline constexpr std::size_t kKeyTextLength = 44;

// Bytes of the plain key behind a key text.
inline constexpr std::size_t kKeyTextPlainBytes = 32;

// The system key: the one 128-bit XTEA key under which every key text is
// enciphered and deciphered (loader, image registration, the control's default
// keys). It is the ASCII text "Vistel key texts" read as four little-endian
// words. Changing it makes every key text written so far unreadable.
inline constexpr std::array<std::uint32_t, 4> kKeyTextCipherKey = {0x74736956u, 0x6B206C65u,
                                                                   0x74207965u, 0x73747865u};

// Decodes Base64, skipping every character outside the alphabet (so blanks and
// line breaks are harmless) and ending at the first "=". A group cut short by
// the "=" or the end of the text yields one byte from one or two characters
// and two bytes from three. The result has the reported length
// floor(0.75 * text.size()) minus the count of "=" ending the text (never below
// 0): zero-filled where decoding produced fewer bytes, cut where it produced
// more.
std::vector<std::uint8_t> decodeBase64(std::string_view text);

// Standard alphabet with "=" padding, no line breaks: (n + 2) / 3 * 4 characters.
std::string encodeBase64(std::span<const std::uint8_t> bytes);

// Base64-decodes `text` (as decodeBase64), then deciphers every complete
// 8-byte block of that result; bytes past the last complete block stay as
// decoded. A key quad is the first 32 bytes; shorter results mean "no key".
std::vector<std::uint8_t> decodeKeyText(std::string_view text);

// Enciphers the 32 bytes block by block and Base64-encodes them: always 44
// characters ending in "=".
std::string encodeKeyText(const std::array<std::uint8_t, 32>& plain);

// Deciphers `bytes.size() / 8` complete blocks in place, each seventeen times
// under the system key; a trailing partial block is left alone. This is the
// second half of decodeKeyText, for callers that already hold the decoded bytes.
void decipherKeyBlocks(std::span<std::uint8_t> bytes);

// decipherKeyBlocks over several buffers at once. Blocks are independent, so
// many keys together run several times faster than one after another.
void decipherKeyBlocks(std::span<const std::span<std::uint8_t>> buffers);

// The XTEA primitives behind key texts, exposed for tests: one block of two
// words (as read little-endian from the 8 bytes of a key block), 32 cycles,
// one pass. Without `key` the system key is used.
void xteaEncipherBlock(std::uint32_t block[2]);
void xteaDecipherBlock(std::uint32_t block[2]);
void xteaEncipherBlock(std::uint32_t block[2], const std::array<std::uint32_t, 4>& key);
void xteaDecipherBlock(std::uint32_t block[2], const std::array<std::uint32_t, 4>& key);

}  // namespace vistel
