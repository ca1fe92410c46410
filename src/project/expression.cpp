#include <array>
#include <cmath>
#include <cstdio>

#include "vistel/project/expression_p.h"

namespace vistel::expr {

namespace {

bool equalsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// The truth words stand in for numbers wherever a literal is read, so that
// visible="yes" and visible="1" mean the same.
double wordValue(std::string_view text) {
  for (const char* word : {"false", "no", "off"}) {
    if (equalsIgnoringCase(text, word)) return 0;
  }
  for (const char* word : {"true", "yes", "on"}) {
    if (equalsIgnoringCase(text, word)) return 1;
  }
  return std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

double parseNumberLiteral(std::string_view text) {
  if (text.empty()) return 0;
  double value = 0;
  double divisor = 1;
  bool point = false;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (point) divisor *= 10;
    } else if (c == '.') {
      // A second point is final: no word contains one.
      if (point) return std::numeric_limits<double>::quiet_NaN();
      point = true;
    } else {
      return wordValue(text);
    }
  }
  // Many digits after the point overflow both parts to infinity, giving NaN,
  // which no word could rescue either.
  return point ? value / divisor : value;
}

void trimParentheses(std::string_view text, std::size_t& first, std::size_t& last,
                     std::ptrdiff_t count) {
  std::ptrdiff_t skipped = 0;
  while (first < last) {
    const char c = text[first];
    if (isBlank(c)) {
      ++first;
    } else if (c == '(' && skipped < count) {
      ++first;
      ++skipped;
    } else {
      break;
    }
  }
  skipped = 0;
  while (first < last) {
    const char c = text[last - 1];
    if (isBlank(c)) {
      --last;
    } else if (c == ')' && skipped < count) {
      --last;
      ++skipped;
    } else {
      break;
    }
  }
}

std::string formatFixed(double number) {
  // The longest "%f" of a double (-DBL_MAX) has 317 characters.
  std::array<char, 400> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), "%f", number);
  if (length < 0) return {};
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace vistel::expr
