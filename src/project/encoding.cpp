#include "vistel/project/encoding.h"

#include <algorithm>
#include <cstring>

#include "vistel/project/encoding_p.h"

namespace vistel {

namespace {

constexpr std::uint32_t kDelta = 0x9E3779B9u;
constexpr int kCycles = 32;
constexpr int kKeyTextPasses = 17;

// Base64 alphabet, and the reverse table: the sextet value, kSkip for every
// character outside the alphabet, kPad for "=".
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kSkip = 0x80;
constexpr std::uint8_t kPad = 0x81;

constexpr std::array<std::uint8_t, 256> makeReverseTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& entry : table) entry = kSkip;
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  table['='] = kPad;
  return table;
}
constexpr std::array<std::uint8_t, 256> kReverse = makeReverseTable();

// floor(0.75 * n) without overflow for any n.
constexpr std::size_t threeQuarters(std::size_t n) { return n / 4 * 3 + n % 4 * 3 / 4; }

// The round keys (sum + key word) of the 32 cycles depend only on the key, so
// the system key's are computed once at compile time: first[c] is mixed into
// the first word, second[c] into the second word of cycle c.
struct Schedule {
  std::array<std::uint32_t, kCycles> first{};
  std::array<std::uint32_t, kCycles> second{};
};

constexpr Schedule makeSchedule(const std::array<std::uint32_t, 4>& key) {
  Schedule s;
  std::uint32_t sum = 0;
  for (int c = 0; c < kCycles; ++c) {
    s.first[c] = sum + key[sum & 3];
    sum += kDelta;
    s.second[c] = sum + key[(sum >> 11) & 3];
  }
  return s;
}
constexpr Schedule kSystemSchedule = makeSchedule(kKeyTextCipherKey);

constexpr std::uint32_t mix(std::uint32_t v) { return ((v << 4) ^ (v >> 5)) + v; }

void encipher(std::uint32_t block[2], const Schedule& s) {
  std::uint32_t v0 = block[0], v1 = block[1];
  for (int c = 0; c < kCycles; ++c) {
    v0 += mix(v1) ^ s.first[c];
    v1 += mix(v0) ^ s.second[c];
  }
  block[0] = v0;
  block[1] = v1;
}

void decipher(std::uint32_t block[2], const Schedule& s) {
  std::uint32_t v0 = block[0], v1 = block[1];
  for (int c = kCycles - 1; c >= 0; --c) {
    v1 -= mix(v0) ^ s.second[c];
    v0 -= mix(v1) ^ s.first[c];
  }
  block[0] = v0;
  block[1] = v1;
}

// Seventeen decipherings of many independent blocks side by side. All blocks
// share the round keys, so each step is element-wise arithmetic on vectors of
// eight lanes; several vectors in flight hide the latency of XTEA's long
// dependency chain. Vectors is 1, 2, 4 or 8 (8 to 64 blocks).
using Lanes = std::uint32_t __attribute__((vector_size(32)));
constexpr std::size_t kLaneCount = 8;
constexpr std::size_t kMaxVectors = 8;

template <std::size_t Vectors>
[[gnu::always_inline]] inline void decipherLanes(Lanes* v0, Lanes* v1) {
  for (int pass = 0; pass < kKeyTextPasses; ++pass) {
    for (int c = kCycles - 1; c >= 0; --c) {
      const std::uint32_t second = kSystemSchedule.second[c];
      for (std::size_t i = 0; i < Vectors; ++i) {
        const Lanes a = v0[i];
        v1[i] -= (((a << 4) ^ (a >> 5)) + a) ^ second;
      }
      const std::uint32_t first = kSystemSchedule.first[c];
      for (std::size_t i = 0; i < Vectors; ++i) {
        const Lanes a = v1[i];
        v0[i] -= (((a << 4) ^ (a >> 5)) + a) ^ first;
      }
    }
  }
}

template <std::size_t Vectors>
void decipherLanesPlain(Lanes* v0, Lanes* v1) {
  decipherLanes<Vectors>(v0, v1);
}

#if defined(__x86_64__) || defined(__i386__)
#define VISTEL_HAVE_AVX2_PATH 1
// The same code with 256-bit registers, chosen at run time where the
// processor has them: twice the blocks per instruction.
template <std::size_t Vectors>
__attribute__((target("avx2"))) void decipherLanesAvx2(Lanes* v0, Lanes* v1) {
  decipherLanes<Vectors>(v0, v1);
}
#endif

template <std::size_t Vectors>
void decipherVectors(Lanes* v0, Lanes* v1, bool avx2) {
#ifdef VISTEL_HAVE_AVX2_PATH
  if (avx2) {
    decipherLanesAvx2<Vectors>(v0, v1);
    return;
  }
#endif
  (void)avx2;
  decipherLanesPlain<Vectors>(v0, v1);
}

std::uint32_t loadLe(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void storeLe(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace

std::vector<std::uint8_t> decodeBase64(std::string_view text) {
  std::size_t trailingPads = 0;
  while (trailingPads < text.size() && text[text.size() - 1 - trailingPads] == '=') ++trailingPads;
  const std::size_t quarters = threeQuarters(text.size());
  const std::size_t reported = quarters > trailingPads ? quarters - trailingPads : 0;

  // Decoding never yields more than floor(0.75 * alphabet characters) + 1
  // bytes, so this room always suffices.
  std::vector<std::uint8_t> out(quarters + 3);
  std::uint8_t* o = out.data();
  std::uint32_t group = 0;
  int held = 0;
  for (const char ch : text) {
    const std::uint8_t v = kReverse[static_cast<unsigned char>(ch)];
    if (v == kSkip) continue;
    if (v == kPad) break;
    group = group << 6 | v;
    if (++held == 4) {
      o[0] = static_cast<std::uint8_t>(group >> 16);
      o[1] = static_cast<std::uint8_t>(group >> 8);
      o[2] = static_cast<std::uint8_t>(group);
      o += 3;
      group = 0;
      held = 0;
    }
  }
  if (held > 0) {
    group <<= 6 * (4 - held);
    *o++ = static_cast<std::uint8_t>(group >> 16);
    if (held == 3) *o++ = static_cast<std::uint8_t>(group >> 8);
  }
  // Past what was produced the buffer is still zero, as the contract wants.
  out.resize(reported);
  return out;
}

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t g =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    o[0] = kAlphabet[g >> 18];
    o[1] = kAlphabet[(g >> 12) & 63];
    o[2] = kAlphabet[(g >> 6) & 63];
    o[3] = kAlphabet[g & 63];
    o += 4;
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t g = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) g |= std::uint32_t{bytes[i + 1]} << 8;
    o[0] = kAlphabet[g >> 18];
    o[1] = kAlphabet[(g >> 12) & 63];
    o[2] = rest == 2 ? kAlphabet[(g >> 6) & 63] : '=';
    o[3] = '=';
  }
  return out;
}

namespace detail {

bool cpuHasAvx2() {
#ifdef VISTEL_HAVE_AVX2_PATH
  static const bool have = __builtin_cpu_supports("avx2");
  return have;
#else
  return false;
#endif
}

void decipherKeyBlocks(std::span<const std::span<std::uint8_t>> buffers, bool avx2) {
  // Blocks are gathered from all buffers into lanes, up to 64 at a time.
  std::uint8_t* blocks[kLaneCount * kMaxVectors];
  std::size_t held = 0;
  auto flush = [&] {
    Lanes v0[kMaxVectors] = {};
    Lanes v1[kMaxVectors] = {};
    for (std::size_t i = 0; i < held; ++i) {
      v0[i / kLaneCount][i % kLaneCount] = loadLe(blocks[i]);
      v1[i / kLaneCount][i % kLaneCount] = loadLe(blocks[i] + 4);
    }
    const std::size_t vectors = (held + kLaneCount - 1) / kLaneCount;
    if (vectors <= 1) {
      decipherVectors<1>(v0, v1, avx2);
    } else if (vectors <= 2) {
      decipherVectors<2>(v0, v1, avx2);
    } else if (vectors <= 4) {
      decipherVectors<4>(v0, v1, avx2);
    } else {
      decipherVectors<8>(v0, v1, avx2);
    }
    for (std::size_t i = 0; i < held; ++i) {
      storeLe(blocks[i], v0[i / kLaneCount][i % kLaneCount]);
      storeLe(blocks[i] + 4, v1[i / kLaneCount][i % kLaneCount]);
    }
    held = 0;
  };
  for (const std::span<std::uint8_t> buffer : buffers) {
    const std::size_t count = buffer.size() / 8;
    for (std::size_t b = 0; b < count; ++b) {
      blocks[held++] = buffer.data() + b * 8;
      if (held == std::size(blocks)) flush();
    }
  }
  if (held > 0) flush();
}

}  // namespace detail

void decipherKeyBlocks(std::span<const std::span<std::uint8_t>> buffers) {
  detail::decipherKeyBlocks(buffers, detail::cpuHasAvx2());
}

void decipherKeyBlocks(std::span<std::uint8_t> bytes) {
  const std::span<std::uint8_t> one[] = {bytes};
  decipherKeyBlocks(one);
}

std::vector<std::uint8_t> decodeKeyText(std::string_view text) {
  std::vector<std::uint8_t> bytes = decodeBase64(text);
  decipherKeyBlocks(bytes);
  return bytes;
}

std::string encodeKeyText(const std::array<std::uint8_t, 32>& plain) {
  std::array<std::uint8_t, 32> sealed = plain;
  for (std::size_t b = 0; b < sealed.size(); b += 8) {
    std::uint32_t block[2] = {loadLe(&sealed[b]), loadLe(&sealed[b + 4])};
    for (int pass = 0; pass < kKeyTextPasses; ++pass) encipher(block, kSystemSchedule);
    storeLe(&sealed[b], block[0]);
    storeLe(&sealed[b + 4], block[1]);
  }
  return encodeBase64(sealed);
}

void xteaEncipherBlock(std::uint32_t block[2]) { encipher(block, kSystemSchedule); }
void xteaDecipherBlock(std::uint32_t block[2]) { decipher(block, kSystemSchedule); }

void xteaEncipherBlock(std::uint32_t block[2], const std::array<std::uint32_t, 4>& key) {
  encipher(block, makeSchedule(key));
}

void xteaDecipherBlock(std::uint32_t block[2], const std::array<std::uint32_t, 4>& key) {
  decipher(block, makeSchedule(key));
}

}  // namespace vistel
