#pragma once

// Typed readings of attribute text. Every runtime object carries its element's
// attributes as variables in a VariableScope; readers ask for a number, a truth
// value, a colour or a text, and the ScriptValue converts once and caches.
//
// Two small expression languages sit behind the conversions: arithmetic
// (evaluateNumber) for numbers and conditions (evaluateCondition) for truth
// values. Malformed input never fails loudly: arithmetic gives NaN, conditions
// give false, missing variables read as 0, false or nothing.
//
// Thread-safety: none. Reading a value may update its cache, so values and
// scopes must be used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace vistel {

class ProjectElement;

// Longest name a [name] reference may carry. A longer bracketed name is taken
// as a name that exists nowhere: interpolation appends nothing for it and a
// condition reads it as the number 0.
inline constexpr std::size_t kMaxReferenceNameBytes = 259;

// Longest text interpolate produces (16 MiB). References can multiply a text:
// a short attribute naming a long variable many times would otherwise exhaust
// memory. A longer result is dropped like one with an unterminated "[".
inline constexpr std::size_t kMaxInterpolatedBytes = std::size_t{16} << 20;

// Longest text either expression language reads (2 GiB); a longer one is
// malformed: NaN as a number, false as a condition.
inline constexpr std::size_t kMaxExpressionBytes = (std::size_t{1} << 31) - 2;

class ScriptValue {
 public:
  enum Flag : std::int32_t {
    HasText = 1,
    HasNumber = 2,
    HasTruth = 4,
    HasColour = 8,
    TextIsExpression = 16,
  };

  // A fresh value holds the empty text (flags HasText | TextIsExpression).
  ScriptValue() = default;

  // Replaces the text; flags become HasText | TextIsExpression.
  void setText(std::string text);
  // Replaces the number; flags become HasNumber.
  void setNumber(double number);

  // The number; evaluates and caches the text when there is none yet; 0 when
  // the value holds neither.
  double toNumber();
  // The truth; a text that is an expression is read as a condition, a number
  // is true when not 0 (NaN is true). Shares its cache slot with toColour.
  bool toTruth();
  // The text, or null when the value holds none. A number is formatted as
  // "%f" (90 becomes "90.000000") and cached. Valid until the value changes.
  const std::string* toText();
  // 0xAARRGGBB from "#RRGGBB" (opaque) or "#AARRGGBB": the hexadecimal
  // digits after "#" (a bad digit zeroes them), opaque when the text has seven
  // characters; cached in the slot toTruth shares. 0, uncached, when the text
  // does not start with "#" or the value is a number.
  std::uint32_t toColour();

  std::int32_t flags() const { return flags_; }

 private:
  std::int32_t flags_ = HasText | TextIsExpression;
  std::string text_;
  double number_ = 0;
  std::int32_t cache_ = 0;  // the truth (0/1) or the colour; see flags_
};

// Resolves a bracketed name inside a condition; null when the name is unknown.
// The value must stay valid and unchanged until evaluateCondition returns; the
// condition reads it through copies and never changes it.
using VariableResolver = std::function<ScriptValue*(std::string_view name)>;

class VariableScope {
 public:
  // `parent` is the scope of the enclosing object (it must outlive this one),
  // or null for the root.
  explicit VariableScope(VariableScope* parent = nullptr) : parent_(parent) {}
  VariableScope(const VariableScope&) = delete;
  VariableScope& operator=(const VariableScope&) = delete;

  VariableScope* parent() const { return parent_; }

  // First value named `name` here or up the parent chain; null when none.
  // Valid until the owning scope is destroyed.
  ScriptValue* lookup(std::string_view name);
  bool hasVariable(std::string_view name) { return lookup(name) != nullptr; }

  double getNumber(std::string_view name);            // 0 when absent
  const std::string* getText(std::string_view name);  // null when absent
  bool getTruth(std::string_view name);               // false when absent
  std::uint32_t getColour(std::string_view name);     // 0 when absent

  // Sets an own variable (created when absent, never in a parent) to `text`,
  // with [name] references replaced through the parent's scope chain.
  void setVariable(std::string_view name, std::string_view text);
  // Sets the number of the nearest variable of that name up the chain, or
  // creates an own one.
  void setNumber(std::string_view name, double number);
  // setVariable for every attribute of the element, in the map's order.
  void initFromAttributes(const ProjectElement& element);

  // `text` with every [name] replaced by that variable's text (nothing when
  // unknown); an unterminated "[", or a result over kMaxInterpolatedBytes,
  // makes the whole result empty.
  std::string interpolate(std::string_view text);

  // Own variables in byte-wise name order.
  const std::map<std::string, std::unique_ptr<ScriptValue>, std::less<>>& variables() const {
    return variables_;
  }

 private:
  ScriptValue& ownVariable(std::string_view name);  // created (empty text) when absent

  std::map<std::string, std::unique_ptr<ScriptValue>, std::less<>> variables_;
  VariableScope* parent_;
};

// Arithmetic over + - * / % and parentheses with number literals; NaN when
// malformed. Any thread; stack use does not grow with the text.
double evaluateNumber(std::string_view text);

// Conditions: comparisons (numeric and $-text), ! & | and parentheses; false
// when malformed or empty. References [name] go through `resolver` when given
// (called on this thread), otherwise read as 0. Any thread;
// stack use does not grow with the text.
bool evaluateCondition(std::string_view text, const VariableResolver* resolver = nullptr);

}  // namespace vistel
