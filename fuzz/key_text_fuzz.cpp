// Decodes arbitrary bytes as Base64 and as a key text, checks the reported
// lengths and the deciphering against the single-block primitive, and checks
// that encoding then decoding gives the input back.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "vistel/project/encoding.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

std::uint32_t loadLe(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const std::vector<std::uint8_t> plain = vistel::decodeBase64(text);
  std::size_t trailing = 0;
  while (trailing < size && text[size - 1 - trailing] == '=') ++trailing;
  const std::size_t quarters = size / 4 * 3 + size % 4 * 3 / 4;
  require(plain.size() == (quarters > trailing ? quarters - trailing : 0));

  const std::vector<std::uint8_t> key = vistel::decodeKeyText(text);
  require(key.size() == plain.size());
  for (std::size_t b = 0; b + 8 <= key.size(); b += 8) {
    std::uint32_t block[2] = {loadLe(&key[b]), loadLe(&key[b + 4])};
    for (int pass = 0; pass < 17; ++pass) vistel::xteaEncipherBlock(block);
    require(block[0] == loadLe(&plain[b]) && block[1] == loadLe(&plain[b + 4]));
  }
  require(std::equal(key.begin() + static_cast<std::ptrdiff_t>(key.size() / 8 * 8), key.end(),
                     plain.begin() + static_cast<std::ptrdiff_t>(plain.size() / 8 * 8)));

  // Round trips: the first 32 bytes as a key, the whole input as Base64.
  std::array<std::uint8_t, 32> quad{};
  std::copy_n(data, std::min<std::size_t>(size, quad.size()), quad.begin());
  const std::string sealed = vistel::encodeKeyText(quad);
  require(sealed.size() == vistel::kKeyTextLength && sealed.back() == '=' && sealed[42] != '=');
  const std::vector<std::uint8_t> opened = vistel::decodeKeyText(sealed);
  require(opened.size() == 32 && std::equal(opened.begin(), opened.end(), quad.begin()));

  const std::string encoded = vistel::encodeBase64({data, size});
  require(encoded.size() == (size + 2) / 3 * 4);
  const std::vector<std::uint8_t> decoded = vistel::decodeBase64(encoded);
  require(decoded.size() == size && std::equal(decoded.begin(), decoded.end(), data));
  return 0;
}
