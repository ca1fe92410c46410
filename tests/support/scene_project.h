#pragma once

// Small projects for the scene and renderer tests and the render benchmark
// (header-only, so the benchmark needs no test library): key texts for given
// quads, loading text into a document, and a script host that records what
// `play` actions name.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vistel/project/encoding.h"
#include "vistel/project/project_holder.h"
#include "vistel/project/script_host.h"
#include "vistel/scene/geometry.h"

namespace vistel::test {

// The key text whose decoded bytes are `quad`.
inline std::string keyText(const KeyQuad& quad) { return encodeKeyText(keyQuadToBytes(quad)); }

// The document of `xml`; null when it has no root element.
inline std::unique_ptr<ProjectDocument> loadProject(std::string_view xml) {
  ProjectHolder holder;
  (void)holder.load(xml.data(), xml.size());
  return holder.release();
}

// Every link a `play` action named, in order.
class RecordingHost final : public ScriptHost {
 public:
  void setPendingLink(std::string_view link) override { links.emplace_back(link); }
  std::vector<std::string> links;
};

}  // namespace vistel::test
