#include "editor_options.h"

namespace vistel {

std::optional<EditorOptions> parseEditorArguments(std::span<const std::string> args,
                                                  std::string& error) {
  EditorOptions options;
  bool onlyFiles = false;
  for (const std::string& arg : args) {
    if (!onlyFiles && arg == "--") {
      onlyFiles = true;
    } else if (!onlyFiles && (arg == "--help" || arg == "-h")) {
      options.help = true;
    } else if (!onlyFiles && arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + arg + "' (see --help)";
      return std::nullopt;
    } else if (!options.project.empty()) {
      error = "one PROJECT only";
      return std::nullopt;
    } else if (arg.empty()) {
      error = "the PROJECT name is empty";
      return std::nullopt;
    } else {
      options.project = arg;
    }
  }
  return options;
}

std::string editorUsage() {
  return "usage: vistel-editor [PROJECT]\n"
         "\n"
         "Makes and changes Vistel projects without writing XML: camera views (address,\n"
         "frame rate, lens, with a camera test and a lens-corrected live preview), links\n"
         "with keys made by clicking the same four ground points in two corrected\n"
         "pictures (the transition shown beside them), shapes drawn on a view, and\n"
         "presets recorded in an embedded viewer. Problems of the project are listed as\n"
         "you edit.\n"
         "\n"
         "PROJECT is opened when it exists and is saved there otherwise. Presets are\n"
         "saved beside the project in NAME.params, which viewers take with\n"
         "--params NAME.params.\n"
         "\n"
         "  --help   print this text and exit\n"
         "\n"
         "Exits with 2 on bad arguments.\n";
}

}  // namespace vistel
