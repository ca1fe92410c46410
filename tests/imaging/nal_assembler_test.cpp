// Whole H.264 units from depacketised pieces: when each unit is handed on.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vistel::detail
