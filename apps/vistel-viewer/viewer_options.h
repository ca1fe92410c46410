#pragma once

// The command line of vistel-viewer:
//   vistel-viewer [PROJECT] [--param NAME=VALUE]... [--params FILE] [--size WxH]
// PROJECT is a project file; --param sets one load-time property of the
// control (as a page's <param> would), --params reads NAME=VALUE lines from a
// file (blank lines and lines starting with "#" are skipped), --size sets the
// size of the view in pixels.
//
// Thread-safety: plain functions on their arguments.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistel {

struct ViewerOptions {
  static constexpr int kDefaultWidth = 800;
  static constexpr int kDefaultHeight = 600;
  static constexpr int kMinSide = 16;
  static constexpr int kMaxSide = 16384;
  // Largest --params file read.
  static constexpr std::size_t kMaxParamsFileBytes = 1 << 20;

  std::filesystem::path project;  // empty: none given
  // Properties in the order given; a later one with the same name wins when
  // the control reads them.
  std::vector<std::pair<std::string, std::string>> params;
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  bool help = false;  // --help: print the usage and do nothing else
};

// One "NAME=VALUE" property; false for a missing "=" or an empty name.
[[nodiscard]] bool parseParam(std::string_view text, std::pair<std::string, std::string>& out);

// Reads `args` (after the program name). On failure returns nothing and sets
// `error` to one line saying why (a --params file is read here).
std::optional<ViewerOptions> parseViewerArguments(std::span<const std::string> args,
                                                  std::string& error);

// The usage text, ending with a line break.
std::string viewerUsage();

}  // namespace vistel
