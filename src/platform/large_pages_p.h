#pragma once

// Camera pictures and lens maps of HD cameras are several megabytes each, and
// a transition reads four of them at scattered places every frame. On 4 KiB
// pages that walk keeps missing the processor's address-translation cache,
// and under virtualisation every miss is a two-level page walk; on 2 MiB
// pages the same reads need a few dozen translations.

#include <cstddef>

namespace vistel {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes)
// with huge pages, from the first touch on; call it before the memory is
// written. A hint only: ranges holding no whole huge page, null, and systems
// with huge pages switched off are left as they are. Any thread.
void adviseHugePages(void* data, std::size_t bytes) noexcept;

}  // namespace vistel
