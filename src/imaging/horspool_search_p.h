#pragma once

// Boyer-Moore-Horspool search over unsigned byte values: finds a delimiter in
// camera stream data without looking at most of the bytes.
//
// Shift rule: a 256-entry table holds, for each byte value, the distance from
// its last occurrence in the pattern to the pattern's end (the pattern length
// for bytes not in it). Comparison runs from the last pattern byte backwards;
// on a mismatch at pattern index j against text byte ch, the text position
// (the byte just compared) advances by max(table[ch], m - j), which moves the
// pattern at least one place and never past a possible match.
//
// Thread-safety: a built search is immutable; find() may run on any threads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vistel::detail {

class HorspoolSearch {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // An empty pattern (matches at offset 0).
  HorspoolSearch() { table_.fill(0); }
  // Copies `pattern` and builds its shift table.
  explicit HorspoolSearch(std::string_view pattern) { assign(pattern); }

  void assign(std::string_view pattern);

  std::string_view pattern() const { return pattern_; }
  std::size_t size() const { return pattern_.size(); }

  // Offset of the first occurrence of the pattern in [text, text + length), or
  // npos. An empty pattern matches at 0; a range shorter than the pattern
  // gives npos.
  std::size_t find(const std::uint8_t* text, std::size_t length) const;

 private:
  std::string pattern_;
  // Shifts never exceed the pattern length, which callers bound well below 2^32.
  std::array<std::uint32_t, 256> table_{};
};

}  // namespace vistel::detail
