#include "viewer_options.h"

#include <charconv>
#include <fstream>
#include <system_error>
#include <vector>

#include "vistel/host/vistel_control.h"

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
  std::vector<std::string> rest(args.begin(), args.end());
  if (!takePropertyOptions(rest, options.properties, error)) return std::nullopt;

  bool haveProject = false;
  bool onlyPositional = false;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    if (!onlyPositional && arg == "--") {
      onlyPositional = true;
    } else if (!onlyPositional && (arg == "--help" || arg == "-h")) {
      options.help = true;
    } else if (!onlyPositional && arg == "--size") {
      if (i + 1 >= rest.size() || !parseSize(rest[++i], options.width, options.height)) {
        error = "--size needs WxH, each side " + std::to_string(ViewerOptions::kMinSide) + " to " +
                std::to_string(ViewerOptions::kMaxSide);
        return std::nullopt;
      }
    } else if (!onlyPositional && arg.size() > 1 && arg.front() == '-') {
      error = "unknown option '" + arg + "'";
      return std::nullopt;
    } else if (haveProject) {
      error = "more than one project given";
      return std::nullopt;
    } else {
      options.project = arg;
      haveProject = true;
    }
  }
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
