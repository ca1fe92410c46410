#pragma once

// Pieces shared by the two expression languages (number_expression.cpp and
// condition_expression.cpp) and by ScriptValue: operand literals, parenthesis
// trimming, "%f" formatting, and a range tree that lets long expressions find
// their operators without rescanning every slice.
//
// Thread-safety: functions are pure; a RangeTree is immutable once built.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/project/values.h"

namespace vistel::expr {

inline constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Texts up to this length are analysed by scanning each slice directly, which
// is cheapest for the short attribute values that make up nearly every call.
// Longer texts are indexed once, so that each slice costs O(log n) instead of
// a rescan; chains of thousands of operators would be quadratic otherwise.
inline constexpr std::size_t kDirectScanBytes = 64;

// Positions and depths are 32-bit to halve the memory of the indexed form;
// longer texts are refused (NaN, false). See kMaxExpressionBytes in values.h.
static_assert(kMaxExpressionBytes <
              static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()));

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

// An operand literal of either language: decimal digits with at most one
// point; the empty text is 0; "false", "no", "off" are 0 and "true", "yes",
// "on" are 1 in any case; anything else (signs, exponents, blanks) is NaN.
double parseNumberLiteral(std::string_view text);

// Narrows [first, last) of `text`: from the front skips blanks and up to
// `count` "(", then from the back blanks and up to `count` ")". A count below
// 1 skips blanks only. Never moves `first` past `last`.
void trimParentheses(std::string_view text, std::size_t& first, std::size_t& last,
                     std::ptrdiff_t count);

// printf's "%f" of `number` (90 becomes "90.000000").
std::string formatFixed(double number);

// Range queries over a fixed array with an associative, commutative `Combine`
// (iterative bottom-up segment tree, 2n entries).
template <class T, class Combine>
class RangeTree {
 public:
  RangeTree(const std::vector<T>& leaves, T identity, Combine combine)
      : size_(leaves.size()), identity_(identity), combine_(combine), nodes_(2 * leaves.size()) {
    for (std::size_t i = 0; i < size_; ++i) nodes_[size_ + i] = leaves[i];
    for (std::size_t i = size_; i-- > 1;) nodes_[i] = combine_(nodes_[2 * i], nodes_[2 * i + 1]);
  }

  // Combination of leaves [first, last); the identity when empty.
  T query(std::size_t first, std::size_t last) const {
    T result = identity_;
    for (first += size_, last += size_; first < last; first >>= 1, last >>= 1) {
      if (first & 1) result = combine_(result, nodes_[first++]);
      if (last & 1) result = combine_(result, nodes_[--last]);
    }
    return result;
  }

 private:
  std::size_t size_;
  T identity_;
  Combine combine_;
  std::vector<T> nodes_;
};

}  // namespace vistel::expr
