#pragma once

// Whole H.264 and H.265 NAL units, as early as they can be known to be whole,
// from the pieces libav's RTP depacketiser hands over one RTP packet at a
// time. Handed to a decoder that takes a picture slice by slice (H.264), or
// gathered into whole pictures first (H.265, below), a picture is then shown
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
// than a first fragment's (start code, the unit's header, a fragment) is
// whole. Until the size is learnt, start-coded pieces below a size no
// packetiser fragments at are taken as whole. Whatever the sizes leave open
// is whole once the next start-coded piece arrives. A further fragment with
// no unit open (a lost packet, or a packetiser that cuts unevenly) is
// reported, and sizes are no longer trusted on this connection.
//
// Thread-safety: none; one stream's reading thread.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vistel::detail {

// Which unit header a stream's units carry: H.264's one byte or H.265's two.
enum class NalCodec { H264, H265 };

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

  explicit NalAssembler(NalCodec codec = NalCodec::H264)
      : headerSize_(codec == NalCodec::H265 ? 2 : 1) {}

  // Takes one depacketised piece; appends every unit (start code included)
  // known to be whole after it to `ready`, in order.
  [[nodiscard]] Piece add(const std::uint8_t* data, std::size_t size,
                          std::vector<std::uint8_t>& ready);

  // Forgets the open unit and everything learnt (a new connection); keeps the codec.
  void reset();

  // False once an orphan showed that sizes cannot be trusted here.
  bool trustsSizes() const { return trustSizes_; }
  // The learnt size of a further fragment; 0 while unknown.
  std::size_t fragmentSize() const { return fragmentSize_; }

 private:
  void closeOpen(std::vector<std::uint8_t>& ready);

  std::size_t headerSize_;          // bytes of a unit's header, rebuilt in a first fragment
  std::vector<std::uint8_t> open_;  // a unit that may go on; empty when none
  std::size_t openStartSize_ = 0;   // size of the start-coded piece that opened it
  bool openContinued_ = false;      // a further fragment followed it
  std::size_t fragmentSize_ = 0;
  bool trustSizes_ = true;
};

// Whole H.265 pictures (access units) from whole units, as soon as the
// picture's last slice is in. libavcodec's H.265 decoder takes a packet as a
// whole picture, so slices cannot go to it one by one as H.264's do.
//
// A picture begins with a slice unit whose first_slice_segment_in_pic_flag is
// set, or with the parameter sets, delimiter or prefix SEI before it, and the
// units between pictures go with the picture that follows. How many slice
// units a picture has is learnt from the first picture seen whole (ended by
// the next one's beginning); from then on a picture is handed on when that
// many are in. When the count proves wrong (a picture begins before the count
// is reached, or a further slice of a picture already handed on arrives) the
// picture concerned is reported damaged and every later picture is handed on
// when the next one begins, as libav's own parser does.
//
// Thread-safety: none; one stream's reading thread.
class HevcPictureAssembler {
 public:
  // Gathered units beyond this many bytes are dropped and reported damaged (a
  // stream whose pictures never end); whole pictures are far smaller.
  static constexpr std::size_t kMaxGatheredBytes = 32 << 20;

  enum class Units {
    Taken,    // added; `pictures` holds whatever became whole
    Damaged,  // added, but a picture handed on (or about to be) lacks slices or has one too many
  };

  // One whole picture: its units, each after a four-byte start code, and the
  // stamp given with its first slice.
  struct Picture {
    std::vector<std::uint8_t> bytes;
    std::int64_t stamp = 0;
  };

  // Takes whole start-coded units (one or several, as NalAssembler hands them
  // on) that arrived with `stamp`; appends every picture known to be whole
  // after them to `pictures`, in order.
  [[nodiscard]] Units add(const std::uint8_t* data, std::size_t size, std::int64_t stamp,
                          std::vector<Picture>& pictures);

  // Forgets the gathered units and everything learnt (a new connection).
  void reset();

  // False once a count proved wrong on this connection.
  bool trustsCounts() const { return trustCounts_; }
  // The learnt number of slice units of a picture; 0 while unknown.
  int sliceCount() const { return sliceCount_; }

 private:
  // Adds one unit (without start code, at least its header); false when it
  // showed damage.
  bool addUnit(const std::uint8_t* unit, std::size_t size, std::int64_t stamp,
               std::vector<Picture>& pictures);
  // Hands on the open picture, ended by the next one's beginning; false when
  // it was short of the learnt count.
  bool endPicture(std::vector<Picture>& pictures);
  // Hands on the gathered units as one picture.
  void handOn(std::vector<Picture>& pictures);

  std::vector<std::uint8_t> gathered_;  // units of the picture being gathered
  std::int64_t stamp_ = 0;              // the open picture's stamp
  int slices_ = 0;                      // slice units in gathered_; 0: no picture open
  bool lastHandedOn_ = false;           // the last picture went on by count, none began since
  int sliceCount_ = 0;
  bool trustCounts_ = true;
};

}  // namespace vistel::detail
