#include "viewer_options.h"

#include <charconv>
#include <fstream>
#include <iterator>

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

bool readParamsFile(const std::filesystem::path& file,
                    std::vector<std::pair<std::string, std::string>>& params, std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot read the params file '" + file.string() + "'";
    return false;
  }
  std::string text;
  text.resize(ViewerOptions::kMaxParamsFileBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > ViewerOptions::kMaxParamsFileBytes) {
    error = "the params file '" + file.string() + "' is larger than 1 MiB";
    return false;
  }
  std::size_t lineNumber = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    std::pair<std::string, std::string> param;
    if (!parseParam(line, param)) {
      error = file.string() + ":" + std::to_string(lineNumber) + ": expected NAME=VALUE";
      return false;
    }
    params.push_back(std::move(param));
  }
  return true;
}

}  // namespace

bool parseParam(std::string_view text, std::pair<std::string, std::string>& out) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos || eq == 0) return false;
  out = {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
  return true;
}

std::optional<ViewerOptions> parseViewerArguments(std::span<const std::string> args,
                                                  std::string& error) {
  ViewerOptions options;
  bool haveProject = false;
  bool onlyPositional = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (!onlyPositional && arg == "--") {
      onlyPositional = true;
    } else if (!onlyPositional && (arg == "--help" || arg == "-h")) {
      options.help = true;
    } else if (!onlyPositional && arg == "--param") {
      std::pair<std::string, std::string> param;
      if (!hasValue || !parseParam(args[++i], param)) {
        error = "--param needs NAME=VALUE";
        return std::nullopt;
      }
      options.params.push_back(std::move(param));
    } else if (!onlyPositional && arg == "--params") {
      if (!hasValue) {
        error = "--params needs a file";
        return std::nullopt;
      }
      if (!readParamsFile(args[++i], options.params, error)) return std::nullopt;
    } else if (!onlyPositional && arg == "--size") {
      if (!hasValue || !parseSize(args[++i], options.width, options.height)) {
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
  return options;
}

std::string viewerUsage() {
  return "usage: vistel-viewer [PROJECT] [--param NAME=VALUE]... [--params FILE] [--size WxH]\n"
         "Shows a Vistel project in a window.\n"
         "  PROJECT            project file to show\n"
         "  --param NAME=VALUE one load-time property of the viewer control (repeatable)\n"
         "  --params FILE      NAME=VALUE lines; blank lines and lines starting with # skipped\n"
         "  --size WxH         size of the view in pixels (default 800x600)\n";
}

}  // namespace vistel
