#include "vistel/imaging/nal_assembler_p.h"

namespace vistel::detail {

namespace {

// Length of the start code `data` begins with: 4 (00 00 00 01), 3 (00 00 01)
// or 0 for none.
std::size_t startCodeLength(const std::uint8_t* data, std::size_t size) {
  if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) return 4;
  if (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) return 3;
  return 0;
}

}  // namespace

void NalAssembler::reset() {
  open_.clear();
  openStartSize_ = 0;
  openContinued_ = false;
  fragmentSize_ = 0;
  trustSizes_ = true;
}

void NalAssembler::closeOpen(std::vector<std::uint8_t>& ready) {
  ready.insert(ready.end(), open_.begin(), open_.end());
  open_.clear();
  openContinued_ = false;
}

NalAssembler::Piece NalAssembler::add(const std::uint8_t* data, std::size_t size,
                                      std::vector<std::uint8_t>& ready) {
  if (data == nullptr || size == 0) return Piece::Taken;
  const std::size_t codeLength = startCodeLength(data, size);
  if (codeLength != 0) {
    // Whatever was open ends where a new unit begins.
    if (!open_.empty()) closeOpen(ready);
    // A first fragment is the start code, the unit's one-byte header and a
    // fragment's worth of the unit.
    const bool mayBeFirstFragment =
        !trustSizes_ || (fragmentSize_ == 0 ? size >= kSmallestFragmentPiece
                                            : size == codeLength + 1 + fragmentSize_);
    if (!mayBeFirstFragment) {
      ready.insert(ready.end(), data, data + size);
      return Piece::Taken;
    }
    open_.assign(data, data + size);
    openStartSize_ = size;
    openContinued_ = false;
    return Piece::Taken;
  }

  if (open_.empty()) {
    // Its first fragment was lost, or a unit taken as whole was not.
    trustSizes_ = false;
    return Piece::Orphan;
  }
  if (!openContinued_) {
    // The opening piece was a first fragment: it tells the fragment size.
    const std::size_t openCode = startCodeLength(open_.data(), open_.size());
    const std::size_t fragment = openStartSize_ > openCode + 1 ? openStartSize_ - openCode - 1 : 0;
    if (fragmentSize_ == 0) {
      fragmentSize_ = fragment;
    } else if (fragment != fragmentSize_) {
      trustSizes_ = false;
    }
    openContinued_ = true;
  }
  open_.insert(open_.end(), data, data + size);
  if (size > fragmentSize_) trustSizes_ = false;
  if (trustSizes_ && size < fragmentSize_) closeOpen(ready);
  return Piece::Taken;
}

}  // namespace vistel::detail
