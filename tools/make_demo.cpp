// make_demo FOLDER: writes the bundled demo project into FOLDER: the two camera
// pictures left.jpg and right.jpg and the project demo.xml, all made from the
// scene description in demo_scene.cpp and street_texture.cpp.
// make_demo --live FOLDER: writes the live demo's demo.xml, whose cameras are
// the ones `vistel camera-sim` serves. Run from the source tree as
//
//   build/tools/make_demo examples/demo
//   build/tools/make_demo --live examples/demo-live
//
// The output is the same bytes on every run; the tools tests check that the
// committed files still match the scene description.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "demo_scene.h"

int main(int argc, char** argv) {
  const bool live = argc == 3 && std::strcmp(argv[1], "--live") == 0;
  const bool help =
      argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
  if (help || !(argc == 2 || live) || (argc == 2 && argv[1][0] == '-')) {
    std::fprintf(help ? stdout : stderr,
                 "usage: make_demo FOLDER\n"
                 "       make_demo --live FOLDER\n"
                 "Writes the demo project (left.jpg, right.jpg, demo.xml) into FOLDER, or with\n"
                 "--live the live demo's demo.xml (cameras served by `vistel camera-sim`).\n");
    return help ? 0 : 2;
  }
  const std::filesystem::path folder = argv[argc - 1];
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::fprintf(stderr, "make_demo: %s is not a folder\n", argv[argc - 1]);
    return 1;
  }
  std::string error;
  const bool written =
      live ? vistel::demo::writeDemoProject(folder, vistel::demo::DemoKind::Live, error)
           : vistel::demo::writeDemoFiles(folder, error);
  if (!written) {
    std::fprintf(stderr, "make_demo: %s\n", error.c_str());
    return 1;
  }
  for (const auto& camera : vistel::demo::demoCameras()) {
    const vistel::KeyQuad k = vistel::demo::demoKey(camera);
    std::printf("%-5s key %.5f %.5f  %.5f %.5f  %.5f %.5f  %.5f %.5f\n",
                std::string(camera.viewId).c_str(), k.p0.x, k.p0.y, k.p1.x, k.p1.y, k.p2.x, k.p2.y,
                k.p3.x, k.p3.y);
  }
  std::printf("wrote %s\n", (folder / "demo.xml").c_str());
  return 0;
}
