#include <algorithm>

#include "vistel/imaging/horspool_search_p.h"

namespace vistel::detail {

void HorspoolSearch::assign(std::string_view pattern) {
  pattern_.assign(pattern);
  const auto m = static_cast<std::uint32_t>(pattern_.size());
  table_.fill(m);
  // Later positions overwrite earlier ones: the last occurrence decides.
  for (std::uint32_t j = 0; j < m; ++j) table_[static_cast<std::uint8_t>(pattern_[j])] = m - 1 - j;
}

std::size_t HorspoolSearch::find(const std::uint8_t* text, std::size_t length) const {
  const std::size_t m = pattern_.size();
  if (m == 0) return 0;
  if (length < m) return npos;
  const auto* pattern = reinterpret_cast<const std::uint8_t*>(pattern_.data());
  const std::uint8_t last = pattern[m - 1];
  std::size_t i = m - 1;  // text position compared with the last pattern byte
  while (i < length) {
    std::uint8_t ch = text[i];
    if (ch != last) {
      // The common case on picture data: the last byte already differs.
      i += std::max<std::size_t>(table_[ch], 1);
      continue;
    }
    std::size_t k = i;
    std::size_t j = m - 1;
    for (;;) {
      if (j == 0) return k;
      --k;
      --j;
      ch = text[k];
      if (ch != pattern[j]) break;
    }
    i = k + std::max<std::size_t>(table_[ch], m - j);
  }
  return npos;
}

}  // namespace vistel::detail
