// test-labels: threads
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "project/expression_reference.h"
#include "vistel/platform/thread.h"
#include "vistel/project/values.h"

namespace vistel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool sameNumber(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

std::string repeat(const std::string& piece, std::size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (std::size_t i = 0; i < count; ++i) text += piece;
  return text;
}

#define EXPECT_NUMBER(text, expected) \
  EXPECT_PRED2(sameNumber, evaluateNumber(text), expected) << "text: " << (text)

TEST(NumberExpressionTest, Arithmetic) {
  EXPECT_NUMBER("2*(3+4)", 14.0);
  EXPECT_NUMBER("10-4-3", 3.0);
  EXPECT_NUMBER("2+3*4", 14.0);
  EXPECT_NUMBER("7%4", 3.0);
  EXPECT_NUMBER("-5", -5.0);
  EXPECT_NUMBER("(5)", 5.0);
  EXPECT_NUMBER("1/0", kInf);
  EXPECT_NUMBER("-1/0", -kInf);
  EXPECT_NUMBER("12/4/3", 1.0);
  EXPECT_NUMBER("2*3%4", 6.0);  // "%" binds tighter: 2*(3%4)
  EXPECT_NUMBER("7.5%2", 1.5);
  EXPECT_NUMBER("5%0", NAN);
  EXPECT_NUMBER("0/0", NAN);
  EXPECT_NUMBER(" ( 1 + 2 ) * 3 ", 9.0);
  EXPECT_NUMBER("((((7))))", 7.0);
  EXPECT_NUMBER("+5", 5.0);
  EXPECT_NUMBER("0.1+0.2", 0.1 + 0.2);
}

TEST(NumberExpressionTest, Literals) {
  EXPECT_NUMBER("", 0.0);
  EXPECT_NUMBER("42", 42.0);
  EXPECT_NUMBER("3.25", 3.25);
  EXPECT_NUMBER(".5", 0.5);
  EXPECT_NUMBER("5.", 5.0);
  EXPECT_NUMBER(".", 0.0);
  EXPECT_NUMBER("abc", NAN);
  EXPECT_NUMBER("yes", 1.0);
  EXPECT_NUMBER("OFF", 0.0);
  EXPECT_NUMBER("True", 1.0);
  EXPECT_NUMBER("nO", 0.0);
  EXPECT_NUMBER("On", 1.0);
  EXPECT_NUMBER("false", 0.0);
  EXPECT_NUMBER("yes2", NAN);
  EXPECT_NUMBER("1.2.3", NAN);
  EXPECT_NUMBER("1e3", NAN);
  EXPECT_NUMBER("1 2", NAN);  // inner blank
  EXPECT_NUMBER("0x10", NAN);
  // A thousand digits after the point overflow both parts: inf / inf.
  EXPECT_NUMBER("1." + std::string(1000, '0'), NAN);
  EXPECT_NUMBER(std::string(400, '9'), kInf);
}

TEST(NumberExpressionTest, References) {
  EXPECT_NUMBER("[x]", 0.0);
  EXPECT_NUMBER("[x]+1", 1.0);
  EXPECT_NUMBER("2*[a+b]", 0.0);  // brackets hide their operators
  EXPECT_NUMBER("[(]+1", 1.0);    // and their parentheses
  EXPECT_NUMBER("([x])", 0.0);
  EXPECT_NUMBER("[x]y", NAN);  // not a whole reference
  EXPECT_NUMBER("1+[x", NAN);  // an open bracket hides the rest
  EXPECT_NUMBER("[x+1", NAN);
}

TEST(NumberExpressionTest, Malformed) {
  EXPECT_NUMBER("(1+2", NAN);
  EXPECT_NUMBER("1+2)", NAN);
  EXPECT_NUMBER(")(", NAN);
  EXPECT_NUMBER("1+", NAN);
  EXPECT_NUMBER("1+ ", NAN);
  EXPECT_NUMBER("*5", NAN);
  EXPECT_NUMBER("/5", NAN);
  EXPECT_NUMBER("%5", NAN);
  EXPECT_NUMBER("--5", NAN);   // the right "-" has "-" on its left
  EXPECT_NUMBER("5*-3", NAN);  // "-" is looser: "5*" - "3"
  EXPECT_NUMBER("2(3)", NAN);
  EXPECT_NUMBER("(1)(2)", NAN);
  EXPECT_NUMBER("()", 0.0);  // trimmed to the empty literal
  EXPECT_NUMBER("1+abc", NAN);
}

// Conditions with n holding the text 5, as in a script over a small scope.
class ConditionTest : public ::testing::Test {
 protected:
  ConditionTest() {
    resolver_ = [this](std::string_view name) { return scope_.lookup(name); };
    scope_.setVariable("n", "5");
  }

  bool eval(const std::string& text) { return evaluateCondition(text, &resolver_); }

  VariableScope scope_;
  VariableResolver resolver_;
};

TEST_F(ConditionTest, NumericComparisons) {
  EXPECT_TRUE(eval("[n]>3"));
  EXPECT_FALSE(eval("[n]>-1"));  // -1 is no literal in a condition
  EXPECT_TRUE(eval("[n]!=-1"));  // NaN compares false, then negated
  EXPECT_FALSE(eval("[n]<>5"));  // "<>" compares like "<"
  EXPECT_TRUE(eval("[n]<>6"));
  EXPECT_TRUE(eval("[n]=5"));
  EXPECT_TRUE(eval("[n]==5"));
  EXPECT_TRUE(eval("[n]=>5"));  // "=>" is "="
  EXPECT_FALSE(eval("[n]=>4"));
  EXPECT_TRUE(eval("[n]>=5"));
  EXPECT_TRUE(eval("[n]<=5"));
  EXPECT_FALSE(eval("[n]<5"));
  EXPECT_FALSE(eval("[n]>>5"));  // ">>" is ">"
  EXPECT_TRUE(eval("[n]!=4"));
  EXPECT_FALSE(eval("[n]!=5"));
  EXPECT_TRUE(eval("[n]!<5"));
  EXPECT_FALSE(eval("[n]!<=5"));
  EXPECT_TRUE(eval("[n]!>=6"));
  EXPECT_TRUE(eval("[missing]=0"));
  EXPECT_TRUE(eval("'2*3'=6"));  // a text operand is read as arithmetic
  EXPECT_TRUE(eval(" [n] > 3 "));
  EXPECT_FALSE(eval("abc=abc"));  // NaN never equals
}

TEST_F(ConditionTest, TextComparisons) {
  EXPECT_TRUE(eval("[n]$='5'"));
  EXPECT_FALSE(eval("[n]$=5"));  // the literal 5 reads as the text 5.000000
  EXPECT_TRUE(eval("5$='5.000000'"));
  EXPECT_TRUE(eval("'abc'$%'b'"));
  EXPECT_TRUE(eval("'abc'$<'ab'"));
  EXPECT_FALSE(eval("'ab'$<'abc'"));
  EXPECT_TRUE(eval("'abc'$='abc'"));
  EXPECT_FALSE(eval("'abc'$='ab'"));
  EXPECT_FALSE(eval("'abab'$>'ab'"));  // the first occurrence does not end at the end
  EXPECT_TRUE(eval("'abcab'$>'cab'"));
  EXPECT_TRUE(eval("'abc'$>>'bc'"));
  EXPECT_TRUE(eval("'abc'$!%'x'"));
  EXPECT_FALSE(eval("'abc'$!%'b'"));
  EXPECT_TRUE(eval("'abc'$!='ab'"));
  EXPECT_TRUE(eval("'abc'$%''"));
  EXPECT_FALSE(eval("'a'$"));  // "$" needs its comparison byte
  EXPECT_FALSE(eval("'a'$!!'a'"));
}

TEST_F(ConditionTest, LogicAndGrouping) {
  scope_.setVariable("a", "1");
  scope_.setVariable("b", "0");
  scope_.setVariable("c", "0");
  // Equal classes group from the left: ([a]=1|[b]=1)&[c]=1 is false, while
  // [a]=1|([b]=1&[c]=1) would be true.
  EXPECT_FALSE(eval("[a]=1|[b]=1&[c]=1"));
  EXPECT_TRUE(eval("[c]=1&[b]=1|[a]=1"));
  EXPECT_TRUE(eval("[a]=1|([b]=1&[c]=1)"));
  EXPECT_TRUE(eval("([a]=1)&([b]=0)"));
  EXPECT_FALSE(eval("([a]=1)&([b]=2)"));
  EXPECT_TRUE(eval("((1=1))"));
  EXPECT_TRUE(eval("!([b]=1)"));
  EXPECT_FALSE(eval("!([a]=1)"));
  EXPECT_TRUE(eval("!0"));
  EXPECT_FALSE(eval("!1"));
  // The rightmost "!" is chosen and its left side ignored, so "!!1" is "!1".
  EXPECT_FALSE(eval("!!1"));
  EXPECT_TRUE(eval("!(!1)"));
  EXPECT_TRUE(eval("1&yes"));
  EXPECT_FALSE(eval("1&off"));
  EXPECT_TRUE(eval("0|'1=1'"));  // a quoted text is read as a condition
  // Comparisons yield 1 or 0, which compare again as numbers.
  EXPECT_TRUE(eval("1<2=1"));
}

TEST_F(ConditionTest, OperandsAlone) {
  EXPECT_TRUE(eval("1"));
  EXPECT_FALSE(eval("0"));
  EXPECT_TRUE(eval("abc"));  // no number: NaN, which is true
  EXPECT_TRUE(eval("-1"));
  EXPECT_FALSE(eval("off"));
  EXPECT_TRUE(eval("[n]"));  // the text "5" read as a condition
  EXPECT_FALSE(eval("[missing]"));
  EXPECT_FALSE(eval("''"));  // the empty text is the empty condition
  EXPECT_FALSE(eval("()"));
  EXPECT_FALSE(eval("  "));
  EXPECT_FALSE(evaluateCondition("[n]>3"));  // no resolver: references are 0
}

TEST_F(ConditionTest, Malformed) {
  EXPECT_FALSE(eval(""));
  EXPECT_FALSE(eval("(1=1"));
  EXPECT_FALSE(eval("1=1)"));
  EXPECT_FALSE(eval("'abc"));
  EXPECT_FALSE(eval("[n"));
  EXPECT_FALSE(eval("1$"));
  EXPECT_FALSE(eval("1$x1"));
  // Depth only has to return to 0 at the end: ")1(" is balanced, and its
  // operand is no number, so true.
  EXPECT_TRUE(eval(")1("));
}

TEST_F(ConditionTest, ReferencesAreCopiedNotConverted) {
  scope_.setVariable("e", "#00ff00");
  EXPECT_TRUE(eval("[e]"));
  EXPECT_TRUE(eval("[e]$='#00ff00'"));
  EXPECT_FALSE(eval("[e]=1"));
  // The variable itself gained no cached forms.
  EXPECT_EQ(scope_.lookup("e")->flags(), 17);
  EXPECT_EQ(scope_.getColour("e"), 0xFF00FF00u);
}

TEST_F(ConditionTest, LongReferenceNamesReadZero) {
  const std::string tooLong(kMaxReferenceNameBytes + 1, 'q');
  scope_.setVariable(tooLong, "7");
  scope_.setVariable(tooLong.substr(0, kMaxReferenceNameBytes), "7");
  int calls = 0;
  VariableResolver counting = [&](std::string_view name) {
    ++calls;
    return scope_.lookup(name);
  };
  EXPECT_TRUE(evaluateCondition("[" + tooLong + "]=0", &counting));
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(evaluateCondition("[" + tooLong.substr(1) + "]=7", &counting));
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(evaluateCondition("[" + std::string(70000, 'z') + "]=0", &counting));
}

TEST_F(ConditionTest, BothLogicalSidesAreEvaluated) {
  std::vector<std::string> seen;
  VariableResolver recording = [&](std::string_view name) {
    seen.emplace_back(name);
    return scope_.lookup(name);
  };
  EXPECT_FALSE(evaluateCondition("[a]=1&[b]=1", &recording));
  EXPECT_TRUE(evaluateCondition("[n]=5|[c]=1", &recording));
  // A negation's left side is ignored entirely.
  EXPECT_TRUE(evaluateCondition("[skipped]!0", &recording));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "n", "c"}));
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

long peakKilobytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST_F(ConditionTest, PendingOperatorsDoNotCopyVariables) {
  // A long variable referenced on the left of thousands of nested operators:
  // holding a copy per pending operator would need half a gigabyte. The text
  // is a malformed condition ("$" then "x"), so each reading is quick.
  scope_.setVariable("x", "$x" + std::string(128 * 1024, 'a'));
  const std::string condition = repeat("[x]&(", 4000) + "1" + std::string(4000, ')');
  const long before = peakKilobytes();
  EXPECT_FALSE(eval(condition));
  EXPECT_EQ(scope_.lookup("x")->flags(), 17);
  // AddressSanitizer keeps freed blocks in quarantine, so the peak says
  // nothing about what was held at once there.
  if (!kAddressSanitizer) {
    EXPECT_LT(peakKilobytes() - before, 128 * 1024);
  }
}

// ---------------------------------------------------------------------------
// Depth: neither language may use stack in proportion to its input.

constexpr std::size_t kSmallStack = 64 * 1024;

template <class Body>
void runOnSmallStack(Body body) {
  std::atomic<bool> done{false};
  Thread thread = startThread(
      [&] {
        body();
        done = true;
      },
      ThreadOptions{kSmallStack, ThreadPriority::Normal});
  ASSERT_NE(thread.id(), 0u);
  thread.join();
  EXPECT_TRUE(done.load());
}

TEST(ExpressionDepthTest, DeepInputsOnASmallStack) {
  constexpr std::size_t kDeep = 100000;
  runOnSmallStack([&] {
    EXPECT_FALSE(evaluateCondition(std::string(kDeep, '(')));
    EXPECT_TRUE(std::isnan(evaluateNumber(std::string(kDeep, '('))));

    const std::string nested = std::string(kDeep, '(') + "1" + std::string(kDeep, ')');
    EXPECT_EQ(evaluateNumber(nested), 1.0);
    EXPECT_TRUE(evaluateCondition(nested));
    EXPECT_TRUE(evaluateCondition(std::string(kDeep, '(') + "2>1" + std::string(kDeep, ')')));

    // Left-deep chains: one pending operator per "+" in a naive evaluation.
    EXPECT_EQ(evaluateNumber("1" + repeat("+1", kDeep)), static_cast<double>(kDeep + 1));
    EXPECT_EQ(evaluateNumber("0" + repeat("-1", kDeep)), -static_cast<double>(kDeep));
    EXPECT_TRUE(evaluateCondition("1" + repeat("&1", kDeep)));
    EXPECT_FALSE(evaluateCondition("1" + repeat("&1", kDeep) + "&0"));
    EXPECT_TRUE(evaluateCondition("1" + repeat("=1", kDeep)));

    // Right-deep nesting: 1+(1+(1+...)).
    const std::string rightDeep = repeat("1+(", kDeep) + "1" + std::string(kDeep, ')');
    EXPECT_EQ(evaluateNumber(rightDeep), static_cast<double>(kDeep + 1));
    const std::string rightCondition = repeat("1&(", kDeep) + "0" + std::string(kDeep, ')');
    EXPECT_FALSE(evaluateCondition(rightCondition));

    // Negations: only the rightmost counts.
    EXPECT_FALSE(evaluateCondition(std::string(kDeep, '!') + "1"));
    EXPECT_TRUE(evaluateCondition(repeat("!(", kDeep) + "1" + std::string(kDeep, ')')) ==
                (kDeep % 2 == 0));
  });
}

// ---------------------------------------------------------------------------
// The library against the reference evaluators, bit for bit.

std::string randomNumberText(std::mt19937& random, std::size_t length) {
  static const std::vector<std::string> pieces = {
      "0", "1", "2", "3", "7", "9",   "10", ".", ".5",  "+",   "-", "*", "/", "%",
      "(", ")", "(", ")", " ", "[x]", "[",  "]", "yes", "Off", "a", "e", "\t"};
  std::string text;
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  while (text.size() < length) text += pieces[pick(random)];
  return text;
}

// A well-formed expression tree, so that long texts still evaluate to numbers.
std::string randomNumberTree(std::mt19937& random, int depth) {
  std::uniform_int_distribution<int> choice(0, 9);
  const int c = depth <= 0 ? 0 : choice(random);
  if (c <= 2) {
    static const char* leaves[] = {"1", "2", "3.5", "0", "[v]", "yes", "12", "0.25"};
    return leaves[std::uniform_int_distribution<int>(0, 7)(random)];
  }
  if (c == 3) return "(" + randomNumberTree(random, depth - 1) + ")";
  if (c == 4) return " " + randomNumberTree(random, depth - 1);
  static const char ops[] = "+-*/%";
  const char op = ops[std::uniform_int_distribution<int>(0, 4)(random)];
  return randomNumberTree(random, depth - 1) + op + randomNumberTree(random, depth - 1);
}

void mutate(std::mt19937& random, std::string& text, const std::string& alphabet) {
  if (text.empty()) return;
  std::uniform_int_distribution<std::size_t> at(0, text.size() - 1);
  std::uniform_int_distribution<std::size_t> byte(0, alphabet.size() - 1);
  switch (std::uniform_int_distribution<int>(0, 2)(random)) {
    case 0:
      text[at(random)] = alphabet[byte(random)];
      break;
    case 1:
      text.erase(at(random), 1);
      break;
    default:
      text.insert(at(random), 1, alphabet[byte(random)]);
      break;
  }
}

// Wraps a random stretch in parentheses and deletes a few bytes: the result
// stays balanced more often than random edits, yet splits in odd places
// (such as "(1)(2+3)", whose left part "1)(2" closes more than it opened).
void scramble(std::mt19937& random, std::string& text) {
  for (int edit = 0; edit < 4 && !text.empty(); ++edit) {
    std::uniform_int_distribution<std::size_t> at(0, text.size());
    std::size_t from = at(random);
    std::size_t to = at(random);
    if (from > to) std::swap(from, to);
    text.insert(to, 1, ')');
    text.insert(from, 1, '(');
    if (std::uniform_int_distribution<int>(0, 1)(random)) {
      text.erase(std::uniform_int_distribution<std::size_t>(0, text.size() - 1)(random), 1);
    }
  }
}

void expectSameNumber(const std::string& text) {
  const double expected = reference::number(text);
  const double actual = evaluateNumber(text);
  ASSERT_TRUE(sameNumber(expected, actual))
      << "text: \"" << text << "\" reference " << expected << " library " << actual;
}

TEST(ExpressionReferenceTest, NumbersMatchOnAllShortTexts) {
  // Every text of up to four bytes over the bytes that matter.
  const std::string alphabet = "1.+-*%/()[] a";
  std::vector<std::string> texts = {""};
  std::size_t begin = 0;
  for (int length = 1; length <= 4; ++length) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  for (const std::string& text : texts) expectSameNumber(text);
  EXPECT_GT(texts.size(), 30000u);
}

TEST(ExpressionReferenceTest, NumbersMatchOnRandomTexts) {
  std::mt19937 random(12345);
  const std::string alphabet = "0123456789.+-*/%()[] x";
  std::size_t finite = 0;
  for (int round = 0; round < 20000; ++round) {
    // Short texts take the direct scan, long ones the indexed path.
    const std::size_t length = round % 4 == 0 ? 65 + round % 400 : round % 60;
    std::string text =
        round % 2 ? randomNumberText(random, length) : randomNumberTree(random, 2 + round % 9);
    if (round % 3 == 0) mutate(random, text, alphabet);
    if (round % 5 == 0) scramble(random, text);
    expectSameNumber(text);
    if (std::isfinite(evaluateNumber(text))) ++finite;
  }
  // The generated trees must exercise real arithmetic, not just NaN.
  EXPECT_GT(finite, 4000u);
}

std::string randomConditionText(std::mt19937& random, std::size_t tokens) {
  static const std::vector<std::string> pieces = {
      "[n]", "[m]", "[t]", "[e]", "[q]", "[missing]", "'abc'", "'5'", "'ab'", "''",  "'1=1'",
      "5",   "3",   "0",   "1",   "-1",  "2.5",       "abc",   "yes", "off",  "(",   ")",
      "(",   ")",   "&",   "|",   "!",   "<",         "=",     ">",   "<=",   ">=",  "<>",
      "!=",  "!<",  "!>=", "==",  "$=",  "$%",        "$<",    "$>",  "$!=",  "$!%", "$<>",
      " ",   "  ",  "$",   "'",   "[",   "]",         "!!",    "=>"};
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string text;
  for (std::size_t i = 0; i < tokens; ++i) text += pieces[pick(random)];
  return text;
}

std::string randomConditionTree(std::mt19937& random, int depth) {
  std::uniform_int_distribution<int> choice(0, 11);
  const int c = depth <= 0 ? 0 : choice(random);
  if (c <= 2) {
    static const char* leaves[] = {"[n]", "[m]", "[t]", "[e]", "[missing]", "'abc'", "'5'",
                                   "5",   "1",   "0",   "2.5", "'b'",       "yes"};
    return leaves[std::uniform_int_distribution<int>(0, 12)(random)];
  }
  if (c == 3) return "(" + randomConditionTree(random, depth - 1) + ")";
  if (c == 4) return "!" + randomConditionTree(random, depth - 1);
  if (c == 5) return " " + randomConditionTree(random, depth - 1) + " ";
  static const char* ops[] = {
      "&", "|", "=", "<", ">", "<=", ">=", "!=", "<>", "$=", "$%", "$<", "$>", "$!="};
  const char* op = ops[std::uniform_int_distribution<int>(0, 13)(random)];
  return randomConditionTree(random, depth - 1) + op + randomConditionTree(random, depth - 1);
}

// The same variables for both evaluators: texts and numbers.
struct ConditionFixture {
  VariableScope root;
  VariableScope scope{&root};
  VariableResolver resolver = [this](std::string_view name) { return scope.lookup(name); };
  reference::Variables variables;

  ConditionFixture() {
    setText(root, "n", "5");
    setNumber(scope, "m", 2.5);
    setText(scope, "t", "abc");
    setText(root, "e", "1=1");
    setText(root, "q", "'x'$='x'&[n]");  // root: kept as written
  }
  void setText(VariableScope& s, const std::string& name, const std::string& text) {
    s.setVariable(name, text);
    variables[name] = reference::Value::ofText(text);
  }
  void setNumber(VariableScope& s, const std::string& name, double number) {
    s.setNumber(name, number);
    variables[name] = reference::Value::ofNumber(number);
  }
  void expectSame(const std::string& text) {
    const bool expected = reference::condition(text, &variables);
    ASSERT_EQ(evaluateCondition(text, &resolver), expected) << "condition: \"" << text << "\"";
    ASSERT_EQ(evaluateCondition(text), reference::condition(text, nullptr))
        << "condition without resolver: \"" << text << "\"";
  }
};

TEST(ExpressionReferenceTest, ConditionsMatchOnRandomTexts) {
  ConditionFixture fixture;
  std::mt19937 random(777);
  const std::string alphabet = "15.()&|!<=>$%'[] nab";
  int trueCount = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text =
        round % 2 ? randomConditionText(random, round % 4 == 0 ? 20 + round % 120 : round % 12)
                  : randomConditionTree(random, 2 + round % 8);
    if (round % 3 == 0) mutate(random, text, alphabet);
    if (round % 5 == 0) scramble(random, text);
    fixture.expectSame(text);
    if (evaluateCondition(text, &fixture.resolver)) ++trueCount;
  }
  // Neither outcome may dominate, or the comparison would prove little.
  EXPECT_GT(trueCount, 4000);
  EXPECT_LT(trueCount, 16000);
}

TEST(ExpressionReferenceTest, ConditionsMatchOnAllShortTexts) {
  ConditionFixture fixture;
  const std::string alphabet = "1(')&|!<=$%[n] ";
  std::vector<std::string> texts = {""};
  std::size_t begin = 0;
  for (int length = 1; length <= 4; ++length) {
    const std::size_t end = texts.size();
    for (std::size_t i = begin; i < end; ++i) {
      for (const char c : alphabet) texts.push_back(texts[i] + c);
    }
    begin = end;
  }
  for (const std::string& text : texts) fixture.expectSame(text);
  EXPECT_GT(texts.size(), 50000u);
}

}  // namespace
}  // namespace vistel
