#pragma once

// Whole H.264 NAL units, as early as they can be known to be whole, from the
// pieces libav's RTP depacketiser hands over one RTP packet at a time. Handed
// to a decoder that takes a picture slice by slice, a picture is then shown
// as soon as its last slice is in, instead of when the next picture's first
// packet arrives (one picture interval later), which is when a unit is
// known to be whole without looking at sizes.
//
// A piece that begins with a start code is a whole unit, several whole units
// (an aggregate), or the first fragment of a unit; one without is a further
// fragment. The depacketiser keeps no end mark, so the end of a fragmented
// unit is recognised by size: a packetiser cuts a unit into fragments of one
// fixed size (learnt from the first fragmented unit), so a further fragment
// shorter than that is the last, and a start-coded piece of any other size
// than a first fragment's is whole. Until the size is learnt, start-coded
// pieces below a size no packetiser fragments at are taken as whole. Whatever
// the sizes leave open is whole once the next start-coded piece arrives. A
// further fragment with no unit open (a lost packet, or a packetiser that
// cuts unevenly) is reported, and sizes are no longer trusted on this
// connection.
//
// Thread-safety: none; one stream's reading thread.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vistel::detail {

class NalAssembler {
 public:
  // Start-coded pieces shorter than this are whole while the fragment size is
  // not known yet: no packetiser cuts fragments this small (the smallest
  // datagram every IP host takes is 576 bytes).
  static constexpr std::size_t kSmallestFragmentPiece = 512;

  enum class Piece {
    Taken,   // added; `ready` holds whatever became whole
    Orphan,  // a further fragment of no open unit: dropped (the picture it belongs to is damaged)
  };

  // Takes one depacketised piece; appends every unit (start code included)
  // known to be whole after it to `ready`, in order.
  [[nodiscard]] Piece add(const std::uint8_t* data, std::size_t size,
                          std::vector<std::uint8_t>& ready);

  // Forgets the open unit and everything learnt (a new connection).
  void reset();

  // False once an orphan showed that sizes cannot be trusted here.
  bool trustsSizes() const { return trustSizes_; }
  // The learnt size of a further fragment; 0 while unknown.
  std::size_t fragmentSize() const { return fragmentSize_; }

 private:
  void closeOpen(std::vector<std::uint8_t>& ready);

  std::vector<std::uint8_t> open_;  // a unit that may go on; empty when none
  std::size_t openStartSize_ = 0;   // size of the start-coded piece that opened it
  bool openContinued_ = false;      // a further fragment followed it
  std::size_t fragmentSize_ = 0;
  bool trustSizes_ = true;
};

}  // namespace vistel::detail
