#pragma once

// Internals of the key-text cipher, visible to its tests.

#include <cstdint>
#include <span>

namespace vistel::detail {

// Whether this processor runs the 256-bit deciphering path.
bool cpuHasAvx2();

// decipherKeyBlocks with the code path chosen by the caller: `avx2` only where
// cpuHasAvx2(), otherwise the portable path.
void decipherKeyBlocks(std::span<const std::span<std::uint8_t>> buffers, bool avx2);

}  // namespace vistel::detail
