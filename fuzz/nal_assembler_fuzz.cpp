// Feeds arbitrary depacketised pieces (each piece's length from two input
// bytes) to the unit assembler, once as H.264 and once as H.265, and checks
// that what it hands on is exactly what it took, in order, with nothing held
// back once a new unit begins. The H.265 units then go through the picture
// assembler, which must hand on only units it took, in order, each picture
// with exactly one first slice before its other slices, and drop nothing
// without reporting damage.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vistel/imaging/nal_assembler_p.h"

namespace {

using vistel::detail::HevcPictureAssembler;
using vistel::detail::NalAssembler;
using vistel::detail::NalCodec;
using Bytes = std::vector<std::uint8_t>;

void require(bool ok) {
  if (!ok) std::abort();
}

// The units of a start-coded byte run: what lies between one 00 00 01 and the
// next, less the zeros at its end, skipping those shorter than a two-byte
// header.
std::vector<Bytes> unitsOf(const Bytes& bytes) {
  std::vector<std::size_t> codes;  // where each 00 00 01 begins
  for (std::size_t i = 0; i + 3 <= bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) codes.push_back(i);
  }
  std::vector<Bytes> units;
  for (std::size_t k = 0; k < codes.size(); ++k) {
    const std::size_t begin = codes[k] + 3;
    std::size_t end = k + 1 < codes.size() ? codes[k + 1] : bytes.size();
    while (end > begin && bytes[end - 1] == 0) --end;
    if (end < begin + 2) continue;
    units.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(begin),
                       bytes.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return units;
}

bool isSlice(const Bytes& unit) { return ((unit[0] >> 1) & 0x3F) < 32; }
bool isFirstSlice(const Bytes& unit) {
  return isSlice(unit) && unit.size() > 2 && (unit[2] & 0x80) != 0;
}

// Runs the unit assembler for `codec` over the pieces; returns the whole units
// handed on, after a final unit that makes every open one whole.
Bytes assembleUnits(const std::uint8_t* data, std::size_t size, NalCodec codec,
                    HevcPictureAssembler* pictures, bool& undamaged,
                    std::vector<HevcPictureAssembler::Picture>& handedPictures) {
  NalAssembler assembler(codec);
  Bytes taken, handed, ready;
  std::size_t pos = 0;
  std::int64_t stamp = 0;
  const auto feedPictures = [&] {
    if (!pictures || ready.empty()) return;
    std::vector<HevcPictureAssembler::Picture> whole;
    if (pictures->add(ready.data(), ready.size(), stamp, whole) ==
        HevcPictureAssembler::Units::Damaged) {
      undamaged = false;
    }
    for (auto& picture : whole) {
      require(picture.stamp <= stamp);
      const auto units = unitsOf(picture.bytes);
      const auto firstSlice = std::find_if(units.begin(), units.end(), isSlice);
      require(firstSlice != units.end() && isFirstSlice(*firstSlice));
      require(std::count_if(units.begin(), units.end(), isFirstSlice) == 1);
      // While counts are trusted, a picture has the learnt number of slices.
      if (pictures->trustsCounts()) {
        require(std::count_if(units.begin(), units.end(), isSlice) == pictures->sliceCount());
      }
      handedPictures.push_back(std::move(picture));
    }
  };
  while (pos + 2 <= size) {
    const std::size_t want = std::size_t{data[pos]} << 8 | data[pos + 1];
    pos += 2;
    const std::size_t length = std::min(want, size - pos);
    ready.clear();
    const auto piece = assembler.add(data + pos, length, ready);
    if (piece == NalAssembler::Piece::Taken) {
      taken.insert(taken.end(), data + pos, data + pos + length);
    }
    handed.insert(handed.end(), ready.begin(), ready.end());
    require(handed.size() <= taken.size() &&
            std::equal(handed.begin(), handed.end(), taken.begin()));
    feedPictures();
    ++stamp;
    pos += length;
  }
  // A new unit makes every open one whole (it may itself stay open).
  const std::uint8_t next[] = {0, 0, 0, 1, 0x46, 0x01, 0x50};  // an H.265 delimiter
  ready.clear();
  require(assembler.add(next, sizeof next, ready) == NalAssembler::Piece::Taken);
  handed.insert(handed.end(), ready.begin(), ready.end());
  require(handed.size() >= taken.size() && std::equal(taken.begin(), taken.end(), handed.begin()));
  require(handed.size() == taken.size() || handed.size() == taken.size() + sizeof next);
  if (handed.size() == taken.size()) {
    // It stays open itself: hand it on all the same, for the pictures.
    handed.insert(handed.end(), next, next + sizeof next);
    ready.insert(ready.end(), next, next + sizeof next);
  }
  feedPictures();
  return handed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool undamaged = true;
  std::vector<HevcPictureAssembler::Picture> pictures;
  (void)assembleUnits(data, size, NalCodec::H264, nullptr, undamaged, pictures);

  HevcPictureAssembler picturer;
  const Bytes units = assembleUnits(data, size, NalCodec::H265, &picturer, undamaged, pictures);
  // Every unit in a picture was taken, in order.
  const auto all = unitsOf(units);
  std::size_t at = 0;
  std::ptrdiff_t slicesHanded = 0;
  for (const auto& picture : pictures) {
    for (const Bytes& unit : unitsOf(picture.bytes)) {
      while (at < all.size() && all[at] != unit) ++at;
      require(at < all.size());
      ++at;
      if (isSlice(unit)) ++slicesHanded;
    }
  }
  // Without damage no slice was dropped or held back: the final delimiter
  // ends the last picture.
  if (undamaged) require(slicesHanded == std::count_if(all.begin(), all.end(), isSlice));
  return 0;
}
