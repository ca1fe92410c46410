// vistel-editor: makes and changes projects; see editor_options.h for the
// command line.
#include <QApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "editor_options.h"
#include "editor_window.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = vistel::parseEditorArguments(args, error);
  if (!options) {
    std::fprintf(stderr, "vistel-editor: %s\n", error.c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(vistel::editorUsage().c_str(), stdout);
    return 0;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vistel editor"));
  vistel::EditorWindow window;
  if (!options->project.empty() && !window.openProject(options->project)) return 1;
  window.show();
  return QApplication::exec();
}
