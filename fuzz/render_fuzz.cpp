// The whole load-and-render path under hostile project text: the loader, the
// scene (rebuild, the start view, the first edge's link and its two views),
// script dispatch, a few positions along the link including out-of-range
// ones, zoom and pan, the single-view path, and the renderer into a small
// frame with partial blocks, all as the engine drives them.
//
// Pictures stay inside the harness: one source manager for the process, whose
// single reader fails every network fetch at once (nothing is ever
// connected), holds two file:// pictures written once into a fresh temporary
// folder and decoded before the first input. Before the scene sees a
// document, the `src` of the root and of every view is rewritten, by a hash of
// its text, to one of four fixed names: the two pictures, a missing file in
// that folder, or a camera name the reader fails. Rewritten values hold no
// brackets, so interpolation cannot build another name, and preload lists
// read the same rewritten attributes: no other file is ever opened.
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/offline_reader.h"
#include "vistel/imaging/jpeg_codec.h"
#include "vistel/project/project_holder.h"
#include "vistel/scene/frame_renderer.h"

namespace {

using namespace vistel;

class IgnoringHost final : public ScriptHost {
 public:
  void setPendingLink(std::string_view) override {}
};

// Writes a width x height picture of a few gradients as a JPEG file.
void writePicture(const std::filesystem::path& path, std::int32_t width, std::int32_t height) {
  std::vector<std::uint32_t> pixels(std::size_t(width) * height);
  for (std::int32_t y = 0; y < height; ++y) {
    for (std::int32_t x = 0; x < width; ++x) {
      pixels[std::size_t(y) * width + x] = std::uint32_t(x * 255 / width) << 16 |
                                           std::uint32_t(y * 255 / height) << 8 | ((x ^ y) & 255);
    }
  }
  if (!encodeJpegFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(pixels.data()), width,
                      height)) {
    std::abort();
  }
}

struct Harness {
  std::filesystem::path folder;
  std::vector<std::string> names;
  std::unique_ptr<ImageSourceManager> sources;

  Harness() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vistel-render-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    writePicture(folder / "a.jpg", 48, 36);
    writePicture(folder / "b.jpg", 64, 40);
    names = {"file://" + (folder / "a.jpg").string(), "file://" + (folder / "b.jpg").string(),
             "file://" + (folder / "missing.jpg").string(), "camera.mjpg"};
    sources = std::make_unique<ImageSourceManager>(defaultThreadStarter(), 2048, 4096, 1,
                                                   test::offlineReaderFactory());
    // Decoded before the first input, so every input sees the same pictures.
    for (int i = 0; i < 2; ++i) {
      SourceRequest* request = sources->acquire(names[i]);
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (sources->currentFrame(request) == nullptr || sources->heldTimestamp(request) == 0) {
        if (std::chrono::steady_clock::now() > end) std::abort();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      sources->release(request);
    }
  }
  ~Harness() {
    sources.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }

  void rewrite(ProjectElement& element) const {
    const auto it = element.attributes.find("src");
    if (it != element.attributes.end()) {
      it->second = names[std::hash<std::string>()(it->second) % names.size()];
    }
  }
};

Harness& harness() {
  static Harness h;
  return h;
}

// What the engine does to enter the first edge of the start view.
void enterFirstEdge(Scene& scene) {
  ViewInstance* start = scene.currentView(0);
  if (start == nullptr || start->edges().empty()) return;
  VariableScope& edge = start->edges()[0]->scope();
  const std::string* link = edge.getText("link");
  if (link == nullptr) return;
  const std::string* dir = edge.getText("dir");
  if (!scene.startTraversal(
          *link, dir != nullptr && *dir == "backward" ? Direction::Backward : Direction::Forward))
    return;
  // A link text that interpolates to nothing starts no traversal.
  LinkTraversal* traversal = scene.currentLink();
  const std::string* from = traversal ? traversal->scope().getText("from") : nullptr;
  const std::string* to = traversal ? traversal->scope().getText("to") : nullptr;
  (void)scene.setCurrentViews({from ? *from : start->id(), to ? *to : start->id()});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Harness& h = harness();
  ProjectHolder holder;
  (void)holder.load(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<ProjectDocument> document = holder.release();
  if (!document) return 0;
  h.rewrite(*document);
  for (auto& [id, view] : document->views) h.rewrite(*view);

  Scene scene(*h.sources);
  FrameRenderer renderer(nullptr, nullptr, *h.sources, scene);
  const std::uint8_t placeholder[5 * 3 * 3] = {255, 0, 0, 0, 255, 0};
  renderer.setPlaceholder(placeholder, 5, 3);
  renderer.resize(45, 37);
  IgnoringHost host;

  if (!scene.rebuild(document.get())) return 0;
  const std::string* start = document->findAttribute("startview");
  if (start == nullptr || !scene.setCurrentViews({*start}) || scene.currentView(0) == nullptr) {
    return 0;
  }
  enterFirstEdge(scene);
  scene.dispatchEvents(host);
  scene.clearDisposal();
  (void)scene.updateViews();

  const float positions[] = {0.0f, 0.5f, 0.995f, -0.25f, std::numeric_limits<float>::quiet_NaN()};
  for (std::size_t i = 0; i < std::size(positions); ++i) {
    if (LinkTraversal* link = scene.currentLink()) link->setNavProgress(positions[i]);
    renderer.setZoom(i % 2 ? 1.7f : 1.0f);
    renderer.setOffset(i % 2 ? 0.2f : 0.0f, i % 3 ? -0.15f : 0.0f);
    (void)renderer.renderFrame();
  }
  // The single-view path, after the link ends.
  (void)scene.startTraversal("", Direction::Forward);
  renderer.resize(33, 20);
  (void)renderer.renderFrame();
  return 0;
}
