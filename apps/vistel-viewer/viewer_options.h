#pragma once

// The command line of vistel-viewer:
//   vistel-viewer [PROJECT] [--param NAME=VALUE]... [--params FILE] [--size WxH]
// PROJECT is a project file: its text becomes the control's `Project`
// property and relative file:// pictures are read from its folder. --param
// and --params set load-time properties of the control (property_bag.h), as a
// page's <param>s would; --size sets the size of the view in pixels.
//
// Thread-safety: plain functions on their arguments.

#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "vistel/host/property_bag.h"

namespace vistel {

struct ViewerOptions {
  static constexpr int kDefaultWidth = 800;
  static constexpr int kDefaultHeight = 600;
  static constexpr int kMinSide = 16;
  static constexpr int kMaxSide = 2047;  // the engine renders no larger frame

  std::filesystem::path project;   // empty: none given
  PropertyBag properties;          // with `Project` set from PROJECT
  std::filesystem::path fileBase;  // folder of relative file:// pictures
  int width = kDefaultWidth;
  int height = kDefaultHeight;
  bool help = false;  // --help: print the usage and do nothing else
};

// Reads `args` (after the program name), reading a --params file and the
// PROJECT file. On failure returns nothing and sets `error` to one line
// saying why.
std::optional<ViewerOptions> parseViewerArguments(std::span<const std::string> args,
                                                  std::string& error);

// The usage text, ending with a line break.
std::string viewerUsage();

}  // namespace vistel
