// Conditions with a resolver, and interpolation, over arbitrary bytes. Up to
// three leading lines become variables of a two-level scope ("#" before a
// line stores it as a number); the rest is the condition. Short inputs are
// also checked against the reference evaluator.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "../tests/project/expression_reference.h"
#include "vistel/project/values.h"

namespace {

constexpr std::size_t kReferenceBytes = 1024;

void setFromLine(vistel::VariableScope& scope, const std::string& name, std::string_view line) {
  if (!line.empty() && line.front() == '#') {
    scope.setNumber(name, vistel::evaluateNumber(line.substr(1)));
  } else {
    scope.setVariable(name, line);
  }
}

// What the reference sees of a variable: its expression text, or its number.
vistel::reference::Value referenceValue(vistel::ScriptValue& value) {
  if (value.flags() & vistel::ScriptValue::TextIsExpression) {
    return vistel::reference::Value::ofText(*value.toText());
  }
  return vistel::reference::Value::ofNumber(value.toNumber());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  vistel::VariableScope root;
  vistel::VariableScope scope(&root);
  static const char* const kNames[] = {"a", "b", "c"};
  for (const char* name : kNames) {
    const std::size_t newline = input.find('\n');
    if (newline == std::string_view::npos) break;
    setFromLine(name[0] == 'a' ? root : scope, name, input.substr(0, newline));
    input.remove_prefix(newline + 1);
  }
  const std::string condition(input);
  const vistel::VariableResolver resolver = [&](std::string_view name) {
    return scope.lookup(name);
  };
  const bool withResolver = vistel::evaluateCondition(condition, &resolver);
  const bool without = vistel::evaluateCondition(condition);
  const std::string interpolated = scope.interpolate(condition);
  const bool afterInterpolation = vistel::evaluateCondition(interpolated);

  if (size <= kReferenceBytes) {
    vistel::reference::Variables variables;
    for (const char* name : kNames) {
      if (vistel::ScriptValue* value = scope.lookup(name)) variables[name] = referenceValue(*value);
    }
    if (withResolver != vistel::reference::condition(condition, &variables)) std::abort();
    if (without != vistel::reference::condition(condition, nullptr)) std::abort();
    if (afterInterpolation != vistel::reference::condition(interpolated, nullptr)) std::abort();
  }
  return 0;
}
