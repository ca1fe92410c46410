#pragma once

// Reference evaluators for both expression languages, written straight from
// their rules as plain recursion over substrings: slow, and unbounded in stack
// use, but easy to check by reading. The library's evaluators are compared
// against these over many generated expressions (expressions_test.cpp) and in
// the fuzz targets. Nothing here calls the library.

#include <climits>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace vistel::reference {

inline bool isBlank(char c) { return c == ' ' || c == '\t'; }

inline std::string lowerCase(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

inline double numberLiteral(const std::string& s) {
  if (s.empty()) return 0;
  double value = 0;
  double divisor = 0;
  bool divisorSet = false;
  bool failed = false;
  for (char c : s) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (divisorSet) divisor = divisor * 10;
    } else if (c == '.') {
      if (divisorSet) return NAN;  // a second point: NaN at once, no words
      divisorSet = true;
      divisor = 1;
    } else {
      failed = true;
      break;
    }
  }
  double result = failed ? NAN : divisorSet ? value / divisor : value;
  if (std::isnan(result)) {
    const std::string word = lowerCase(s);
    if (word == "false" || word == "no" || word == "off") return 0;
    if (word == "true" || word == "yes" || word == "on") return 1;
  }
  return result;
}

// Narrows [f, l) of s: blanks and up to n "(" from the front, then blanks and
// up to n ")" from the back.
inline void trim(const std::string& s, std::size_t& f, std::size_t& l, long n) {
  long skipped = 0;
  while (f < l && (isBlank(s[f]) || (s[f] == '(' && skipped < n))) {
    if (s[f] == '(') ++skipped;
    ++f;
  }
  skipped = 0;
  while (l > f && (isBlank(s[l - 1]) || (s[l - 1] == ')' && skipped < n))) {
    if (s[l - 1] == ')') ++skipped;
    --l;
  }
}

inline double number(const std::string& s) {
  int depth = 0;
  int opens = 0;
  long chosen = -1;
  int chosenDepth = INT_MIN;
  int chosenLevel = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    int level = 0;
    if (c == '(') {
      depth -= 1;
      opens += 1;
    } else if (c == ')') {
      depth += 1;
      if (depth > 0) return NAN;
    } else if (c == '[') {
      const std::size_t close = s.find(']', i + 1);
      if (close == std::string::npos) break;
      i = close;
    } else if (c == '%') {
      level = 1;
    } else if (c == '*' || c == '/') {
      level = 2;
    } else if (c == '+' || c == '-') {
      level = 3;
    }
    if (level != 0 && (depth > chosenDepth || (depth == chosenDepth && level >= chosenLevel))) {
      chosen = static_cast<long>(i);
      chosenDepth = depth;
      chosenLevel = level;
    }
  }
  if (depth != 0) return NAN;
  std::size_t f = 0;
  std::size_t l = s.size();
  if (chosen >= 0) {
    const std::size_t op = static_cast<std::size_t>(chosen);
    trim(s, f, l, -chosenDepth);
    const char c = s[op];
    if (c != '+' && c != '-' && op == f) return NAN;
    if (op + 1 == l) return NAN;
    const double left = number(s.substr(f, op - f));
    const double right = number(s.substr(op + 1, l - op - 1));
    if (c == '%') return std::fmod(left, right);
    if (c == '*') return left * right;
    if (c == '/') return left / right;
    if (c == '+') return left + right;
    return left - right;
  }
  trim(s, f, l, opens);
  const std::string operand = s.substr(f, l - f);
  if (operand.size() >= 2 && operand.front() == '[' && operand.back() == ']') return 0;
  return numberLiteral(operand);
}

// A value as a condition sees it: a text (read as an expression) or a number.
struct Value {
  bool isText = false;
  std::string text;
  double number = 0;

  static Value ofText(std::string t) { return Value{true, std::move(t), 0}; }
  static Value ofNumber(double n) { return Value{false, {}, n}; }
};

using Variables = std::map<std::string, Value>;

bool condition(const std::string& s, const Variables* variables);

inline bool truthOf(const Value& v) {
  return v.isText ? condition(v.text, nullptr) : v.number != 0;
}
inline double numberOf(const Value& v) { return v.isText ? number(v.text) : v.number; }
inline std::string textOf(const Value& v) {
  if (v.isText) return v.text;
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%f", v.number);
  return buffer;
}

struct ConditionText {
  const std::string& s;
  std::vector<int> depth;
  std::vector<int> cls;  // 0, 1, 5 or 6
  std::vector<bool> continuation;
  const Variables* variables;
};

inline Value conditionSlice(const ConditionText& t, std::size_t first, std::size_t last) {
  long op = -1;
  int deepest = INT_MAX;
  for (std::size_t i = first; i < last; ++i) {
    if (t.depth[i] < deepest) deepest = t.depth[i];
    if (t.cls[i] == 0 || t.continuation[i]) continue;
    if (op < 0) {
      op = static_cast<long>(i);
      continue;
    }
    const std::size_t o = static_cast<std::size_t>(op);
    if (t.depth[i] > t.depth[o] || (t.depth[i] == t.depth[o] && t.cls[i] >= t.cls[o])) {
      op = static_cast<long>(i);
    }
  }
  std::size_t f = first;
  std::size_t l = last;
  trim(t.s, f, l, op >= 0 ? -t.depth[static_cast<std::size_t>(op)] : -static_cast<long>(deepest));
  if (op < 0) {
    const std::string operand = t.s.substr(f, l - f);
    if (operand.empty()) return Value::ofNumber(0);
    if (operand.size() >= 2 && operand.front() == '\'' && operand.back() == '\'') {
      return Value::ofText(operand.substr(1, operand.size() - 2));
    }
    if (operand.front() == '[' && operand.back() == ']') {
      const std::string name = operand.substr(1, operand.size() - 2);
      if (t.variables != nullptr && name.size() <= 259) {
        const auto it = t.variables->find(name);
        if (it != t.variables->end()) return it->second;
      }
      return Value::ofNumber(0);
    }
    return Value::ofNumber(numberLiteral(operand));
  }
  const std::size_t o = static_cast<std::size_t>(op);
  std::size_t end = o + 1;
  while (end < t.s.size() && t.continuation[end]) ++end;
  const std::string opText = t.s.substr(o, end - o);
  if (t.cls[o] == 1) {
    return Value::ofNumber(truthOf(conditionSlice(t, end, l)) ? 0 : 1);
  }
  const Value left = conditionSlice(t, f, o);
  const Value right = conditionSlice(t, end, l);
  bool result = false;
  if (t.cls[o] == 6) {
    const bool a = truthOf(left);
    const bool b = truthOf(right);
    result = opText[0] == '&' ? (a && b) : (a || b);
  } else if (opText[0] == '$') {
    const std::string a = textOf(left);
    const std::string b = textOf(right);
    std::size_t k = 1;
    bool negate = false;
    if (opText[k] == '!') {
      negate = true;
      ++k;
    }
    if (opText[k] == '%') result = a.find(b) != std::string::npos;
    if (opText[k] == '<') result = a.compare(0, b.size(), b) == 0 && a.size() >= b.size();
    if (opText[k] == '=') result = a.compare(0, b.size(), b) == 0 && a.size() == b.size();
    if (opText[k] == '>') {
      const std::size_t at = a.find(b);
      result = at != std::string::npos && at + b.size() == a.size();
    }
    if (negate) result = !result;
  } else {
    const double a = numberOf(left);
    const double b = numberOf(right);
    std::size_t k = 0;
    bool negate = false;
    if (opText[0] == '!') {
      negate = true;
      k = 1;
    }
    const char next = k + 1 < opText.size() ? opText[k + 1] : '\0';
    if (opText[k] == '<') result = a < b || (next == '=' && a == b);
    if (opText[k] == '=') result = a == b;
    if (opText[k] == '>') result = a > b || (next == '=' && a == b);
    if (negate) result = !result;
  }
  return Value::ofNumber(result ? 1 : 0);
}

inline bool condition(const std::string& s, const Variables* variables) {
  if (s.empty()) return false;
  const std::size_t n = s.size();
  ConditionText t{s, std::vector<int>(n, 0), std::vector<int>(n, 0), std::vector<bool>(n, false),
                  variables};
  int depth = 0;
  auto isCmp = [&](std::size_t i) { return i < n && (s[i] == '<' || s[i] == '=' || s[i] == '>'); };
  auto isByte = [&](std::size_t i, char a, char b) { return i < n && (s[i] == a || s[i] == b); };
  std::size_t i = 0;
  while (i < n) {
    const char c = s[i];
    if (c == '(') depth -= 1;
    t.depth[i] = depth;
    if (c == ')') depth += 1;
    if (c == '&' || c == '|') {
      t.cls[i] = 6;
    } else if (c == '<' || c == '=' || c == '>') {
      t.cls[i] = 5;
      if (isByte(i + 1, '=', '>')) {
        t.continuation[i + 1] = true;
        t.depth[i + 1] = depth;
        i += 1;
      }
    } else if (c == '!') {
      if (isCmp(i + 1)) {
        t.cls[i] = 5;
        t.continuation[i + 1] = true;
        t.depth[i + 1] = depth;
        i += 1;
        if (isByte(i + 1, '=', '>')) {
          t.continuation[i + 1] = true;
          t.depth[i + 1] = depth;
          i += 1;
        }
      } else {
        t.cls[i] = 1;
      }
    } else if (c == '$') {
      t.cls[i] = 5;
      if (i + 1 < n && s[i + 1] == '!') {
        t.continuation[i + 1] = true;
        t.depth[i + 1] = depth;
        i += 1;
      }
      if (!(isCmp(i + 1) || (i + 1 < n && s[i + 1] == '%'))) return false;
      t.continuation[i + 1] = true;
      t.depth[i + 1] = depth;
      i += 1;
      if (i + 1 < n && s[i + 1] == '>') {
        t.continuation[i + 1] = true;
        t.depth[i + 1] = depth;
        i += 1;
      }
    } else if (c == '\'' || c == '[') {
      const std::size_t close = s.find(c == '\'' ? '\'' : ']', i + 1);
      if (close == std::string::npos) return false;
      for (std::size_t j = i; j <= close; ++j) t.depth[j] = depth;
      i = close;
    }
    i += 1;
  }
  if (depth != 0) return false;
  return truthOf(conditionSlice(t, 0, n));
}

}  // namespace vistel::reference
