#include "vistel/project/values.h"

#include <utility>

#include "vistel/project/document.h"
#include "vistel/project/expression_p.h"

namespace vistel {

void ScriptValue::setText(std::string text) {
  text_ = std::move(text);
  flags_ = HasText | TextIsExpression;
}

void ScriptValue::setNumber(double number) {
  number_ = number;
  flags_ = HasNumber;
}

double ScriptValue::toNumber() {
  if (flags_ & HasNumber) return number_;
  if (!(flags_ & HasText)) return 0;
  number_ = evaluateNumber(text_);
  flags_ |= HasNumber;
  return number_;
}

bool ScriptValue::toTruth() {
  if (flags_ & HasTruth) return cache_ != 0;
  // Truth and colour share one cache slot; the slot now holds the truth.
  flags_ = (flags_ & ~HasColour) | HasTruth;
  // A number is true unless it is 0, so NaN (a malformed expression) is true.
  const bool truth = (flags_ & TextIsExpression) ? evaluateCondition(text_) : number_ != 0;
  cache_ = truth ? 1 : 0;
  return truth;
}

const std::string* ScriptValue::toText() {
  if (flags_ & HasText) return &text_;
  if (!(flags_ & HasNumber)) return nullptr;
  // A formatted number is plain text, never re-read as an expression.
  text_ = expr::formatFixed(number_);
  flags_ |= HasText;
  return &text_;
}

std::uint32_t ScriptValue::toColour() {
  if (flags_ & HasColour) return static_cast<std::uint32_t>(cache_);
  if (!(flags_ & TextIsExpression) || text_.empty() || text_[0] != '#') return 0;
  std::uint32_t colour = 0;
  for (std::size_t i = 1; i < text_.size(); ++i) {
    const char c = text_[i];
    std::uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      colour = 0;
      break;
    }
    colour = (colour << 4) + digit;
  }
  // "#RRGGBB" names an opaque colour; only "#AARRGGBB" carries alpha.
  if (text_.size() == 7) colour = (colour & 0x00FFFFFFu) | 0xFF000000u;
  flags_ = (flags_ & ~HasTruth) | HasColour;
  cache_ = static_cast<std::int32_t>(colour);
  return colour;
}

ScriptValue* VariableScope::lookup(std::string_view name) {
  for (VariableScope* scope = this; scope != nullptr; scope = scope->parent_) {
    const auto it = scope->variables_.find(name);
    if (it != scope->variables_.end()) return it->second.get();
  }
  return nullptr;
}

double VariableScope::getNumber(std::string_view name) {
  ScriptValue* value = lookup(name);
  return value ? value->toNumber() : 0;
}

const std::string* VariableScope::getText(std::string_view name) {
  ScriptValue* value = lookup(name);
  return value ? value->toText() : nullptr;
}

bool VariableScope::getTruth(std::string_view name) {
  ScriptValue* value = lookup(name);
  return value ? value->toTruth() : false;
}

std::uint32_t VariableScope::getColour(std::string_view name) {
  ScriptValue* value = lookup(name);
  return value ? value->toColour() : 0;
}

ScriptValue& VariableScope::ownVariable(std::string_view name) {
  auto it = variables_.find(name);
  if (it == variables_.end()) {
    it = variables_.emplace(std::string(name), std::make_unique<ScriptValue>()).first;
  }
  return *it->second;
}

void VariableScope::setVariable(std::string_view name, std::string_view text) {
  ScriptValue& value = ownVariable(name);
  // References in a copied attribute name the enclosing object's variables,
  // resolved now, once.
  value.setText(parent_ ? parent_->interpolate(text) : std::string(text));
}

void VariableScope::setNumber(std::string_view name, double number) {
  ScriptValue* value = lookup(name);
  if (value == nullptr) value = &ownVariable(name);
  value->setNumber(number);
}

void VariableScope::initFromAttributes(const ProjectElement& element) {
  for (const auto& [name, text] : element.attributes) setVariable(name, text);
}

std::string VariableScope::interpolate(std::string_view text) {
  std::string result;
  // False once the result would grow too long; it is then dropped whole.
  auto append = [&result](std::string_view piece) {
    if (piece.size() > kMaxInterpolatedBytes - result.size()) return false;
    result.append(piece);
    return true;
  };
  std::size_t at = 0;
  for (;;) {
    const std::size_t open = text.find('[', at);
    if (open == std::string_view::npos) {
      if (!append(text.substr(at))) return {};
      return result;
    }
    if (!append(text.substr(at, open - at))) return {};
    const std::size_t close = text.find(']', open + 1);
    if (close == std::string_view::npos) return {};
    const std::string_view name = text.substr(open + 1, close - open - 1);
    if (name.size() <= kMaxReferenceNameBytes) {
      if (ScriptValue* value = lookup(name)) {
        const std::string* valueText = value->toText();
        if (valueText != nullptr && !append(*valueText)) return {};
      }
    }
    at = close + 1;
  }
}

}  // namespace vistel
