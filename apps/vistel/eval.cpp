// `vistel eval`: lets project authors check how the viewer reads a condition,
// an arithmetic expression or an attribute value before they ship a project.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <utility>

#include "command_line.h"
#include "commands.h"
#include "vistel/project/values.h"

namespace vistel::cli {

const char* const kEvalHelp =
    "usage: vistel eval [--var NAME=TEXT]... MODE TEXT\n"
    "\n"
    "Modes:\n"
    "  --number       evaluate TEXT as arithmetic; prints %.17g, nan, inf or -inf\n"
    "  --condition    evaluate TEXT as a script condition, with the variables as a\n"
    "                 script's scope resolves them; prints true or false\n"
    "  --truth        the truth of an attribute value set to TEXT (true or false)\n"
    "  --text         the text of an attribute value set to TEXT\n"
    "  --colour       the colour of an attribute value set to TEXT (0xAARRGGBB)\n"
    "  --interpolate  TEXT with every [NAME] replaced from the variables\n"
    "\n"
    "--var NAME=TEXT defines a variable (repeatable). --number, --truth, --text and\n"
    "--colour read TEXT as an attribute value after interpolation, where a\n"
    "reference reads 0; use --interpolate first to see the substituted text.\n"
    "Put -- before a TEXT that starts with a dash.\n";

namespace {

enum class Mode { None, Number, Condition, Truth, Text, Colour, Interpolate };

std::string formatNumber(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.17g", x);
  return buffer;
}

}  // namespace

int runEval(const std::vector<std::string>& args, Io io) {
  VariableScope scope;
  Mode mode = Mode::None;
  std::vector<std::string> texts;
  CommandLine line;
  line.unknownOption([](const std::string& arg) { return "unknown option " + arg; });
  line.option(
      "--var",
      [&scope](const std::string& definition) -> std::string {
        const auto equals = definition.find('=');
        if (equals == std::string::npos || equals == 0) {
          return "--var needs NAME=TEXT, got '" + definition + "'";
        }
        scope.setVariable(std::string_view(definition).substr(0, equals),
                          std::string_view(definition).substr(equals + 1));
        return "";
      },
      "--var needs NAME=TEXT");
  for (const auto& [names, m] : {std::pair{"--number", Mode::Number},
                                 {"--condition", Mode::Condition},
                                 {"--truth", Mode::Truth},
                                 {"--text", Mode::Text},
                                 {"--colour,--color", Mode::Colour},
                                 {"--interpolate", Mode::Interpolate}}) {
    line.flag(names, [&mode, m = m]() -> std::string {
      if (mode != Mode::None) return "give exactly one MODE";
      mode = m;
      return "";
    });
  }
  line.words(texts, 1, [](const std::string&) { return "expected one TEXT"; });
  std::string error;
  if (!line.parse(args, error)) return usageError(io, "eval", error);
  if (mode == Mode::None) return usageError(io, "eval", "missing MODE");
  if (texts.empty()) return usageError(io, "eval", "missing TEXT");
  const std::string* text = &texts[0];

  ScriptValue value;
  value.setText(*text);
  switch (mode) {
    case Mode::Number:
      io.out << formatNumber(evaluateNumber(*text)) << "\n";
      break;
    case Mode::Condition: {
      const VariableResolver resolver = [&scope](std::string_view name) {
        return scope.lookup(name);
      };
      io.out << (evaluateCondition(*text, &resolver) ? "true" : "false") << "\n";
      break;
    }
    case Mode::Truth:
      io.out << (value.toTruth() ? "true" : "false") << "\n";
      break;
    case Mode::Text: {
      const std::string* t = value.toText();
      io.out << (t != nullptr ? *t : std::string()) << "\n";
      break;
    }
    case Mode::Colour: {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "0x%08" PRIX32, value.toColour());
      io.out << buffer << "\n";
      break;
    }
    case Mode::Interpolate:
      io.out << scope.interpolate(*text) << "\n";
      break;
    case Mode::None:
      break;
  }
  return kExitOk;
}

}  // namespace vistel::cli
