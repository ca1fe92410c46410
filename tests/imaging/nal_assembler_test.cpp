// Whole H.264 and H.265 units from depacketised pieces, and whole H.265
// pictures from units: when each is handed on.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "vistel/imaging/nal_assembler_p.h"

namespace vistel::detail {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A start-coded piece of `size` bytes (start code, a slice header byte, then `fill`).
Bytes startPiece(std::size_t size, std::uint8_t fill) {
  Bytes piece(size, fill);
  piece[0] = piece[1] = piece[2] = 0;
  piece[3] = 1;
  piece[4] = 0x41;
  return piece;
}

// A further fragment: no start code.
Bytes fragment(std::size_t size, std::uint8_t fill) { return Bytes(size, fill); }

struct Feed {
  NalAssembler assembler;
  Bytes handed;  // everything handed on so far
  Bytes sent;    // everything fed so far

  // Feeds `piece`; returns how many bytes it made whole.
  std::size_t operator()(const Bytes& piece,
                         NalAssembler::Piece expected = NalAssembler::Piece::Taken) {
    Bytes ready;
    EXPECT_EQ(assembler.add(piece.data(), piece.size(), ready), expected);
    if (expected == NalAssembler::Piece::Taken) sent.insert(sent.end(), piece.begin(), piece.end());
    handed.insert(handed.end(), ready.begin(), ready.end());
    return ready.size();
  }
};

TEST(NalAssemblerTest, HandsOnAUnitWhenItsLastFragmentIsIn) {
  constexpr std::size_t kFragment = 1398;  // a 1400-byte payload less the fragment header
  Feed feed;
  // Small units (parameter sets, small pictures) are whole at once.
  EXPECT_EQ(feed(startPiece(30, 1)), 30u);
  // A fragmented unit: held while it can go on, handed on with its short last fragment.
  EXPECT_EQ(feed(startPiece(kFragment + 5, 2)), 0u);
  EXPECT_EQ(feed(fragment(kFragment, 3)), 0u);
  EXPECT_EQ(feed(fragment(700, 4)), kFragment + 5 + kFragment + 700);
  EXPECT_EQ(feed.assembler.fragmentSize(), kFragment);
  // Learnt: a start-coded piece of any other size than a first fragment's is
  // whole, also a large one.
  EXPECT_EQ(feed(startPiece(kFragment + 4, 5)), kFragment + 4);
  // A last fragment of exactly the fragment size is whole once the next unit begins.
  EXPECT_EQ(feed(startPiece(kFragment + 5, 6)), 0u);
  EXPECT_EQ(feed(fragment(kFragment, 7)), 0u);
  EXPECT_EQ(feed(startPiece(20, 8)), kFragment + 5 + kFragment + 20);
  EXPECT_TRUE(feed.assembler.trustsSizes());
  EXPECT_EQ(feed.handed, feed.sent);
}

TEST(NalAssemblerTest, AnOrphanFragmentEndsTheTrustInSizes) {
  Feed feed;
  EXPECT_EQ(feed(startPiece(1000 + 5, 1)), 0u);
  EXPECT_EQ(feed(fragment(1000, 2)), 0u);
  EXPECT_EQ(feed(fragment(300, 3)), 2305u);
  // An uneven packetiser: the fragment taken as last was not.
  EXPECT_EQ(feed(fragment(200, 4), NalAssembler::Piece::Orphan), 0u);
  EXPECT_FALSE(feed.assembler.trustsSizes());
  // From now on every unit waits for the next one to begin.
  EXPECT_EQ(feed(startPiece(40, 5)), 0u);
  EXPECT_EQ(feed(startPiece(1005, 6)), 40u);
  EXPECT_EQ(feed(fragment(10, 7)), 0u);
  EXPECT_EQ(feed(startPiece(40, 8)), 1015u);
  EXPECT_EQ(feed.handed.size() + 40, feed.sent.size());

  // A new connection learns afresh.
  feed.assembler.reset();
  EXPECT_TRUE(feed.assembler.trustsSizes());
  EXPECT_EQ(feed.assembler.fragmentSize(), 0u);
  Bytes ready;
  const Bytes small = startPiece(40, 9);
  ASSERT_EQ(feed.assembler.add(small.data(), small.size(), ready), NalAssembler::Piece::Taken);
  EXPECT_EQ(ready, small);
}

TEST(NalAssemblerTest, TwoByteHeadersMakeAFirstFragmentOneByteLonger) {
  // libav rebuilds an H.265 fragmented unit's two-byte header before the
  // first fragment: 4 + 2 + 1385 bytes from 1400-byte packets.
  constexpr std::size_t kFragment = 1385;
  NalAssembler assembler(NalCodec::H265);
  Bytes ready;
  const auto add = [&](const Bytes& piece) {
    ready.clear();
    EXPECT_EQ(assembler.add(piece.data(), piece.size(), ready), NalAssembler::Piece::Taken);
    return ready.size();
  };
  EXPECT_EQ(add(startPiece(kFragment + 6, 1)), 0u);
  EXPECT_EQ(add(fragment(kFragment, 2)), 0u);
  EXPECT_EQ(add(fragment(100, 3)), kFragment + 6 + kFragment + 100);
  EXPECT_EQ(assembler.fragmentSize(), kFragment);
  // One byte shorter is a whole unit, not a first fragment.
  EXPECT_EQ(add(startPiece(kFragment + 5, 4)), kFragment + 5);
  EXPECT_EQ(add(startPiece(kFragment + 6, 5)), 0u);
  EXPECT_EQ(add(fragment(10, 6)), kFragment + 6 + 10);
  EXPECT_TRUE(assembler.trustsSizes());
}

// An H.265 unit: start code, two-byte header of `type`, and for a slice the
// first_slice_segment_in_pic_flag, then `fill` bytes.
Bytes hevcUnit(int type, bool firstSlice, std::size_t fill = 20) {
  Bytes unit = {0,
                0,
                0,
                1,
                static_cast<std::uint8_t>(type << 1),
                1,
                static_cast<std::uint8_t>(firstSlice ? 0x80 : 0x40)};
  unit.insert(unit.end(), fill, 0x55);
  return unit;
}

constexpr int kVps = 32, kSps = 33, kPps = 34, kPrefixSei = 39, kIdr = 19, kTrail = 1;

struct PictureFeed {
  HevcPictureAssembler assembler;
  std::vector<HevcPictureAssembler::Picture> pictures;  // everything handed on so far

  // Feeds the units as one piece; returns how many pictures it made whole.
  std::size_t operator()(
      std::initializer_list<Bytes> units, std::int64_t stamp,
      HevcPictureAssembler::Units expected = HevcPictureAssembler::Units::Taken) {
    Bytes piece;
    for (const Bytes& unit : units) piece.insert(piece.end(), unit.begin(), unit.end());
    const std::size_t before = pictures.size();
    EXPECT_EQ(assembler.add(piece.data(), piece.size(), stamp, pictures), expected);
    return pictures.size() - before;
  }
};

Bytes joined(std::initializer_list<Bytes> units) {
  Bytes all;
  for (const Bytes& unit : units) all.insert(all.end(), unit.begin(), unit.end());
  return all;
}

TEST(HevcPictureAssemblerTest, HandsOnAPictureWithItsLastSliceOnceTheCountIsLearnt) {
  PictureFeed feed;
  const Bytes vps = hevcUnit(kVps, false, 10), sps = hevcUnit(kSps, false, 30),
              pps = hevcUnit(kPps, false, 5), sei = hevcUnit(kPrefixSei, false, 8);
  const Bytes key1 = hevcUnit(kIdr, true, 900), key2 = hevcUnit(kIdr, false, 700);
  // Parameter sets and SEI wait for the key picture they go before; its
  // slice count is not known while it may go on.
  EXPECT_EQ(feed({vps, sps, pps}, 10), 0u);
  EXPECT_EQ(feed({sei, key1}, 10), 0u);
  EXPECT_EQ(feed({key2}, 10), 0u);
  EXPECT_EQ(feed.assembler.sliceCount(), 0);
  // The next picture's first slice ends it: two slices a picture.
  const Bytes p1 = hevcUnit(kTrail, true, 300), p2 = hevcUnit(kTrail, false, 200);
  EXPECT_EQ(feed({p1}, 20), 1u);
  EXPECT_EQ(feed.assembler.sliceCount(), 2);
  EXPECT_EQ(feed.pictures[0].bytes, joined({vps, sps, pps, sei, key1, key2}));
  EXPECT_EQ(feed.pictures[0].stamp, 10);
  // From now on a picture goes on with its second slice.
  EXPECT_EQ(feed({p2}, 20), 1u);
  EXPECT_EQ(feed.pictures[1].bytes, joined({p1, p2}));
  EXPECT_EQ(feed.pictures[1].stamp, 20);
  // Both slices in one piece, with a three-byte start code and padding
  // zeros: each goes on after a four-byte start code, without the padding.
  const Bytes q1 = hevcUnit(kTrail, true, 50), q2 = hevcUnit(kTrail, false, 60);
  Bytes piece(q1.begin() + 1, q1.end());
  piece.insert(piece.end(), {0, 0});
  piece.insert(piece.end(), q2.begin(), q2.end());
  ASSERT_EQ(feed.assembler.add(piece.data(), piece.size(), 30, feed.pictures),
            HevcPictureAssembler::Units::Taken);
  ASSERT_EQ(feed.pictures.size(), 3u);
  EXPECT_EQ(feed.pictures[2].bytes, joined({q1, q2}));
  EXPECT_EQ(feed({vps, sps, pps, key1}, 40), 0u);
  EXPECT_EQ(feed({key2}, 40), 1u);
  EXPECT_EQ(feed.pictures[3].bytes, joined({vps, sps, pps, key1, key2}));
  EXPECT_TRUE(feed.assembler.trustsCounts());

  // A new connection learns afresh.
  feed.assembler.reset();
  EXPECT_EQ(feed.assembler.sliceCount(), 0);
  EXPECT_EQ(feed({key1, key2}, 50), 0u);
}

TEST(HevcPictureAssemblerTest, ACountThatProvesWrongFallsBackToTheNextPicturesBeginning) {
  using Units = HevcPictureAssembler::Units;
  const Bytes first = hevcUnit(kTrail, true), further = hevcUnit(kTrail, false);
  // A picture begins before the count is reached: the one before was short.
  {
    PictureFeed feed;
    EXPECT_EQ(feed({first, further}, 1), 0u);
    EXPECT_EQ(feed({first}, 2), 1u);  // count 2 learnt
    EXPECT_EQ(feed({first}, 3, Units::Damaged), 1u);
    EXPECT_EQ(feed.pictures[1].bytes, first);
    EXPECT_FALSE(feed.assembler.trustsCounts());
    // Every picture now waits for the next one to begin, whatever its count.
    EXPECT_EQ(feed({further}, 3), 0u);
    EXPECT_EQ(feed({first}, 4), 1u);
    EXPECT_EQ(feed.pictures[2].bytes, joined({first, further}));
    EXPECT_EQ(feed.pictures[2].stamp, 3);
  }
  // A further slice of a picture already handed on: dropped.
  {
    PictureFeed feed;
    EXPECT_EQ(feed({first}, 1), 0u);
    EXPECT_EQ(feed({first}, 2), 2u);  // count 1 learnt, and this one goes on at once
    EXPECT_EQ(feed({further}, 2, Units::Damaged), 0u);
    EXPECT_FALSE(feed.assembler.trustsCounts());
    EXPECT_EQ(feed({first, further}, 3), 0u);
    EXPECT_EQ(feed({hevcUnit(kVps, false)}, 4), 1u);  // what goes before a picture ends one
    EXPECT_EQ(feed.pictures.back().bytes, joined({first, further}));
  }
}

}  // namespace
}  // namespace vistel::detail
