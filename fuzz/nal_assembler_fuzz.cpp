// Feeds arbitrary depacketised pieces to the H.264 unit assembler (each piece's
// length from two input bytes) and checks that what it hands on is exactly
// what it took, in order, with nothing held back once a new unit begins.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vistel/imaging/nal_assembler_p.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vistel::detail::NalAssembler assembler;
  std::vector<std::uint8_t> taken, handed, ready;
  std::size_t pos = 0;
  while (pos + 2 <= size) {
    const std::size_t want = std::size_t{data[pos]} << 8 | data[pos + 1];
    pos += 2;
    const std::size_t length = std::min(want, size - pos);
    ready.clear();
    const auto piece = assembler.add(data + pos, length, ready);
    if (piece == vistel::detail::NalAssembler::Piece::Taken) {
      taken.insert(taken.end(), data + pos, data + pos + length);
    }
    handed.insert(handed.end(), ready.begin(), ready.end());
    require(handed.size() <= taken.size() &&
            std::equal(handed.begin(), handed.end(), taken.begin()));
    pos += length;
  }
  // A new unit makes every open one whole (it may itself stay open).
  const std::uint8_t next[] = {0, 0, 0, 1, 0x09, 0xF0};
  ready.clear();
  require(assembler.add(next, sizeof next, ready) == vistel::detail::NalAssembler::Piece::Taken);
  handed.insert(handed.end(), ready.begin(), ready.end());
  require(handed.size() >= taken.size() && std::equal(taken.begin(), taken.end(), handed.begin()));
  require(handed.size() == taken.size() || handed.size() == taken.size() + sizeof next);
  return 0;
}
