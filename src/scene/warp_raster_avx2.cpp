// The rasteriser's 256-bit path: eight pixels per step, byte-identical to the
// portable path. Compiled for AVX2 function by function, chosen at run time.

#include "vistel/scene/warp_raster_p.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define VISTEL_AVX2 __attribute__((target("avx2")))
#define VISTEL_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace vistel::detail {
namespace {

// A source with its bounds broadcast to every lane.
struct Lanes {
  __m256i widthMax;   // width - 1: last column of the displacement lookup
  __m256i heightMax;  // height - 1
  __m256i windowXMax;  // last column and row the sampler reads
  __m256i windowYMax;
  __m256i width;  // stride in pixels
  __m256i uLimit;  // width * 65536 - 1: last in-picture position
  __m256i vLimit;
  const int* map;  // null: no displacement
  const int* row0;  // gather bases for the four neighbours
  const int* row0right;
  const int* row1;
  const int* row1right;
};

VISTEL_AVX2_INLINE Lanes lanesOf(const SourceInfo& s) {
  Lanes l;
  l.widthMax = _mm256_set1_epi32(s.width - 1);
  l.heightMax = _mm256_set1_epi32(s.height - 1);
  l.windowXMax = _mm256_set1_epi32(s.windowWidth - 1);
  l.windowYMax = _mm256_set1_epi32(s.windowHeight - 1);
  l.width = _mm256_set1_epi32(s.width);
  l.uLimit = _mm256_set1_epi32(std::int32_t((std::uint32_t(s.width) << 16) - 1));
  l.vLimit = _mm256_set1_epi32(std::int32_t((std::uint32_t(s.height) << 16) - 1));
  l.map = reinterpret_cast<const int*>(s.map);
  const std::uint8_t* p = s.pixels;
  const std::size_t rowBytes = std::size_t(s.width) * 4;
  l.row0 = reinterpret_cast<const int*>(p);
  l.row0right = reinterpret_cast<const int*>(p + 4);
  l.row1 = reinterpret_cast<const int*>(p + rowBytes);
  l.row1right = reinterpret_cast<const int*>(p + rowBytes + 4);
  return l;
}

// All ones where 0 <= x <= max (max >= 0), as an unsigned comparison.
VISTEL_AVX2_INLINE __m256i within(__m256i x, __m256i max) {
  return _mm256_cmpeq_epi32(_mm256_min_epu32(x, max), x);
}

// Moves (u, v) by the displacement words; the mask marks lanes whose lookup
// pixel lies inside the picture (all lanes without a map).
VISTEL_AVX2_INLINE __m256i displace(const Lanes& s, __m256i& u, __m256i& v) {
  if (s.map == nullptr) return _mm256_set1_epi32(-1);
  const __m256i mx = _mm256_srai_epi32(u, 16), my = _mm256_srai_epi32(v, 16);
  const __m256i ok = _mm256_and_si256(within(mx, s.widthMax), within(my, s.heightMax));
  // Rejected lanes read word 0, which exists, and are masked later.
  const __m256i index = _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(my, s.width), mx), ok);
  const __m256i d = _mm256_i32gather_epi32(s.map, index, 4);
  const __m256i dx = _mm256_srai_epi32(_mm256_slli_epi32(d, 16), 16);
  const __m256i dy = _mm256_srai_epi32(d, 16);
  u = _mm256_add_epi32(u, _mm256_slli_epi32(dx, 8));
  v = _mm256_add_epi32(v, _mm256_slli_epi32(dy, 8));
  return ok;
}

// The four neighbours of each lane's pixel (x, y) where `ok`, pixel 0 elsewhere.
struct Quad {
  __m256i p00, p10, p01, p11;
};

VISTEL_AVX2_INLINE Quad fetch(const Lanes& s, __m256i x, __m256i y, __m256i ok) {
  const __m256i index = _mm256_and_si256(_mm256_add_epi32(_mm256_mullo_epi32(y, s.width), x), ok);
  return {_mm256_i32gather_epi32(s.row0, index, 4), _mm256_i32gather_epi32(s.row0right, index, 4),
          _mm256_i32gather_epi32(s.row1, index, 4), _mm256_i32gather_epi32(s.row1right, index, 4)};
}

// A 16-bit factor per lane repeated over that pixel's four 16-bit channels, in
// the order unpacklo/unpackhi_epi8 put the pixels: lanes 0, 1, 4, 5 and 2, 3, 6, 7.
struct Factor {
  __m256i lo, hi;
};

VISTEL_AVX2_INLINE Factor spread(__m256i f) {
  const __m256i both = _mm256_or_si256(f, _mm256_slli_epi32(f, 16));
  return {_mm256_unpacklo_epi32(both, both), _mm256_unpackhi_epi32(both, both)};
}

VISTEL_AVX2_INLINE __m256i widenLo(__m256i p) { return _mm256_unpacklo_epi8(p, _mm256_setzero_si256()); }
VISTEL_AVX2_INLINE __m256i widenHi(__m256i p) { return _mm256_unpackhi_epi8(p, _mm256_setzero_si256()); }

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

VISTEL_AVX2_INLINE __m256i sampleTransition8(const Lanes& s, __m256i u, __m256i v) {
  __m256i ok = displace(s, u, v);
  const __m256i x = _mm256_srai_epi32(u, 16), y = _mm256_srai_epi32(v, 16);
  ok = _mm256_and_si256(ok, _mm256_and_si256(within(x, s.windowXMax), within(y, s.windowYMax)));
  const Quad q = fetch(s, x, y, ok);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  const Factor fx = spread(_mm256_srli_epi32(_mm256_and_si256(u, low16), 1));
  const Factor fy = spread(_mm256_srli_epi32(_mm256_and_si256(v, low16), 1));
  const __m256i topLo = stepHalf(widenLo(q.p00), widenLo(q.p10), fx.lo);
  const __m256i topHi = stepHalf(widenHi(q.p00), widenHi(q.p10), fx.hi);
  const __m256i bottomLo = stepHalf(widenLo(q.p01), widenLo(q.p11), fx.lo);
  const __m256i bottomHi = stepHalf(widenHi(q.p01), widenHi(q.p11), fx.hi);
  const __m256i lo = stepHalf(topLo, bottomLo, fy.lo);
  const __m256i hi = stepHalf(topHi, bottomHi, fy.hi);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi), ok);
}

VISTEL_AVX2_INLINE __m256i sampleSingle8(const Lanes& s, __m256i u, __m256i v) {
  __m256i ok = displace(s, u, v);
  const __m256i x = _mm256_srai_epi32(u, 16), y = _mm256_srai_epi32(v, 16);
  ok = _mm256_and_si256(ok, _mm256_and_si256(within(x, s.widthMax), within(y, s.heightMax)));
  const Quad q = fetch(s, x, y, ok);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  const Factor gx = spread(_mm256_xor_si256(_mm256_and_si256(u, low16), low16));  // 65535 - fraction
  const Factor gy = spread(_mm256_xor_si256(_mm256_and_si256(v, low16), low16));
  const __m256i gxHighLo = _mm256_srai_epi16(gx.lo, 15), gxHighHi = _mm256_srai_epi16(gx.hi, 15);
  const __m256i gyHighLo = _mm256_srai_epi16(gy.lo, 15), gyHighHi = _mm256_srai_epi16(gy.hi, 15);
  const __m256i topLo = towards(widenLo(q.p00), widenLo(q.p10), gx.lo, gxHighLo);
  const __m256i topHi = towards(widenHi(q.p00), widenHi(q.p10), gx.hi, gxHighHi);
  const __m256i bottomLo = towards(widenLo(q.p01), widenLo(q.p11), gx.lo, gxHighLo);
  const __m256i bottomHi = towards(widenHi(q.p01), widenHi(q.p11), gx.hi, gxHighHi);
  const __m256i lo = towards(topLo, bottomLo, gy.lo, gyHighLo);
  const __m256i hi = towards(topHi, bottomHi, gy.hi, gyHighHi);
  const __m256i colour = _mm256_set1_epi32(0x00FFFFFF);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi), _mm256_and_si256(ok, colour));
}

// The share of A, 0 .. 65536, from interpolated weights.
VISTEL_AVX2_INLINE __m256i level8(__m256i weight) {
  return _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(weight, 8), _mm256_setzero_si256()),
                          _mm256_set1_epi32(65536));
}

VISTEL_AVX2_INLINE __m256i mix8(__m256i a, __m256i b, __m256i share) {
  const Factor f = spread(_mm256_and_si256(share, _mm256_set1_epi32(0xFFFF)));
  const __m256i high32 = _mm256_cmpgt_epi32(share, _mm256_set1_epi32(32767));
  const __m256i highLo = _mm256_unpacklo_epi32(high32, high32), highHi = _mm256_unpackhi_epi32(high32, high32);
  const __m256i lo = towards(widenLo(a), widenLo(b), f.lo, highLo);
  const __m256i hi = towards(widenHi(a), widenHi(b), f.hi, highHi);
  return _mm256_and_si256(_mm256_packus_epi16(lo, hi), _mm256_set1_epi32(0x00FFFFFF));
}

// One interpolated value for eight adjacent pixels of a block row, stepped
// from row to row.
struct Run {
  __m256i value;
  __m256i rowStep;
};

VISTEL_AVX2_INLINE Run runOf(const Lerp& l, int firstColumn) {
  const __m256i column = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32(firstColumn));
  return {_mm256_add_epi32(_mm256_set1_epi32(l.start), _mm256_mullo_epi32(column, _mm256_set1_epi32(l.colStep))),
          _mm256_add_epi32(_mm256_set1_epi32(l.rowStep), _mm256_mullo_epi32(column, _mm256_set1_epi32(l.cross)))};
}

VISTEL_AVX2_INLINE void advance(Run& r) { r.value = _mm256_add_epi32(r.value, r.rowStep); }

VISTEL_AVX2_INLINE void store(std::uint32_t* out, __m256i pixels) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), pixels);
}

template <BlockKind Kind>
VISTEL_AVX2 void transitionBlock(const TransitionBlock& blk, const SourceInfo& sa, const SourceInfo& sb) {
  const Lanes a = lanesOf(sa), b = lanesOf(sb);
  const __m256i zero = _mm256_setzero_si256();
  for (int half = 0; half < 2; ++half) {
    Run uA = runOf(blk.uA, 8 * half), vA = runOf(blk.vA, 8 * half), weight = runOf(blk.weightA, 8 * half);
    Run uB = runOf(blk.uB, 8 * half), vB = runOf(blk.vB, 8 * half);
    std::uint32_t* out = blk.out + 8 * half;
    for (int y = 0; y < 16; ++y, out += blk.stride) {
      if constexpr (Kind == BlockKind::OnlyA) {
        store(out, sampleTransition8(a, uA.value, vA.value));
      } else if constexpr (Kind == BlockKind::OnlyB) {
        store(out, sampleTransition8(b, uB.value, vB.value));
      } else if constexpr (Kind == BlockKind::Both) {
        store(out, mix8(sampleTransition8(a, uA.value, vA.value), sampleTransition8(b, uB.value, vB.value),
                        level8(weight.value)));
      } else {
        const __m256i inA = _mm256_and_si256(within(uA.value, a.uLimit), within(vA.value, a.vLimit));
        const __m256i inB = _mm256_and_si256(within(uB.value, b.uLimit), within(vB.value, b.vLimit));
        const __m256i pa = blk.codeA != 0 ? _mm256_and_si256(sampleTransition8(a, uA.value, vA.value), inA) : zero;
        const __m256i pb = blk.codeB != 0 ? _mm256_and_si256(sampleTransition8(b, uB.value, vB.value), inB) : zero;
        // Outside A: all to B; outside B (tested second): all to A.
        const __m256i share = _mm256_blendv_epi8(_mm256_set1_epi32(65536), _mm256_and_si256(level8(weight.value), inA), inB);
        store(out, mix8(pa, pb, share));
      }
      advance(uA);
      advance(vA);
      advance(weight);
      advance(uB);
      advance(vB);
    }
  }
}

}  // namespace

VISTEL_AVX2 void transitionBlockAvx2(const TransitionBlock& block, BlockKind kind, const SourceInfo& a,
                                     const SourceInfo& b) {
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

VISTEL_AVX2 void singleViewBlockAvx2(std::uint32_t* out, std::ptrdiff_t stride, const Lerp& u, const Lerp& v,
                                     const SourceInfo& source) {
  const Lanes s = lanesOf(source);
  for (int half = 0; half < 2; ++half) {
    Run ru = runOf(u, 8 * half), rv = runOf(v, 8 * half);
    std::uint32_t* row = out + 8 * half;
    for (int y = 0; y < 16; ++y, row += stride) {
      store(row, sampleSingle8(s, ru.value, rv.value));
      advance(ru);
      advance(rv);
    }
  }
}

}  // namespace vistel::detail

#endif
