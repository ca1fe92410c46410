// Conditions over attribute text and script variables. Every byte gets a
// parenthesis depth and a class once; a slice is then split at its operator of
// the shallowest depth and highest class (the rightmost among equals, so equal
// classes group from the left), each side evaluated the same way.
//
// As with arithmetic, the split recurses once per operator in its natural
// form. Pending operators live on a heap stack here so that hostile nesting
// cannot exhaust the call stack, and long texts choose their operators through
// range queries instead of rescanning every slice.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vistel/project/expression_p.h"
#include "vistel/project/values.h"

namespace vistel {

namespace {

using expr::kNone;

enum Class : std::uint8_t {
  Operand = 0,
  Negation = 1,
  Comparison = 5,
  Logical = 6,
  Continuation = 0x80,  // a later byte of a comparison operator; never chosen
};

// Depth and class of every byte. Depths are those of the whole text, and a
// slice is trimmed by its absolute depth, so no per-slice offset is needed.
struct Tokens {
  std::vector<std::int32_t> depth;
  std::vector<std::uint8_t> kind;
};

bool isComparisonByte(char c) { return c == '<' || c == '=' || c == '>'; }

// False when the condition is malformed: "$" without its comparison byte, an
// unterminated quote or reference, or unbalanced parentheses.
bool tokenise(std::string_view text, Tokens& tokens) {
  const std::size_t size = text.size();
  tokens.depth.assign(size, 0);
  tokens.kind.assign(size, Operand);
  std::int32_t depth = 0;  // |depth| <= size, which kMaxExpressionBytes bounds
  auto mark = [&](std::size_t i, std::uint8_t kind) {
    tokens.depth[i] = depth;
    tokens.kind[i] = kind;
  };
  std::size_t i = 0;
  while (i < size) {
    const char c = text[i];
    if (c == '(') {
      --depth;
      mark(i++, Operand);
    } else if (c == ')') {
      mark(i++, Operand);
      ++depth;
    } else if (c == '&' || c == '|') {
      mark(i++, Logical);
    } else if (isComparisonByte(c)) {
      mark(i++, Comparison);
      if (i < size && (text[i] == '=' || text[i] == '>')) mark(i++, Continuation);
    } else if (c == '!') {
      if (i + 1 < size && isComparisonByte(text[i + 1])) {
        mark(i++, Comparison);
        mark(i++, Continuation);
        if (i < size && (text[i] == '=' || text[i] == '>')) mark(i++, Continuation);
      } else {
        mark(i++, Negation);
      }
    } else if (c == '$') {
      mark(i++, Comparison);
      if (i < size && text[i] == '!') mark(i++, Continuation);
      if (i >= size || !(text[i] == '%' || isComparisonByte(text[i]))) return false;
      mark(i++, Continuation);
      if (i < size && text[i] == '>') mark(i++, Continuation);
    } else if (c == '\'' || c == '[') {
      const std::size_t close = text.find(c == '\'' ? '\'' : ']', i + 1);
      if (close == std::string_view::npos) return false;
      while (i <= close) mark(i++, Operand);
    } else {
      mark(i++, Operand);
    }
  }
  return depth == 0;
}

bool isOperator(std::uint8_t kind) { return kind != Operand && kind != Continuation; }

// Shallowest first, then highest class, then rightmost.
bool better(const Tokens& tokens, std::size_t a, std::size_t b) {
  if (tokens.depth[a] != tokens.depth[b]) return tokens.depth[a] > tokens.depth[b];
  if (tokens.kind[a] != tokens.kind[b]) return tokens.kind[a] > tokens.kind[b];
  return a > b;
}

// Parentheses to trim from an operand slice: minus its deepest depth.
std::ptrdiff_t operandTrim(const Tokens& tokens, std::size_t first, std::size_t last) {
  std::int32_t deepest = 0;
  for (std::size_t i = first; i < last; ++i) {
    if (i == first || tokens.depth[i] < deepest) deepest = tokens.depth[i];
  }
  return -static_cast<std::ptrdiff_t>(deepest);
}

struct SliceShape {
  std::size_t op = kNone;
  std::ptrdiff_t trim = 0;
};

class DirectScan {
 public:
  explicit DirectScan(const Tokens& tokens) : tokens_(tokens) {}

  SliceShape analyse(std::size_t first, std::size_t last) const {
    SliceShape shape;
    for (std::size_t i = first; i < last; ++i) {
      if (isOperator(tokens_.kind[i]) && (shape.op == kNone || better(tokens_, i, shape.op))) {
        shape.op = i;
      }
    }
    shape.trim = shape.op == kNone ? operandTrim(tokens_, first, last) : -tokens_.depth[shape.op];
    return shape;
  }

 private:
  const Tokens& tokens_;
};

// Chooses each slice's operator by a range query. An operand slice (no
// operator) is a leaf of the evaluation, so scanning it for its deepest depth
// costs no more than reading it.
class IndexedScan {
 public:
  explicit IndexedScan(const Tokens& tokens)
      : tokens_(tokens), ops_(operatorLeaves(tokens), kNoOp, BetterOp{&tokens}) {}
  IndexedScan(const IndexedScan&) = delete;
  IndexedScan& operator=(const IndexedScan&) = delete;

  SliceShape analyse(std::size_t first, std::size_t last) const {
    const std::int32_t op = ops_.query(first, last);
    if (op == kNoOp) return DirectScan(tokens_).analyse(first, last);
    SliceShape shape;
    shape.op = static_cast<std::size_t>(op);
    shape.trim = -tokens_.depth[shape.op];
    return shape;
  }

 private:
  static constexpr std::int32_t kNoOp = -1;

  struct BetterOp {
    const Tokens* tokens;
    std::int32_t operator()(std::int32_t a, std::int32_t b) const {
      if (a == kNoOp) return b;
      if (b == kNoOp) return a;
      return better(*tokens, static_cast<std::size_t>(a), static_cast<std::size_t>(b)) ? a : b;
    }
  };

  static std::vector<std::int32_t> operatorLeaves(const Tokens& tokens) {
    std::vector<std::int32_t> leaves(tokens.kind.size(), kNoOp);
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      if (isOperator(tokens.kind[i])) leaves[i] = static_cast<std::int32_t>(i);
    }
    return leaves;
  }

  const Tokens& tokens_;
  expr::RangeTree<std::int32_t, BetterOp> ops_;
};

// First position of `needle` in `haystack`, or npos. Linear in both lengths
// (Knuth-Morris-Pratt) for long needles, so that hostile texts cannot make a
// comparison quadratic.
std::size_t findFirst(std::string_view haystack, std::string_view needle) {
  constexpr std::size_t kShortNeedle = 16;
  if (needle.size() <= kShortNeedle || needle.size() > haystack.size()) {
    return haystack.find(needle);
  }
  std::vector<std::size_t> border(needle.size(), 0);
  for (std::size_t i = 1, k = 0; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = 0, k = 0; i < haystack.size(); ++i) {
    while (k > 0 && haystack[i] != needle[k]) k = border[k - 1];
    if (haystack[i] == needle[k]) ++k;
    if (k == needle.size()) return i + 1 - k;
  }
  return std::string_view::npos;
}

bool compareTexts(std::string_view op, ScriptValue& left, ScriptValue& right) {
  const std::string* leftText = left.toText();
  const std::string* rightText = right.toText();
  const std::string_view l = leftText ? std::string_view(*leftText) : std::string_view();
  const std::string_view r = rightText ? std::string_view(*rightText) : std::string_view();
  const bool negate = op.size() > 1 && op[1] == '!';
  const char kind = op[negate ? 2 : 1];
  bool result = false;
  switch (kind) {
    case '%':
      result = findFirst(l, r) != std::string_view::npos;
      break;
    case '<':
      result = l.starts_with(r);
      break;
    case '=':
      result = l == r;
      break;
    default: {  // '>': the first occurrence must end where the text ends
      const std::size_t at = findFirst(l, r);
      result = at != std::string_view::npos && at + r.size() == l.size();
    }
  }
  return result != negate;
}

bool compareNumbers(std::string_view op, ScriptValue& left, ScriptValue& right) {
  const double l = left.toNumber();
  const double r = right.toNumber();
  const bool negate = op[0] == '!';
  const std::size_t at = negate ? 1 : 0;
  const bool orEqual = at + 1 < op.size() && op[at + 1] == '=';
  bool result = false;
  switch (op[at]) {
    case '<':
      result = l < r || (orEqual && l == r);
      break;
    case '=':
      result = l == r;
      break;
    default:
      result = l > r || (orEqual && l == r);
      break;
  }
  return result != negate;
}

// The value of an evaluated slice. A reference keeps pointing at the
// resolver's variable instead of copying it: pending operators may hold many
// references to one long text at once. Each reading then works on a copy, so
// the variable's own caches never change.
struct SliceValue {
  ScriptValue own;
  const ScriptValue* variable = nullptr;

  // The value to convert; `scratch` receives the copy of a variable.
  ScriptValue& readable(ScriptValue& scratch) {
    if (variable == nullptr) return own;
    scratch = *variable;
    return scratch;
  }
};

SliceValue numberOperand(double number) {
  SliceValue operand;
  operand.own.setNumber(number);
  return operand;
}

SliceValue operandValue(std::string_view text, const VariableResolver* resolver) {
  if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'') {
    SliceValue operand;
    operand.own.setText(std::string(text.substr(1, text.size() - 2)));
    return operand;
  }
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    const std::string_view name = text.substr(1, text.size() - 2);
    // A name too long for any variable reference exists nowhere.
    if (resolver != nullptr && *resolver && name.size() <= kMaxReferenceNameBytes) {
      if (const ScriptValue* found = (*resolver)(name)) {
        SliceValue operand;
        operand.variable = found;
        return operand;
      }
    }
    return numberOperand(0);
  }
  return numberOperand(expr::parseNumberLiteral(text));
}

// Left and right operand bounds of a split slice; the right one starts after
// the operator's continuation bytes.
struct Split {
  std::size_t leftFirst, op, rightFirst, rightLast;
};

template <class Scan>
class Evaluator {
 public:
  Evaluator(std::string_view text, const Tokens& tokens, const Scan& scan,
            const VariableResolver* resolver)
      : text_(text), tokens_(tokens), scan_(scan), resolver_(resolver) {}

  bool run() {
    struct Pending {
      Split split;
      bool leftDone;
      SliceValue left;
    };
    std::vector<Pending> pending;
    std::size_t first = 0;
    std::size_t last = text_.size();
    for (;;) {
      Split split;
      if (splitSlice(first, last, split)) {
        const std::uint8_t kind = tokens_.kind[split.op];
        // Negation ignores its left operand: it is never evaluated.
        pending.push_back({split, kind == Negation, SliceValue()});
        first = kind == Negation ? split.rightFirst : split.leftFirst;
        last = kind == Negation ? split.rightLast : split.op;
        continue;
      }
      SliceValue value = operandValue(text_.substr(first, last - first), resolver_);
      while (!pending.empty() && pending.back().leftDone) {
        value = combine(pending.back().split.op, pending.back().left, value);
        pending.pop_back();
      }
      if (pending.empty()) {
        ScriptValue scratch;
        return value.readable(scratch).toTruth();
      }
      Pending& parent = pending.back();
      parent.left = std::move(value);
      parent.leftDone = true;
      first = parent.split.rightFirst;
      last = parent.split.rightLast;
    }
  }

 private:
  // Trims [first, last); false when it is an operand, else fills `split`.
  bool splitSlice(std::size_t& first, std::size_t& last, Split& split) const {
    const SliceShape shape = scan_.analyse(first, last);
    expr::trimParentheses(text_, first, last, shape.trim);
    if (shape.op == kNone) return false;
    std::size_t rightFirst = shape.op + 1;
    while (rightFirst < last && tokens_.kind[rightFirst] == Continuation) ++rightFirst;
    split = Split{first, shape.op, rightFirst, last};
    return true;
  }

  SliceValue combine(std::size_t op, SliceValue& leftOperand, SliceValue& rightOperand) const {
    ScriptValue leftScratch;
    ScriptValue rightScratch;
    ScriptValue& left = leftOperand.readable(leftScratch);
    ScriptValue& right = rightOperand.readable(rightScratch);
    switch (tokens_.kind[op]) {
      case Negation:
        return numberOperand(right.toTruth() ? 0 : 1);
      case Logical: {
        const bool l = left.toTruth();
        const bool r = right.toTruth();
        return numberOperand((text_[op] == '&' ? l && r : l || r) ? 1 : 0);
      }
      default: {
        std::size_t end = op + 1;
        while (end < text_.size() && tokens_.kind[end] == Continuation) ++end;
        const std::string_view bytes = text_.substr(op, end - op);
        const bool result =
            bytes[0] == '$' ? compareTexts(bytes, left, right) : compareNumbers(bytes, left, right);
        return numberOperand(result ? 1 : 0);
      }
    }
  }

  std::string_view text_;
  const Tokens& tokens_;
  const Scan& scan_;
  const VariableResolver* resolver_;
};

}  // namespace

bool evaluateCondition(std::string_view text, const VariableResolver* resolver) {
  if (text.empty() || text.size() > kMaxExpressionBytes) return false;
  Tokens tokens;
  if (!tokenise(text, tokens)) return false;
  if (text.size() <= expr::kDirectScanBytes) {
    const DirectScan scan(tokens);
    return Evaluator<DirectScan>(text, tokens, scan, resolver).run();
  }
  const IndexedScan scan(tokens);
  return Evaluator<IndexedScan>(text, tokens, scan, resolver).run();
}

}  // namespace vistel
