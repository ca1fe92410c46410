#pragma once

// The files a browser gets from the server, built into the program from the
// project's web/ folder, so an installed `vistel serve` needs nothing beside it.
//
// Thread-safety: constant data.

#include <string_view>

namespace vistel::web {

struct WebAsset {
  std::string_view path;         // "/vistel.js"
  std::string_view contentType;  // "text/javascript; charset=utf-8"
  std::string_view body;
};

// The asset served at `path`, or null.
[[nodiscard]] const WebAsset* findWebAsset(std::string_view path);

}  // namespace vistel::web
