// Arithmetic over attribute text. A slice is split at its loosest operator at
// the shallowest parenthesis level (the rightmost among equals, which makes
// the operators left-associative), each side evaluated the same way.
//
// The split is naturally recursive, one level per operator, so hostile text
// such as "1+1+...+1" or deeply nested parentheses would exhaust the call
// stack. The evaluation below keeps its pending operators on a heap stack, and
// long texts find each slice's operator through range queries over a single
// scan of the whole text instead of rescanning the slice.

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vistel/project/expression_p.h"
#include "vistel/project/values.h"

namespace vistel {

namespace {

using expr::kNone;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

int operatorLevel(char c) {
  switch (c) {
    case '%':
      return 1;
    case '*':
    case '/':
      return 2;
    case '+':
    case '-':
      return 3;
    default:
      return 0;
  }
}

// What one scan of a slice tells.
struct SliceShape {
  bool malformed = false;   // a ")" without "(", or "(" left open
  std::size_t op = kNone;   // the chosen operator
  std::ptrdiff_t trim = 0;  // "(" to trim: minus the operator's depth, else every "(" seen
};

// Scans a slice exactly as the language defines it. Used for short texts and
// for the leaves of long ones.
class DirectScan {
 public:
  explicit DirectScan(std::string_view text) : text_(text) {}

  SliceShape analyse(std::size_t first, std::size_t last) const {
    SliceShape shape;
    std::ptrdiff_t depth = 0;
    std::ptrdiff_t opens = 0;
    std::ptrdiff_t opDepth = 0;
    int opLevel = 0;
    for (std::size_t i = first; i < last; ++i) {
      const char c = text_[i];
      if (c == '(') {
        --depth;
        ++opens;
      } else if (c == ')') {
        if (++depth > 0) {
          shape.malformed = true;
          return shape;
        }
      } else if (c == '[') {
        // Brackets hide their content; an open one runs to the end.
        while (i + 1 < last && text_[i + 1] != ']') ++i;
        ++i;
      } else if (const int level = operatorLevel(c)) {
        if (shape.op == kNone || depth > opDepth || (depth == opDepth && level >= opLevel)) {
          shape.op = i;
          opDepth = depth;
          opLevel = level;
        }
      }
    }
    if (depth != 0) {
      shape.malformed = true;
      return shape;
    }
    shape.trim = shape.op == kNone ? opens : -opDepth;
    return shape;
  }

 private:
  std::string_view text_;
};

// One scan of the whole text, then range queries per slice. Every slice the
// evaluation visits starts outside brackets, so its own scan would see the
// same hidden bytes and the same depths (offset by the depth at its start) as
// the whole-text scan; only a slice's bracket running to its end is cut off,
// and hidden bytes change nothing.
class IndexedScan {
 public:
  explicit IndexedScan(std::string_view text)
      : text_(text),
        depthAt_(buildDepths(text, level_)),
        maxDepth_(std::vector<std::int32_t>(depthAt_.begin() + 1, depthAt_.end()),
                  std::numeric_limits<std::int32_t>::min(), MaxOf{}),
        ops_(operatorLeaves(), kNoOp, BetterOp{&depthAt_, &level_}) {}
  IndexedScan(const IndexedScan&) = delete;  // the trees point into this object
  IndexedScan& operator=(const IndexedScan&) = delete;

  SliceShape analyse(std::size_t first, std::size_t last) const {
    SliceShape shape;
    const std::int32_t base = depthAt_[first];
    if (depthAt_[last] != base || (last > first && maxDepth_.query(first, last) > base)) {
      shape.malformed = true;
      return shape;
    }
    const std::int32_t op = ops_.query(first, last);
    if (op == kNoOp) return DirectScan(text_).analyse(first, last);  // a leaf: cheap to scan
    shape.op = static_cast<std::size_t>(op);
    shape.trim = base - depthAt_[shape.op];
    return shape;
  }

 private:
  static constexpr std::int32_t kNoOp = -1;

  struct MaxOf {
    std::int32_t operator()(std::int32_t a, std::int32_t b) const { return a > b ? a : b; }
  };

  // Shallowest first, then loosest, then rightmost.
  struct BetterOp {
    const std::vector<std::int32_t>* depthAt;
    const std::vector<std::int8_t>* level;
    std::int32_t operator()(std::int32_t a, std::int32_t b) const {
      if (a == kNoOp) return b;
      if (b == kNoOp) return a;
      const std::int32_t da = (*depthAt)[static_cast<std::size_t>(a)];
      const std::int32_t db = (*depthAt)[static_cast<std::size_t>(b)];
      if (da != db) return da > db ? a : b;
      const std::int8_t la = (*level)[static_cast<std::size_t>(a)];
      const std::int8_t lb = (*level)[static_cast<std::size_t>(b)];
      if (la != lb) return la > lb ? a : b;
      return a > b ? a : b;
    }
  };

  // depthAt[i] is the depth before byte i (depthAt[size] at the end); level
  // gets each visible operator's level, 0 elsewhere.
  static std::vector<std::int32_t> buildDepths(std::string_view text,
                                               std::vector<std::int8_t>& level) {
    std::vector<std::int32_t> depthAt(text.size() + 1);
    level.assign(text.size(), 0);
    std::int32_t depth = 0;
    bool hidden = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      depthAt[i] = depth;
      const char c = text[i];
      if (hidden) {
        hidden = c != ']';
      } else if (c == '[') {
        hidden = true;
      } else if (c == '(') {
        --depth;
      } else if (c == ')') {
        ++depth;
      } else {
        level[i] = static_cast<std::int8_t>(operatorLevel(c));
      }
    }
    depthAt[text.size()] = depth;
    return depthAt;
  }

  std::vector<std::int32_t> operatorLeaves() const {
    std::vector<std::int32_t> leaves(level_.size(), kNoOp);
    for (std::size_t i = 0; i < level_.size(); ++i) {
      if (level_[i] != 0) leaves[i] = static_cast<std::int32_t>(i);
    }
    return leaves;
  }

  std::string_view text_;
  std::vector<std::int8_t> level_;                 // initialised by buildDepths, before the trees
  std::vector<std::int32_t> depthAt_;              // size + 1 entries
  expr::RangeTree<std::int32_t, MaxOf> maxDepth_;  // leaf i: depth after byte i
  expr::RangeTree<std::int32_t, BetterOp> ops_;    // leaf i: i when an operator
};

double leafValue(std::string_view leaf) {
  // Arithmetic has no resolver: references were replaced by interpolation
  // before, and what is left of one reads as 0.
  if (leaf.size() >= 2 && leaf.front() == '[' && leaf.back() == ']') return 0;
  return expr::parseNumberLiteral(leaf);
}

double combine(char op, double left, double right) {
  switch (op) {
    case '%':
      return std::fmod(left, right);
    case '*':
      return left * right;
    case '/':
      return left / right;
    case '+':
      return left + right;
    default:
      return left - right;
  }
}

// Either a finished value or an operator splitting the trimmed slice.
struct Step {
  bool isValue = true;
  double value = 0;
  std::size_t first = 0;
  std::size_t op = kNone;
  std::size_t last = 0;
};

template <class Scan>
Step expand(std::string_view text, const Scan& scan, std::size_t first, std::size_t last) {
  Step step;
  const SliceShape shape = scan.analyse(first, last);
  if (shape.malformed) {
    step.value = kNaN;
    return step;
  }
  expr::trimParentheses(text, first, last, shape.trim);
  if (shape.op == kNone) {
    step.value = leafValue(text.substr(first, last - first));
    return step;
  }
  const char op = text[shape.op];
  // Only "+" and "-" may stand first (their left side reads as 0); every
  // operator needs something after it.
  if ((op != '+' && op != '-' && shape.op == first) || shape.op + 1 == last) {
    step.value = kNaN;
    return step;
  }
  step.isValue = false;
  step.first = first;
  step.op = shape.op;
  step.last = last;
  return step;
}

template <class Scan>
double evaluate(std::string_view text, const Scan& scan) {
  struct Pending {
    std::size_t op;
    std::size_t rightLast;
    bool leftDone;
    double left;
  };
  std::vector<Pending> pending;
  std::size_t first = 0;
  std::size_t last = text.size();
  for (;;) {
    const Step step = expand(text, scan, first, last);
    if (!step.isValue) {
      pending.push_back({step.op, step.last, false, 0});
      first = step.first;
      last = step.op;
      continue;
    }
    double value = step.value;
    while (!pending.empty() && pending.back().leftDone) {
      value = combine(text[pending.back().op], pending.back().left, value);
      pending.pop_back();
    }
    if (pending.empty()) return value;
    Pending& parent = pending.back();
    parent.left = value;
    parent.leftDone = true;
    first = parent.op + 1;
    last = parent.rightLast;
  }
}

}  // namespace

double evaluateNumber(std::string_view text) {
  if (text.size() > kMaxExpressionBytes) return kNaN;
  if (text.size() <= expr::kDirectScanBytes) {
    return evaluate(text, DirectScan(text));
  }
  return evaluate(text, IndexedScan(text));
}

}  // namespace vistel
