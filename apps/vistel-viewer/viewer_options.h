#pragma once

// The command line of vistel-viewer:
//   vistel-viewer [PROJECT] [--param NAME=VALUE]... [--params FILE] [--size WxH]
// PROJECT is a project file: its text becomes the control's `Project`
// property and relative file:// pictures are read from its folder. --param
// and --params set load-time properties of the control (property_bag.h), as a
// page's <param>s would; --size sets the size of the view in pixels. Without
// a project (no PROJECT, no `Project` property, no two camera addresses) the
// bundled demo is shown, from the data folder installed with the viewer.
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
// PROJECT file. Without a project, the project file `demo` (empty: none) is
// read as if it were PROJECT. On failure returns nothing and sets `error` to
// one line saying why.
std::optional<ViewerOptions> parseViewerArguments(std::span<const std::string> args,
                                                  std::string& error,
                                                  const std::filesystem::path& demo = {});

// The folder of the bundled demo for the executable in `executableDir`: the
// same place relative to it where it is installed and in the build tree.
std::filesystem::path demoFolder(const std::filesystem::path& executableDir);
// demo.xml in demoFolder(executableDir), or empty when it is not there.
std::filesystem::path findDemoProject(const std::filesystem::path& executableDir);

// The usage text, ending with a line break; it names `demo` (empty: says the
// demo is missing).
std::string viewerUsage(const std::filesystem::path& demo = {});

}  // namespace vistel
