// The rasteriser's 256-bit path: eight pixels per step, byte-identical to the
// portable path. Compiled for AVX2 function by function, chosen at run time.
//
// A block runs in two passes. The first interpolates the grid values and looks
// up every displacement, giving each pixel its sampling position, the index of
// its top-left neighbour and whether it reads at all; the second fetches the
// neighbours and interpolates. Each pass is a run of independent loads, which
// keeps many in flight instead of waiting on lookup, then fetch, eight pixels
// at a time.

#include "vistel/scene/warp_raster_p.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define VISTEL_AVX2 __attribute__((target("avx2")))
#define VISTEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace vistel::detail {
namespace {

constexpr int kGroups = 32;  // eight-pixel groups in a 16 x 16 block

// A source with its bounds broadcast to every lane.
struct Lanes {
  __m256i widthMax;   // width - 1: last column of the lookup and of the sampler
  __m256i heightMax;  // height - 1
  __m256i width;      // stride in pixels
  __m256i uLimit;     // width * 65536 - 1: last in-picture position
  __m256i vLimit;
  __m128i unitX;             // shift counts that turn a displacement into 16.16 units:
  __m128i unitY;             // dx = (word << 16) >> unitX, dy = (word >> 16) << unitY
  const int* map;            // null: no displacement
  const std::uint8_t* row0;  // the picture, and its second row
  const std::uint8_t* row1;
};

VISTEL_AVX2_INLINE Lanes lanesOf(const SourceInfo& s) {
  Lanes l;
  l.widthMax = _mm256_set1_epi32(s.width - 1);
  l.heightMax = _mm256_set1_epi32(s.height - 1);
  l.width = _mm256_set1_epi32(s.width);
  l.uLimit = _mm256_set1_epi32(std::int32_t((std::uint32_t(s.width) << 16) - 1));
  l.vLimit = _mm256_set1_epi32(std::int32_t((std::uint32_t(s.height) << 16) - 1));
  l.unitX = _mm_cvtsi32_si128(s.fractionBits);
  l.unitY = _mm_cvtsi32_si128(16 - s.fractionBits);
  l.map = reinterpret_cast<const int*>(s.map);
  l.row0 = s.pixels;
  l.row1 = s.pixels + std::size_t(s.width) * 4;
  return l;
}

// All ones where 0 <= x <= max (max >= 0), as an unsigned comparison.
VISTEL_AVX2_INLINE __m256i within(__m256i x, __m256i max) {
  return _mm256_cmpeq_epi32(_mm256_min_epu32(x, max), x);
}

// Where eight pixels sample. `index`, read lane by lane in the second pass, is
// the top-left neighbour's, or 0 where locate rejected the lane: always inside
// the picture, whatever `ok` is narrowed to afterwards.
struct Located {
  __m256i u, v, ok;
  alignas(32) std::int32_t index[8];
};

// map[index] for the eight indices. Eight plain loads: the gather instruction
// is microcoded on the processors this runs on, and its two uses per group took
// two fifths of a transition block's time.
VISTEL_AVX2_INLINE __m256i gatherWords(const int* map, __m256i index) {
  alignas(32) std::int32_t i[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
  const __m128i lo = _mm_setr_epi32(map[i[0]], map[i[1]], map[i[2]], map[i[3]]);
  const __m128i hi = _mm_setr_epi32(map[i[4]], map[i[5]], map[i[6]], map[i[7]]);
  return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

// Moves (u, v) by the displacement words, checks that the sampled pixel lies
// in the picture and records the neighbour index.
VISTEL_AVX2_INLINE void locate(const Lanes& s, __m256i u, __m256i v, Located& at) {
  __m256i ok = _mm256_set1_epi32(-1);
  if (s.map != nullptr) {
    const __m256i mx = _mm256_srai_epi32(u, 16), my = _mm256_srai_epi32(v, 16);
    ok = _mm256_and_si256(within(mx, s.widthMax), within(my, s.heightMax));
    // Rejected lanes read word 0, which exists, and stay rejected.
    const __m256i word =
        _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(my, s.width), mx), ok);
    const __m256i d = gatherWords(s.map, word);
    u = _mm256_add_epi32(u, _mm256_sra_epi32(_mm256_slli_epi32(d, 16), s.unitX));
    v = _mm256_add_epi32(v, _mm256_sll_epi32(_mm256_srai_epi32(d, 16), s.unitY));
  }
  const __m256i x = _mm256_srai_epi32(u, 16), y = _mm256_srai_epi32(v, 16);
  ok = _mm256_and_si256(ok, _mm256_and_si256(within(x, s.widthMax), within(y, s.heightMax)));
  at.u = u;
  at.v = v;
  at.ok = ok;
  _mm256_store_si256(reinterpret_cast<__m256i*>(at.index),
                     _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(y, s.width), x), ok));
}

// Bytes 0-7 or 8-15 of each half as 16-bit channels.
VISTEL_AVX2_INLINE __m256i widenLo(__m256i p) {
  return _mm256_unpacklo_epi8(p, _mm256_setzero_si256());
}
VISTEL_AVX2_INLINE __m256i widenHi(__m256i p) {
  return _mm256_unpackhi_epi8(p, _mm256_setzero_si256());
}

// The four neighbours of eight pixels widened to 16-bit channels: `lo` holds
// lanes 0, 1, 4, 5 and `hi` lanes 2, 3, 6, 7, the order unpacklo/unpackhi_epi8
// give. Each lane's left and right neighbours come in one 64-bit load.
struct Quad {
  __m256i p00lo, p00hi, p10lo, p10hi, p01lo, p01hi, p11lo, p11hi;
};

// Pairs (left, right) of lanes i0..i3 of one row, split into the left and the
// right pixels as 16-bit channels. Plain loads: gathering the same pairs
// measured a fifth slower.
VISTEL_AVX2_INLINE void pairs(const std::uint8_t* row, const std::int32_t* index, int i0, int i1,
                              int i2, int i3, __m256i& left, __m256i& right) {
  const auto at = [row, index](int i) { return row + std::size_t(index[i]) * 4; };
  const auto two = [&at](int i, int j) {
    const __m128i first = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(at(i)));
    return _mm_castpd_si128(
        _mm_loadh_pd(_mm_castsi128_pd(first), reinterpret_cast<const double*>(at(j))));
  };
  const __m256i both = _mm256_inserti128_si256(_mm256_castsi128_si256(two(i0, i1)), two(i2, i3), 1);
  // Left pixels to the low eight bytes of each half, right pixels to the high.
  const __m256i sides = _mm256_shuffle_epi8(
      both, _mm256_setr_epi8(0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15,  //
                             0, 1, 2, 3, 8, 9, 10, 11, 4, 5, 6, 7, 12, 13, 14, 15));
  left = widenLo(sides);
  right = widenHi(sides);
}

VISTEL_AVX2_INLINE Quad fetch(const Lanes& s, const Located& at) {
  Quad q;
  pairs(s.row0, at.index, 0, 1, 4, 5, q.p00lo, q.p10lo);
  pairs(s.row0, at.index, 2, 3, 6, 7, q.p00hi, q.p10hi);
  pairs(s.row1, at.index, 0, 1, 4, 5, q.p01lo, q.p11lo);
  pairs(s.row1, at.index, 2, 3, 6, 7, q.p01hi, q.p11hi);
  return q;
}

// The low 16 bits of each lane repeated over that pixel's four 16-bit
// channels, in the lo/hi order of Quad.
struct Factor {
  __m256i lo, hi;
};

VISTEL_AVX2_INLINE Factor spread(__m256i f) {
  const __m256i lo = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5,  //
                                      0, 1, 0, 1, 0, 1, 0, 1, 4, 5, 4, 5, 4, 5, 4, 5);
  const __m256i hi = _mm256_setr_epi8(8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13,  //
                                      8, 9, 8, 9, 8, 9, 8, 9, 12, 13, 12, 13, 12, 13, 12, 13);
  return {_mm256_shuffle_epi8(f, lo), _mm256_shuffle_epi8(f, hi)};
}

// a + 2 * floor((b - a) * f / 65536) for 15-bit f.
VISTEL_AVX2_INLINE __m256i stepHalf(__m256i a, __m256i b, __m256i f) {
  return _mm256_add_epi16(a, _mm256_slli_epi16(_mm256_mulhi_epi16(_mm256_sub_epi16(b, a), f), 1));
}

// b + floor((a - b) * f / 65536) for f in 0..65536 given as its low 16 bits and
// a mask of the lanes where f >= 32768: the signed multiply sees f - 65536
// there, which the added difference makes up.
VISTEL_AVX2_INLINE __m256i towards(__m256i a, __m256i b, __m256i f, __m256i high) {
  const __m256i d = _mm256_sub_epi16(a, b);
  return _mm256_add_epi16(b, _mm256_add_epi16(_mm256_mulhi_epi16(d, f), _mm256_and_si256(d, high)));
}

// The transition sampler: 15-bit fractions, doubled steps, all four bytes
// clamped by the saturating pack.
VISTEL_AVX2_INLINE __m256i interpolateTransition(const Lanes& s, const Located& at) {
  const Quad q = fetch(s, at);
  // The shift works on 16-bit halves; the low one is the 15-bit fraction.
  const Factor fx = spread(_mm256_srli_epi16(at.u, 1)), fy = spread(_mm256_srli_epi16(at.v, 1));
  const __m256i topLo = stepHalf(q.p00lo, q.p10lo, fx.lo),
                topHi = stepHalf(q.p00hi, q.p10hi, fx.hi);
  const __m256i bottomLo = stepHalf(q.p01lo, q.p11lo, fx.lo),
                bottomHi = stepHalf(q.p01hi, q.p11hi, fx.hi);
  const __m256i lo = stepHalf(topLo, bottomLo, fy.lo), hi = stepHalf(topHi, bottomHi, fy.hi);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi), at.ok);
}

// The single-view sampler: weights 65535 - fraction, fourth byte 0.
VISTEL_AVX2_INLINE __m256i interpolateSingle(const Lanes& s, const Located& at) {
  const Quad q = fetch(s, at);
  // 65535 - fraction is the fraction's complement.
  const __m256i ones = _mm256_set1_epi32(-1);
  const Factor gx = spread(_mm256_xor_si256(at.u, ones)), gy = spread(_mm256_xor_si256(at.v, ones));
  const Factor gxHigh{_mm256_srai_epi16(gx.lo, 15), _mm256_srai_epi16(gx.hi, 15)};
  const Factor gyHigh{_mm256_srai_epi16(gy.lo, 15), _mm256_srai_epi16(gy.hi, 15)};
  const __m256i topLo = towards(q.p00lo, q.p10lo, gx.lo, gxHigh.lo);
  const __m256i topHi = towards(q.p00hi, q.p10hi, gx.hi, gxHigh.hi);
  const __m256i bottomLo = towards(q.p01lo, q.p11lo, gx.lo, gxHigh.lo);
  const __m256i bottomHi = towards(q.p01hi, q.p11hi, gx.hi, gxHigh.hi);
  const __m256i lo = towards(topLo, bottomLo, gy.lo, gyHigh.lo);
  const __m256i hi = towards(topHi, bottomHi, gy.hi, gyHigh.hi);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi),
                          _mm256_and_si256(at.ok, _mm256_set1_epi32(0x00FFFFFF)));
}

// The share of A, 0 .. 65536, from interpolated weights.
VISTEL_AVX2_INLINE __m256i level(__m256i weight) {
  return _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(weight, 8), _mm256_setzero_si256()),
                          _mm256_set1_epi32(65536));
}

VISTEL_AVX2_INLINE __m256i mix(__m256i a, __m256i b, __m256i share) {
  const Factor f = spread(share),
               high = spread(_mm256_cmpgt_epi32(share, _mm256_set1_epi32(32767)));
  const __m256i lo = towards(widenLo(a), widenLo(b), f.lo, high.lo);
  const __m256i hi = towards(widenHi(a), widenHi(b), f.hi, high.hi);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi), _mm256_set1_epi32(0x00FFFFFF));
}

// One interpolated value for eight adjacent pixels of a block row, stepped
// from row to row.
struct Run {
  __m256i value;
  __m256i rowStep;
};

VISTEL_AVX2_INLINE Run runOf(const Lerp& l, int firstColumn) {
  const __m256i column =
      _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(firstColumn));
  return {_mm256_add_epi32(_mm256_set1_epi32(l.start),
                           _mm256_mullo_epi32(column, _mm256_set1_epi32(l.colStep))),
          _mm256_add_epi32(_mm256_set1_epi32(l.rowStep),
                           _mm256_mullo_epi32(column, _mm256_set1_epi32(l.cross)))};
}

VISTEL_AVX2_INLINE void advance(Run& r) { r.value = _mm256_add_epi32(r.value, r.rowStep); }

VISTEL_AVX2_INLINE void store(std::uint32_t* out, __m256i pixels) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), pixels);
}

// Group k covers pixels 8 * (k / 16) .. + 7 of block row k % 16.
VISTEL_AVX2_INLINE std::uint32_t* groupOut(std::uint32_t* block, std::ptrdiff_t stride, int k) {
  return block + (k % 16) * stride + 8 * (k / 16);
}

template <BlockKind Kind>
VISTEL_AVX2 void transitionBlock(const TransitionBlock& blk, const SourceInfo& sa,
                                 const SourceInfo& sb) {
  constexpr bool kUsesA = Kind != BlockKind::OnlyB, kUsesB = Kind != BlockKind::OnlyA;
  const Lanes a = lanesOf(sa), b = lanesOf(sb);
  Located atA[kGroups], atB[kGroups];
  __m256i share[kGroups];
  for (int half = 0; half < 2; ++half) {
    Run uA = runOf(blk.uA, 8 * half), vA = runOf(blk.vA, 8 * half),
        weight = runOf(blk.weightA, 8 * half);
    Run uB = runOf(blk.uB, 8 * half), vB = runOf(blk.vB, 8 * half);
    for (int k = 16 * half; k < 16 * half + 16; ++k) {
      if constexpr (kUsesA) locate(a, uA.value, vA.value, atA[k]);
      if constexpr (kUsesB) locate(b, uB.value, vB.value, atB[k]);
      if constexpr (Kind == BlockKind::Both) share[k] = level(weight.value);
      if constexpr (Kind == BlockKind::Mixed) {
        // A position outside its picture contributes black and gives its
        // weight away: outside A all goes to B, then outside B all to A.
        const __m256i inA =
            _mm256_and_si256(within(uA.value, a.uLimit), within(vA.value, a.vLimit));
        const __m256i inB =
            _mm256_and_si256(within(uB.value, b.uLimit), within(vB.value, b.vLimit));
        atA[k].ok = blk.codeA != 0 ? _mm256_and_si256(atA[k].ok, inA) : _mm256_setzero_si256();
        atB[k].ok = blk.codeB != 0 ? _mm256_and_si256(atB[k].ok, inB) : _mm256_setzero_si256();
        share[k] = _mm256_blendv_epi8(_mm256_set1_epi32(65536),
                                      _mm256_and_si256(level(weight.value), inA), inB);
      }
      advance(uA);
      advance(vA);
      advance(weight);
      advance(uB);
      advance(vB);
    }
  }
  for (int k = 0; k < kGroups; ++k) {
    std::uint32_t* out = groupOut(blk.out, blk.stride, k);
    if constexpr (Kind == BlockKind::OnlyA) {
      store(out, interpolateTransition(a, atA[k]));
    } else if constexpr (Kind == BlockKind::OnlyB) {
      store(out, interpolateTransition(b, atB[k]));
    } else {
      store(out, mix(interpolateTransition(a, atA[k]), interpolateTransition(b, atB[k]), share[k]));
    }
  }
}

}  // namespace

VISTEL_AVX2 void transitionBlockAvx2(const TransitionBlock& block, BlockKind kind,
                                     const SourceInfo& a, const SourceInfo& b) {
  switch (kind) {
    case BlockKind::OnlyA:
      transitionBlock<BlockKind::OnlyA>(block, a, b);
      break;
    case BlockKind::OnlyB:
      transitionBlock<BlockKind::OnlyB>(block, a, b);
      break;
    case BlockKind::Both:
      transitionBlock<BlockKind::Both>(block, a, b);
      break;
    case BlockKind::Mixed:
      transitionBlock<BlockKind::Mixed>(block, a, b);
      break;
    case BlockKind::Black:
      break;
  }
}

VISTEL_AVX2 void singleViewBlockAvx2(std::uint32_t* out, std::ptrdiff_t stride, const Lerp& u,
                                     const Lerp& v, const SourceInfo& source) {
  const Lanes s = lanesOf(source);
  Located at[kGroups];
  for (int half = 0; half < 2; ++half) {
    Run ru = runOf(u, 8 * half), rv = runOf(v, 8 * half);
    for (int k = 16 * half; k < 16 * half + 16; ++k) {
      locate(s, ru.value, rv.value, at[k]);
      advance(ru);
      advance(rv);
    }
  }
  for (int k = 0; k < kGroups; ++k) store(groupOut(out, stride, k), interpolateSingle(s, at[k]));
}

}  // namespace vistel::detail

#endif
