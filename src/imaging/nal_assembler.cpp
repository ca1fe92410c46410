#include <cstring>

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

// Whether an H.265 unit of `type` that follows a picture's slices begins the
// next picture: delimiter, parameter sets, prefix SEI and the reserved and
// unspecified types that go before a picture. End of sequence or stream,
// filler and suffix SEI stay with the picture before.
bool beginsPicture(int type) {
  return (type >= 32 && type <= 35) || type == 39 || (type >= 41 && type <= 44) ||
         (type >= 48 && type <= 55);
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
    // A first fragment is the start code, the unit's header (rebuilt by the
    // depacketiser) and a fragment's worth of the unit.
    const bool mayBeFirstFragment =
        !trustSizes_ || (fragmentSize_ == 0 ? size >= kSmallestFragmentPiece
                                            : size == codeLength + headerSize_ + fragmentSize_);
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
    const std::size_t fragment =
        openStartSize_ > openCode + headerSize_ ? openStartSize_ - openCode - headerSize_ : 0;
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

void HevcPictureAssembler::reset() {
  gathered_.clear();
  stamp_ = 0;
  slices_ = 0;
  lastHandedOn_ = false;
  sliceCount_ = 0;
  trustCounts_ = true;
}

void HevcPictureAssembler::handOn(std::vector<Picture>& pictures) {
  pictures.push_back({std::move(gathered_), stamp_});
  gathered_.clear();
  slices_ = 0;
}

bool HevcPictureAssembler::endPicture(std::vector<Picture>& pictures) {
  bool whole = true;
  if (sliceCount_ == 0) {
    sliceCount_ = slices_;
  } else if (trustCounts_ && slices_ < sliceCount_) {
    trustCounts_ = false;
    whole = false;
  }
  handOn(pictures);
  lastHandedOn_ = false;
  return whole;
}

bool HevcPictureAssembler::addUnit(const std::uint8_t* unit, std::size_t size, std::int64_t stamp,
                                   std::vector<Picture>& pictures) {
  static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
  bool whole = true;
  if (gathered_.size() + sizeof kStartCode + size > kMaxGatheredBytes) {
    gathered_.clear();
    slices_ = 0;
    whole = false;
  }
  const int type = (unit[0] >> 1) & 0x3F;
  if (type >= 32) {
    if (slices_ > 0 && beginsPicture(type)) whole = endPicture(pictures) && whole;
  } else {
    // A slice: the first bit after the header says whether it begins a picture.
    const bool first = size > 2 && (unit[2] & 0x80) != 0;
    if (first) {
      if (slices_ > 0) whole = endPicture(pictures) && whole;
      stamp_ = stamp;
      lastHandedOn_ = false;
    } else if (slices_ == 0) {
      // A slice of no open picture: the picture's first slice was lost, or
      // the picture was handed on with fewer slices than it has.
      if (lastHandedOn_) trustCounts_ = false;
      return false;
    }
    ++slices_;
  }
  gathered_.insert(gathered_.end(), kStartCode, kStartCode + sizeof kStartCode);
  gathered_.insert(gathered_.end(), unit, unit + size);
  if (type < 32 && trustCounts_ && slices_ == sliceCount_) {
    handOn(pictures);
    lastHandedOn_ = true;
  }
  return whole;
}

HevcPictureAssembler::Units HevcPictureAssembler::add(const std::uint8_t* data, std::size_t size,
                                                      std::int64_t stamp,
                                                      std::vector<Picture>& pictures) {
  if (data == nullptr) return Units::Taken;
  bool whole = true;
  // A unit is what lies between one 00 00 01 and the next, less the zeros at
  // its end (a four-byte code's first byte, or padding no decoder reads);
  // bytes before the first 00 00 01 belong to no unit.
  const std::uint8_t* const end = data + size;
  const std::uint8_t* unit = nullptr;
  const auto addUpTo = [&](const std::uint8_t* stop) {
    while (stop > unit && stop[-1] == 0) --stop;
    // Shorter than its two-byte header: nothing a decoder could use.
    if (stop - unit >= 2)
      whole = addUnit(unit, static_cast<std::size_t>(stop - unit), stamp, pictures) && whole;
  };
  const std::uint8_t* from = data;
  while (end - from >= 3) {
    const auto* one = static_cast<const std::uint8_t*>(
        std::memchr(from + 2, 1, static_cast<std::size_t>(end - from - 2)));
    if (one == nullptr) break;
    if (one[-1] != 0 || one[-2] != 0) {
      from = one - 1;
      continue;
    }
    if (unit != nullptr) addUpTo(one - 2);
    unit = one + 1;
    from = one + 1;
  }
  if (unit != nullptr) addUpTo(end);
  return whole ? Units::Taken : Units::Damaged;
}

}  // namespace vistel::detail
