#pragma once

// Internals of the project loader, visible to its tests.

#include <cstddef>
#include <memory>

#include "vistel/project/document.h"

namespace vistel::detail {

// expat 2.5 copies every parse call into one buffer whose size doubles from
// 1 KiB and may not pass 2^30 bytes, so one call over more than 1 GiB fails
// before parsing a byte. Texts longer than this are fed in pieces of this size.
inline constexpr std::size_t kParseChunkBytes = std::size_t{1} << 29;

// More entity declarations than this stop the parse. expat 2.5 expands nested
// entity references by recursion, so a long chain of entities, each naming the
// previous one, overflows the stack; real projects declare few or none.
inline constexpr std::size_t kMaxEntityDeclarations = 64;

// Told about every element the loader makes, as it makes it: `startTag` counts
// the start tags the parser reported before the element's own (skipped ones
// included), so it names the element's place in the text. An element whose id
// was taken is told too, but is not part of the finished document; its
// address may then be reused by a later element. Called on the loading thread.
class LoadObserver {
 public:
  virtual ~LoadObserver() = default;
  virtual void made(std::size_t startTag, const ProjectElement& element) = 0;
};

// The loader behind ProjectHolder::load, with the piece size as a parameter so
// tests can exercise the piecewise feeding on small texts, and an observer
// (may be null) for callers that relate the model to the text. Returns null
// when the text held no root element.
std::unique_ptr<ProjectDocument> loadProjectText(const char* text, std::size_t length,
                                                 std::size_t chunkBytes,
                                                 LoadObserver* observer = nullptr);

}  // namespace vistel::detail
