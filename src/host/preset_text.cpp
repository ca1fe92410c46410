#include "vistel/host/preset_text.h"

#include <locale.h>
#include <stdlib.h>

#include <charconv>
#include <cmath>
#include <limits>

namespace vistel {

namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipSpace(std::string_view text, std::size_t pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
  return pos;
}

std::size_t skipDigits(std::string_view text, std::size_t pos) {
  while (pos < text.size() && isDigit(text[pos])) ++pos;
  return pos;
}

// Length of the decimal number at the start of `text`, 0 when there is none.
// Hexadecimal, "inf" and "nan" are not numbers here, unlike for strtod.
std::size_t matchDecimal(std::string_view text) {
  std::size_t pos = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) ++pos;
  const std::size_t intStart = pos;
  pos = skipDigits(text, pos);
  bool digits = pos > intStart;
  if (pos < text.size() && text[pos] == '.') {
    const std::size_t fracStart = pos + 1;
    const std::size_t fracEnd = skipDigits(text, fracStart);
    if (digits || fracEnd > fracStart) {
      digits = true;
      pos = fracEnd;
    }
  }
  if (!digits) return 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    std::size_t exp = pos + 1;
    if (exp < text.size() && (text[exp] == '+' || text[exp] == '-')) ++exp;
    const std::size_t expEnd = skipDigits(text, exp);
    if (expEnd > exp) pos = expEnd;
  }
  return pos;
}

// Converts a matched number. strtod_l in the "C" locale rounds correctly and
// turns overflow into infinity and underflow into 0; the process locale (a
// toolkit may set one with "," as decimal point) is never consulted.
float convertDecimal(std::string_view number) {
  static const locale_t cLocale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const std::string copy(number);
  const double value =
      cLocale ? ::strtod_l(copy.c_str(), nullptr, cLocale) : std::strtod(copy.c_str(), nullptr);
  // Narrowing an out-of-range double to float is undefined; say what we mean.
  if (value > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (value < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

void appendFixed2(std::string& out, float value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, static_cast<double>(value),
                                    std::chars_format::fixed, 2);
  if (result.ec == std::errc()) {
    out.append(buffer, result.ptr);
  } else {
    out += "0.00";  // only a float beyond 60 digits, which cannot happen
  }
}

}  // namespace

float leadingDecimal(std::string_view text) {
  const std::size_t start = skipSpace(text, 0);
  const std::string_view rest = text.substr(start);
  const std::size_t length = matchDecimal(rest);
  return length == 0 ? 0.0f : convertDecimal(rest.substr(0, length));
}

std::int32_t leadingInteger(std::string_view text) {
  std::size_t pos = skipSpace(text, 0);
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; pos < text.size() && isDigit(text[pos]); ++pos) {
    value = std::min(kLimit, value * 10 + (text[pos] - '0'));
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

bool parseDecimal(std::string_view text, float& value) {
  std::size_t start = skipSpace(text, 0);
  std::size_t end = text.size();
  while (end > start && isSpace(text[end - 1])) --end;
  const std::string_view inner = text.substr(start, end - start);
  if (inner.empty() || matchDecimal(inner) != inner.size()) return false;
  value = convertDecimal(inner);
  return true;
}

ViewPosition parsePreset(std::string_view text) {
  ViewPosition entry{-1.0f, 0.0f, 0.0f, 0.0f};
  std::size_t pos = 0;
  for (int field = 0; field <= 2 && pos < text.size(); ++field) {
    const std::size_t end = text.find(';', pos);
    if (end == std::string_view::npos) break;
    const std::string_view token = text.substr(pos, end - pos);
    if (field == 0) {
      entry.navProgress = leadingDecimal(token);
    } else if (field == 1) {
      const std::size_t comma = token.find(',');
      if (comma != std::string_view::npos) {
        entry.xOffset = leadingDecimal(token.substr(0, comma));
        entry.yOffset = leadingDecimal(token.substr(comma + 1));
      }
    } else {
      entry.zoomFactor = leadingDecimal(token);
    }
    pos = end + 1;
  }
  return entry;
}

std::string formatPositionText(float navProgress, float xOffset, float yOffset, float zoomFactor) {
  std::string text;
  appendFixed2(text, navProgress);
  text += ';';
  appendFixed2(text, xOffset);
  text += ',';
  appendFixed2(text, yOffset);
  text += ';';
  appendFixed2(text, zoomFactor);
  text += ';';
  return text;
}

}  // namespace vistel
