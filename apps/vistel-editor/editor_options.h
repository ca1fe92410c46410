#pragma once

// The command line of vistel-editor:
//   vistel-editor [PROJECT]
//   vistel-editor --help
// PROJECT is a project file to open (it need not exist yet: a new project is
// then saved there).
//
// Thread-safety: plain functions on their arguments.

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace vistel {

struct EditorOptions {
  std::filesystem::path project;  // empty: start with a new project
  bool help = false;              // --help: print the usage and do nothing else
};

// Reads `args` (after the program name). On failure returns nothing and sets
// `error` to one line saying why.
std::optional<EditorOptions> parseEditorArguments(std::span<const std::string> args,
                                                  std::string& error);

// The usage text, ending with a line break.
std::string editorUsage();

}  // namespace vistel
