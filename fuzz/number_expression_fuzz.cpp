// Arithmetic and the typed readings of a value over arbitrary bytes. Short
// inputs are also checked against the reference evaluator, bit for bit.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../tests/project/expression_reference.h"
#include "vistel/project/values.h"

namespace {

// The reference recurses once per operator; keep it well inside the stack.
constexpr std::size_t kReferenceBytes = 1024;

bool sameNumber(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double number = vistel::evaluateNumber(text);
  if (size <= kReferenceBytes && !sameNumber(number, vistel::reference::number(text))) std::abort();

  vistel::ScriptValue value;
  value.setText(text);
  if (!sameNumber(value.toNumber(), number)) std::abort();
  const std::uint32_t colour = value.toColour();
  const bool truth = value.toTruth();
  if (value.toColour() != colour || value.toTruth() != truth) std::abort();
  if (value.toText() == nullptr || *value.toText() != text) std::abort();

  vistel::ScriptValue formatted;
  formatted.setNumber(number);
  const std::string* shown = formatted.toText();
  if (shown == nullptr || formatted.toTruth() != (number != 0) || formatted.toColour() != 0)
    std::abort();
  return 0;
}
