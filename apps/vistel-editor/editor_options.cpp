#include "editor_options.h"

#include <vector>

#include "command_line.h"

namespace vistel {

std::optional<EditorOptions> parseEditorArguments(std::span<const std::string> args,
                                                  std::string& error) {
  EditorOptions options;
  std::vector<std::string> projects;
  CommandLine line;
  line.unknownOption(
      [](const std::string& arg) { return "unknown option '" + arg + "' (see --help)"; });
  line.flag("-h,--help", [&options] {
    options.help = true;
    return std::string();
  });
  line.words(projects, 1, [](const std::string&) { return "one PROJECT only"; });
  if (!line.parse(std::vector<std::string>(args.begin(), args.end()), error)) return std::nullopt;
  if (!projects.empty() && projects[0].empty()) {
    error = "the PROJECT name is empty";
    return std::nullopt;
  }
  if (!projects.empty()) options.project = projects[0];
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
