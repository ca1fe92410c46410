#include <sys/mman.h>

#include <cstdint>

#include "vistel/platform/large_pages_p.h"

namespace vistel {

void adviseHugePages(void* data, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  if (data == nullptr || bytes < kHugePage || begin > UINTPTR_MAX - bytes) return;
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (first >= last) return;
  // Refused advice (no huge page support, a kernel built without it) costs
  // only speed.
  (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace vistel
