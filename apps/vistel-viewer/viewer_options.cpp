#include "viewer_options.h"

#include <charconv>
#include <fstream>
#include <system_error>
#include <vector>

#include "command_line.h"
#include "vistel/engine/viewer_engine.h"
#include "vistel/host/vistel_control.h"
#include "vistel/project/project_holder.h"

namespace vistel {

namespace {

bool parseSide(std::string_view text, int& out) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (value < ViewerOptions::kMinSide || value > ViewerOptions::kMaxSide) return false;
  out = value;
  return true;
}

bool parseSize(std::string_view text, int& width, int& height) {
  const std::size_t x = text.find_first_of("xX");
  if (x == std::string_view::npos) return false;
  int w = 0;
  int h = 0;
  if (!parseSide(text.substr(0, x), w) || !parseSide(text.substr(x + 1), h)) return false;
  width = w;
  height = h;
  return true;
}

// The whole file, refusing one larger than a property may hold.
bool readProject(const std::filesystem::path& file, std::string& text, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read the project '" + file.string() + "'";
    return false;
  }
  text.resize(PropertyBag::kMaxValueBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > PropertyBag::kMaxValueBytes) {
    error = "the project '" + file.string() + "' is larger than 8 MiB";
    return false;
  }
  return true;
}

}  // namespace

std::optional<ViewerOptions> parseViewerArguments(std::span<const std::string> args,
                                                  std::string& error,
                                                  const std::filesystem::path& demo) {
  ViewerOptions options;
  std::vector<std::string> projects;
  CommandLine line;
  line.properties(options.properties);
  line.flag("-h,--help", [&options] {
    options.help = true;
    return std::string();
  });
  const std::string badSize = "--size needs WxH, each side " +
                              std::to_string(ViewerOptions::kMinSide) + " to " +
                              std::to_string(ViewerOptions::kMaxSide);
  line.option(
      "--size", badSize,
      [&options](const std::string& v) { return parseSize(v, options.width, options.height); },
      badSize);
  line.words(projects, 1, [](const std::string&) { return "more than one project given"; });
  if (!line.parse(std::vector<std::string>(args.begin(), args.end()), error)) return std::nullopt;
  bool haveProject = !projects.empty();
  if (haveProject) options.project = projects[0];
  if (options.help) return options;

  // With nothing to show, the demo shows, as if it had been named.
  if (!haveProject && !demo.empty() && !options.properties.contains("Project") &&
      !generatesTwoCameraProject(options.properties)) {
    options.project = demo;
    haveProject = true;
  }

  std::error_code ec;
  if (haveProject) {
    if (options.properties.contains("Project")) {
      error = "give PROJECT or a Project property, not both";
      return std::nullopt;
    }
    std::string text;
    if (!readProject(options.project, text, error)) return std::nullopt;
    // Refused here rather than shown as an empty window that never says why.
    ProjectHolder holder;
    (void)holder.load(text.data(), text.size());
    if (holder.project() == nullptr || !ViewerEngine::startViewOf(*holder.project())) {
      error = "'" + options.project.string() +
              "' is not a Vistel project: it needs a <quilo> root element whose startview "
              "names one of its views";
      return std::nullopt;
    }
    if (!options.properties.set("Project", text)) {
      error = "the project '" + options.project.string() + "' cannot be a property";
      return std::nullopt;
    }
    options.fileBase = std::filesystem::absolute(options.project, ec).parent_path();
  } else {
    options.fileBase = std::filesystem::current_path(ec);
  }
  return options;
}

std::filesystem::path demoFolder(const std::filesystem::path& executableDir) {
  return (executableDir / VISTEL_DEMO_RELATIVE_DIR).lexically_normal();
}

std::filesystem::path findDemoProject(const std::filesystem::path& executableDir) {
  const std::filesystem::path project = demoFolder(executableDir) / "demo.xml";
  std::error_code ec;
  return std::filesystem::is_regular_file(project, ec) ? project : std::filesystem::path();
}

std::string viewerUsage(const std::filesystem::path& demo) {
  return "usage: vistel-viewer [PROJECT] [--param NAME=VALUE]... [--params FILE] [--size WxH]\n"
         "Shows a Vistel project in a window.\n"
         "  PROJECT            project file to show (its pictures are found from its folder)\n"
         "  --param NAME=VALUE one load-time property of the viewer control (repeatable)\n"
         "  --params FILE      NAME=VALUE lines; blank lines and lines starting with # skipped\n"
         "  --size WxH         size of the view in pixels (default 800x600, at most 2047)\n"
         "Without a project (no PROJECT, Project property or two camera addresses) it shows\n"
         "the bundled demo, " +
         (demo.empty() ? std::string("which is not installed here") : demo.string()) +
         ".\n"
         "In the window: Ctrl+C copies the position as a preset text; \"Open project...\"\n"
         "in the context menu, Ctrl+O or dropping a project file on the window opens one.\n";
}

}  // namespace vistel
