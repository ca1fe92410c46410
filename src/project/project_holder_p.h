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

// The loader behind ProjectHolder::load, with the piece size as a parameter so
// tests can exercise the piecewise feeding on small texts. Returns null when
// the text held no root element.
std::unique_ptr<ProjectDocument> loadProjectText(const char* text, std::size_t length,
                                                 std::size_t chunkBytes);

}  // namespace vistel::detail
