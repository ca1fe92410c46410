#include "vistel/calibration/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <numbers>
#include <utility>

namespace vistel {
namespace {

using std::size_t;

// The twiddle tables take 2 pi as this value, as the registration's window
// does; it moves each twiddle's angle by at most 1.1e-7 rad, so outputs of the
// table-driven passes differ from the exact DFT by a few 1e-7 of the signal.
constexpr double kTablesTwoPi = 6.2831852;
constexpr double kTwoPi = 2 * std::numbers::pi;

// Prime radices up to this one run as direct passes (cost about p operations
// per element and pass). A length with a larger prime factor goes through the
// chirp-z convolution instead, whose cost does not grow with the factor.
constexpr std::int32_t kLargestDirectRadix = 127;
constexpr std::int32_t kMaxHalfRadix = (kLargestDirectRadix - 1) / 2;

// Sequences transformed side by side by the 2-D transforms: one cache line of
// doubles, so a column block is gathered from whole lines, and every
// butterfly runs on all of them in vector registers.
constexpr int kLanes = 8;

// ---------------------------------------------------------------------------
// Plans: one Stockham pass per radix. Data of B interleaved sequences is held
// as element e, lane b at index e * B + b, in split real/imaginary arrays.
//
// A pass of radix p over a length n reads its input as cc(i, q, k), index
// i + ido * (q + p * k), and writes ch(i, k, j), index i + ido * (k + l1 * j),
// where l1 is the product of the radices already handled and
// ido = n / (l1 * p): the p-point DFT over q, its output j multiplied by the
// twiddle w^(j * l1 * i). After the last pass the output is in natural order.

struct Stage {
  std::int32_t radix = 0;
  std::int32_t l1 = 0;
  std::int32_t ido = 0;
  size_t twiddles = 0;  // offset of (radix - 1) * ido twiddles in Plan::twRe/twIm
  size_t roots = 0;     // offset of radix roots of unity in Plan::rootCos/rootSin
};

struct Plan {
  std::vector<Stage> stages;
  std::vector<double> twRe;     // cos of the twiddle angle
  std::vector<double> twIm;     // -sin of the twiddle angle (forward sign)
  std::vector<double> rootCos;  // cos(2 pi q / p), for radices without a hand-written pass
  std::vector<double> rootSin;  // sin(2 pi q / p)
};

// Pass radices for the given prime factors (increasing): pairs of 2 merge into
// radix 4, which needs no multiplications inside its butterfly.
std::vector<std::int32_t> passRadices(const std::vector<std::int32_t>& primes) {
  const auto twos = static_cast<std::int32_t>(std::count(primes.begin(), primes.end(), 2));
  std::vector<std::int32_t> radices(static_cast<size_t>(twos / 2), 4);
  if (twos % 2 != 0) radices.push_back(2);
  for (std::int32_t p : primes) {
    if (p != 2) radices.push_back(p);
  }
  return radices;
}

// twiddle(index) gives (cos, -sin) of 2 pi index / n for 0 <= index < n.
template <typename Twiddle>
Plan makePlan(std::int32_t n, const std::vector<std::int32_t>& primes, Twiddle twiddle) {
  Plan plan;
  std::int32_t l1 = 1;
  for (std::int32_t p : passRadices(primes)) {
    Stage s;
    s.radix = p;
    s.l1 = l1;
    s.ido = n / (l1 * p);
    s.twiddles = plan.twRe.size();
    for (std::int32_t j = 1; j < p; ++j) {
      for (std::int32_t i = 0; i < s.ido; ++i) {
        // j * l1 * i < p * l1 * ido = n, so the index needs no reduction.
        const auto [c, ms] = twiddle(j * l1 * i);
        plan.twRe.push_back(c);
        plan.twIm.push_back(ms);
      }
    }
    s.roots = plan.rootCos.size();
    if (p > 5) {
      for (std::int32_t q = 0; q < p; ++q) {
        plan.rootCos.push_back(std::cos(kTwoPi * q / p));
        plan.rootSin.push_back(std::sin(kTwoPi * q / p));
      }
    }
    plan.stages.push_back(s);
    l1 *= p;
  }
  return plan;
}

// Lane layouts. A single sequence is held as plain doubles. kLanes sequences
// side by side are processed two lanes per GCC/clang vector of two doubles,
// which every 64-bit target holds in one register (SSE2, NEON), so each
// butterfly below runs on several sequences at once. Values are loaded and
// stored with memcpy: buffers need no particular alignment.
using Double2 = double __attribute__((vector_size(2 * sizeof(double))));

struct OneLane {
  using T = double;
  static constexpr size_t kCount = 1;  // lanes per element
};
struct ManyLanes {
  using T = Double2;
  static constexpr size_t kCount = kLanes;
};

template <typename T>
constexpr size_t kWidth = sizeof(T) / sizeof(double);

template <typename T>
inline T load(const double* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void store(double* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

// Geometry of one pass, and its arrays: input xr/xi, output yr/yi and the
// pass's twiddles wr/wi. The input and output never overlap.
struct Pass {
  std::int32_t ido;
  std::int32_t l1;
  const double* __restrict xr;
  const double* __restrict xi;
  double* __restrict yr;
  double* __restrict yi;
  const double* __restrict wr;
  const double* __restrict wi;

  // Input element (i, q, k) of a radix-p pass and output element (i, k, j), as
  // array indices of lane 0 with `lanes` lanes per element.
  size_t in(size_t lanes, std::int32_t p, std::int32_t i, std::int32_t q, std::int32_t k) const {
    return (size_t(i) + size_t(ido) * (size_t(q) + size_t(p) * size_t(k))) * lanes;
  }
  size_t out(size_t lanes, std::int32_t i, std::int32_t k, std::int32_t j) const {
    return (size_t(i) + size_t(ido) * (size_t(k) + size_t(l1) * size_t(j))) * lanes;
  }
};

// Stores (ur, ui) * (c + i d), the twiddled butterfly output, at index o.
template <typename T>
inline void storeTwiddled(const Pass& s, size_t o, T ur, T ui, double c, double d) {
  store(s.yr + o, ur * c - ui * d);
  store(s.yi + o, ur * d + ui * c);
}

template <typename L>
void pass2(const Pass& s) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < s.ido; ++i) {
      const size_t x0 = s.in(B, 2, i, 0, k), x1 = s.in(B, 2, i, 1, k);
      const size_t y0 = s.out(B, i, k, 0), y1 = s.out(B, i, k, 1);
      const double c = s.wr[i], d = s.wi[i];
      for (size_t g = 0; g < B; g += kWidth<T>) {
        const T ar = load<T>(s.xr + x0 + g), ai = load<T>(s.xi + x0 + g);
        const T br = load<T>(s.xr + x1 + g), bi = load<T>(s.xi + x1 + g);
        store(s.yr + y0 + g, ar + br);
        store(s.yi + y0 + g, ai + bi);
        storeTwiddled<T>(s, y1 + g, ar - br, ai - bi, c, d);
      }
    }
  }
}

template <typename L>
void pass3(const Pass& s) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  constexpr double h = 0.86602540378443864676;  // sin(2 pi / 3)
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      const size_t x0 = s.in(B, 3, i, 0, k), x1 = s.in(B, 3, i, 1, k), x2 = s.in(B, 3, i, 2, k);
      const size_t y0 = s.out(B, i, k, 0), y1 = s.out(B, i, k, 1), y2 = s.out(B, i, k, 2);
      const double c1 = s.wr[i], d1 = s.wi[i];
      const double c2 = s.wr[ido + i], d2 = s.wi[ido + i];
      for (size_t g = 0; g < B; g += kWidth<T>) {
        const T ar = load<T>(s.xr + x0 + g), ai = load<T>(s.xi + x0 + g);
        const T br = load<T>(s.xr + x1 + g), bi = load<T>(s.xi + x1 + g);
        const T cr = load<T>(s.xr + x2 + g), ci = load<T>(s.xi + x2 + g);
        const T tr = br + cr, ti = bi + ci;
        const T dr = br - cr, di = bi - ci;
        store(s.yr + y0 + g, ar + tr);
        store(s.yi + y0 + g, ai + ti);
        const T mr = ar - 0.5 * tr, mi = ai - 0.5 * ti;
        // y1 = m - i h d, y2 = m + i h d
        storeTwiddled<T>(s, y1 + g, mr + h * di, mi - h * dr, c1, d1);
        storeTwiddled<T>(s, y2 + g, mr - h * di, mi + h * dr, c2, d2);
      }
    }
  }
}

template <typename L>
void pass4(const Pass& s) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      const size_t x0 = s.in(B, 4, i, 0, k), x1 = s.in(B, 4, i, 1, k), x2 = s.in(B, 4, i, 2, k),
                   x3 = s.in(B, 4, i, 3, k);
      const size_t y0 = s.out(B, i, k, 0), y1 = s.out(B, i, k, 1), y2 = s.out(B, i, k, 2),
                   y3 = s.out(B, i, k, 3);
      const double c1 = s.wr[i], d1 = s.wi[i];
      const double c2 = s.wr[ido + i], d2 = s.wi[ido + i];
      const double c3 = s.wr[2 * ido + i], d3 = s.wi[2 * ido + i];
      for (size_t g = 0; g < B; g += kWidth<T>) {
        const T a0r = load<T>(s.xr + x0 + g), a0i = load<T>(s.xi + x0 + g);
        const T a1r = load<T>(s.xr + x1 + g), a1i = load<T>(s.xi + x1 + g);
        const T a2r = load<T>(s.xr + x2 + g), a2i = load<T>(s.xi + x2 + g);
        const T a3r = load<T>(s.xr + x3 + g), a3i = load<T>(s.xi + x3 + g);
        const T t0r = a0r + a2r, t0i = a0i + a2i;
        const T t1r = a0r - a2r, t1i = a0i - a2i;
        const T t2r = a1r + a3r, t2i = a1i + a3i;
        const T t3r = a1r - a3r, t3i = a1i - a3i;
        store(s.yr + y0 + g, t0r + t2r);
        store(s.yi + y0 + g, t0i + t2i);
        // y1 = t1 - i t3, y2 = t0 - t2, y3 = t1 + i t3
        storeTwiddled<T>(s, y1 + g, t1r + t3i, t1i - t3r, c1, d1);
        storeTwiddled<T>(s, y2 + g, t0r - t2r, t0i - t2i, c2, d2);
        storeTwiddled<T>(s, y3 + g, t1r - t3i, t1i + t3r, c3, d3);
      }
    }
  }
}

template <typename L>
void pass5(const Pass& s) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  const double c1 = std::cos(kTwoPi / 5), c2 = std::cos(2 * kTwoPi / 5);
  const double s1 = std::sin(kTwoPi / 5), s2 = std::sin(2 * kTwoPi / 5);
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      size_t x[5], y[5];
      double wc[5] = {}, ws[5] = {};
      for (std::int32_t q = 0; q < 5; ++q) {
        x[q] = s.in(B, 5, i, q, k);
        y[q] = s.out(B, i, k, q);
        if (q > 0) {
          wc[q] = s.wr[(q - 1) * ido + i];
          ws[q] = s.wi[(q - 1) * ido + i];
        }
      }
      for (size_t g = 0; g < B; g += kWidth<T>) {
        const T a0r = load<T>(s.xr + x[0] + g), a0i = load<T>(s.xi + x[0] + g);
        const T a1r = load<T>(s.xr + x[1] + g), a1i = load<T>(s.xi + x[1] + g);
        const T a2r = load<T>(s.xr + x[2] + g), a2i = load<T>(s.xi + x[2] + g);
        const T a3r = load<T>(s.xr + x[3] + g), a3i = load<T>(s.xi + x[3] + g);
        const T a4r = load<T>(s.xr + x[4] + g), a4i = load<T>(s.xi + x[4] + g);
        const T p1r = a1r + a4r, p1i = a1i + a4i, m1r = a1r - a4r, m1i = a1i - a4i;
        const T p2r = a2r + a3r, p2i = a2i + a3i, m2r = a2r - a3r, m2i = a2i - a3i;
        store(s.yr + y[0] + g, a0r + p1r + p2r);
        store(s.yi + y[0] + g, a0i + p1i + p2i);
        // y1,4 = R1 -+ i S1 and y2,3 = R2 -+ i S2 with
        // R1 = x0 + c1 p1 + c2 p2, S1 = s1 m1 + s2 m2,
        // R2 = x0 + c2 p1 + c1 p2, S2 = s2 m1 - s1 m2.
        const T r1r = a0r + c1 * p1r + c2 * p2r, r1i = a0i + c1 * p1i + c2 * p2i;
        const T r2r = a0r + c2 * p1r + c1 * p2r, r2i = a0i + c2 * p1i + c1 * p2i;
        const T q1r = s1 * m1r + s2 * m2r, q1i = s1 * m1i + s2 * m2i;
        const T q2r = s2 * m1r - s1 * m2r, q2i = s2 * m1i - s1 * m2i;
        storeTwiddled<T>(s, y[1] + g, r1r + q1i, r1i - q1r, wc[1], ws[1]);
        storeTwiddled<T>(s, y[2] + g, r2r + q2i, r2i - q2r, wc[2], ws[2]);
        storeTwiddled<T>(s, y[3] + g, r2r - q2i, r2i + q2r, wc[3], ws[3]);
        storeTwiddled<T>(s, y[4] + g, r1r - q1i, r1i + q1r, wc[4], ws[4]);
      }
    }
  }
}

// Any odd prime radix up to kLargestDirectRadix: the direct p-point DFT,
// folding inputs q and p - q so each pair costs one multiplication per output.
template <typename L>
void passGeneric(const Pass& s, std::int32_t p, const double* rootCos, const double* rootSin) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  const std::int32_t h = (p - 1) / 2;
  const std::int32_t ido = s.ido;
  const T zero{};
  T sr[kMaxHalfRadix + 1], si[kMaxHalfRadix + 1];  // x[q] + x[p - q]
  T dr[kMaxHalfRadix + 1], di[kMaxHalfRadix + 1];  // x[q] - x[p - q]
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      for (size_t g = 0; g < B; g += kWidth<T>) {
        const size_t x0 = s.in(B, p, i, 0, k) + g;
        const T a0r = load<T>(s.xr + x0), a0i = load<T>(s.xi + x0);
        T accr = a0r, acci = a0i;
        for (std::int32_t q = 1; q <= h; ++q) {
          const size_t xa = s.in(B, p, i, q, k) + g, xb = s.in(B, p, i, p - q, k) + g;
          const T ar = load<T>(s.xr + xa), ai = load<T>(s.xi + xa);
          const T br = load<T>(s.xr + xb), bi = load<T>(s.xi + xb);
          sr[q] = ar + br;
          si[q] = ai + bi;
          dr[q] = ar - br;
          di[q] = ai - bi;
          accr += sr[q];
          acci += si[q];
        }
        store(s.yr + s.out(B, i, k, 0) + g, accr);
        store(s.yi + s.out(B, i, k, 0) + g, acci);
        for (std::int32_t j = 1; j <= h; ++j) {
          // y[j] = R - i S and y[p - j] = R + i S with R = x0 + sum_q s_q cos(2 pi qj/p)
          // and S = sum_q d_q sin(2 pi qj/p).
          T rr = a0r, ri = a0i, qr = zero, qi = zero;
          std::int32_t root = 0;
          for (std::int32_t q = 1; q <= h; ++q) {
            root += j;
            if (root >= p) root -= p;
            rr += sr[q] * rootCos[root];
            ri += si[q] * rootCos[root];
            qr += dr[q] * rootSin[root];
            qi += di[q] * rootSin[root];
          }
          storeTwiddled<T>(s, s.out(B, i, k, j) + g, rr + qi, ri - qr, s.wr[(j - 1) * ido + i],
                           s.wi[(j - 1) * ido + i]);
          storeTwiddled<T>(s, s.out(B, i, k, p - j) + g, rr - qi, ri + qr,
                           s.wr[(p - j - 1) * ido + i], s.wi[(p - j - 1) * ido + i]);
        }
      }
    }
  }
}

struct Buffers {
  double* re;
  double* im;
};

// Runs every pass of the plan over sequences in lane layout L, alternating
// between `data` and `other`; returns the pair that holds the result.
template <typename L>
Buffers runPlan(const Plan& plan, Buffers data, Buffers other) {
  for (const Stage& st : plan.stages) {
    const Pass s{st.ido,
                 st.l1,
                 data.re,
                 data.im,
                 other.re,
                 other.im,
                 plan.twRe.data() + st.twiddles,
                 plan.twIm.data() + st.twiddles};
    switch (st.radix) {
      case 2:
        pass2<L>(s);
        break;
      case 3:
        pass3<L>(s);
        break;
      case 4:
        pass4<L>(s);
        break;
      case 5:
        pass5<L>(s);
        break;
      default:
        passGeneric<L>(s, st.radix, plan.rootCos.data() + st.roots, plan.rootSin.data() + st.roots);
        break;
    }
    std::swap(data, other);
  }
  return data;
}

// ---------------------------------------------------------------------------
// Chirp-z (Bluestein): with c[k] = exp(-i pi k^2 / n), the DFT is
// X[k] = c[k] * sum_j (x[j] c[j]) conj(c[k - j]), a convolution that runs as a
// cyclic one over a smooth length m >= 2n - 1.

struct Chirp {
  std::int32_t m = 0;
  Plan plan;                               // length m, exact twiddles
  std::vector<double> chirpRe, chirpIm;    // c[k], k < n
  std::vector<double> filterRe, filterIm;  // conj(DFT_m(conj(c) wrapped)) / m
};

// Smallest m >= minimum whose prime factors are 2, 3 and 5.
std::int32_t smoothLength(std::int32_t minimum) {
  for (std::int32_t m = minimum;; ++m) {
    std::int32_t r = m;
    for (std::int32_t p : {2, 3, 5}) {
      while (r % p == 0) r /= p;
    }
    if (r == 1) return m;
  }
}

std::vector<std::int32_t> primeFactors(std::int32_t n) {
  std::vector<std::int32_t> factors;
  std::int32_t divisor = 2;
  while (n > 1) {
    if (n % divisor == 0) {
      factors.push_back(divisor);
      n /= divisor;
    } else {
      ++divisor;
    }
  }
  return factors;
}

std::unique_ptr<Chirp> makeChirp(std::int32_t n) {
  auto z = std::make_unique<Chirp>();
  z->m = smoothLength(2 * n - 1);
  const std::int32_t m = z->m;
  z->plan = makePlan(m, primeFactors(m), [m](std::int32_t index) {
    const double angle = kTwoPi * index / m;
    return std::pair{std::cos(angle), -std::sin(angle)};
  });
  z->chirpRe.resize(size_t(n));
  z->chirpIm.resize(size_t(n));
  for (std::int32_t k = 0; k < n; ++k) {
    // k^2 mod 2n keeps the angle small and exact.
    const auto k2 = static_cast<std::int64_t>(k) * k % (2 * std::int64_t{n});
    const double angle = std::numbers::pi * static_cast<double>(k2) / n;
    z->chirpRe[size_t(k)] = std::cos(angle);
    z->chirpIm[size_t(k)] = -std::sin(angle);
  }
  std::vector<double> br(size_t(m), 0.0), bi(size_t(m), 0.0);
  std::vector<double> sr(static_cast<size_t>(m)), si(static_cast<size_t>(m));
  for (std::int32_t d = 0; d < n; ++d) {
    br[size_t(d)] = z->chirpRe[size_t(d)];
    bi[size_t(d)] = -z->chirpIm[size_t(d)];
    if (d > 0) {
      br[size_t(m - d)] = br[size_t(d)];
      bi[size_t(m - d)] = bi[size_t(d)];
    }
  }
  const Buffers f = runPlan<OneLane>(z->plan, {br.data(), bi.data()}, {sr.data(), si.data()});
  z->filterRe.resize(size_t(m));
  z->filterIm.resize(size_t(m));
  for (std::int32_t k = 0; k < m; ++k) {
    z->filterRe[size_t(k)] = f.re[k] / m;
    z->filterIm[size_t(k)] = -f.im[k] / m;
  }
  return z;
}

// ---------------------------------------------------------------------------
// Per-length records.

struct Entry {
  FftTables tables;
  Plan plan;                     // when every prime factor is small
  std::unique_ptr<Chirp> chirp;  // otherwise

  // Elements per lane the transform buffers must hold.
  size_t work() const { return size_t(chirp ? chirp->m : tables.n); }
};

std::shared_ptr<const Entry> buildEntry(std::int32_t n) {
  auto e = std::make_shared<Entry>();
  FftTables& t = e->tables;
  t.n = n;
  t.cosTable.resize(size_t(n));
  t.sinTable.resize(size_t(n));
  for (std::int32_t i = 0; i < n; ++i) {
    const double angle = kTablesTwoPi * i / n;
    t.cosTable[size_t(i)] = std::cos(angle);
    t.sinTable[size_t(i)] = -std::sin(angle);
  }
  t.factors = primeFactors(n);
  if (!t.factors.empty() && t.factors.back() > kLargestDirectRadix) {
    e->chirp = makeChirp(n);
  } else {
    e->plan = makePlan(n, t.factors, [&t](std::int32_t index) {
      return std::pair{t.cosTable[size_t(index)], t.sinTable[size_t(index)]};
    });
  }
  return e;
}

struct Registry {
  std::mutex lock;
  std::array<std::shared_ptr<const Entry>, kMaxFftLength + 1> entries;  // guarded by lock
};

Registry& registry() {
  static Registry r;
  return r;
}

// n must be in 1..kMaxFftLength.
std::shared_ptr<const Entry> entryFor(std::int32_t n) {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  auto& slot = r.entries[size_t(n)];
  if (!slot) slot = buildEntry(n);
  return slot;
}

// Scratch space of the calling thread, at least `count` doubles. Valid until
// the thread's next call.
double* scratch(size_t count) {
  thread_local std::vector<double> buffer;
  if (buffer.size() < count) buffer.resize(count);
  return buffer.data();
}

// Forward transform of the sequences in `data`, in lane layout L (the
// first n elements per lane; capacity entry.work() per lane), with `other` as
// second buffer of the same capacity. Returns the pair holding the result.
template <typename L>
Buffers execute(const Entry& e, Buffers data, Buffers other) {
  using T = typename L::T;
  constexpr size_t B = L::kCount;
  if (!e.chirp) return runPlan<L>(e.plan, data, other);
  const Chirp& z = *e.chirp;
  const size_t n = size_t(e.tables.n), m = size_t(z.m);
  for (size_t k = 0; k < n; ++k) {
    const double c = z.chirpRe[k], d = z.chirpIm[k];
    for (size_t o = k * B; o < (k + 1) * B; o += kWidth<T>) {
      const T xr = load<T>(data.re + o), xi = load<T>(data.im + o);
      store(data.re + o, xr * c - xi * d);
      store(data.im + o, xr * d + xi * c);
    }
  }
  std::fill(data.re + n * B, data.re + m * B, 0.0);
  std::fill(data.im + n * B, data.im + m * B, 0.0);
  const Buffers spectrum = runPlan<L>(z.plan, data, other);
  const Buffers free = spectrum.re == data.re ? other : data;
  // Multiply by the filter and conjugate, so the inverse transform of the
  // product runs as a forward one: conj(F(conj(y))) = inverse(y).
  for (size_t k = 0; k < m; ++k) {
    const double fr = z.filterRe[k], fi = z.filterIm[k];
    for (size_t o = k * B; o < (k + 1) * B; o += kWidth<T>) {
      const T pr = load<T>(spectrum.re + o), pi = load<T>(spectrum.im + o);
      store(spectrum.re + o, pr * fr + pi * fi);
      store(spectrum.im + o, pr * fi - pi * fr);
    }
  }
  const Buffers out = runPlan<L>(z.plan, spectrum, free);
  for (size_t k = 0; k < n; ++k) {
    const double c = z.chirpRe[k], d = z.chirpIm[k];
    for (size_t o = k * B; o < (k + 1) * B; o += kWidth<T>) {
      const T qr = load<T>(out.re + o), qi = load<T>(out.im + o);
      store(out.re + o, qr * c + qi * d);
      store(out.im + o, qr * d - qi * c);
    }
  }
  return out;
}

bool validLength(std::int32_t n) { return n >= 1 && n <= kMaxFftLength; }

// The inverse runs as conj(forward(conj(x))) / n, which equals the transform
// with conjugated twiddles.
template <bool kInverse>
bool transform1d(std::int32_t n, std::int32_t stride, double* re, double* im) {
  if (!validLength(n) || stride < 1 || re == nullptr || im == nullptr) return false;
  const std::shared_ptr<const Entry> e = entryFor(n);
  const size_t w = e->work();
  double* s = scratch(4 * w);
  const Buffers data{s, s + w}, other{s + 2 * w, s + 3 * w};
  const auto step = static_cast<std::ptrdiff_t>(stride);
  for (std::int32_t j = 0; j < n; ++j) {
    data.re[j] = re[j * step];
    data.im[j] = kInverse ? -im[j * step] : im[j * step];
  }
  const Buffers out = execute<OneLane>(*e, data, other);
  if constexpr (kInverse) {
    const double scale = 1.0 / n;
    for (std::int32_t j = 0; j < n; ++j) {
      re[j * step] = out.re[j] * scale;
      im[j * step] = -out.im[j] * scale;
    }
  } else {
    for (std::int32_t j = 0; j < n; ++j) {
      re[j * step] = out.re[j];
      im[j * step] = out.im[j];
    }
  }
  return true;
}

// Transforms `count` sequences of the grid side by side, kLanes at a time.
// Sequence s, element j sits at index s * seqStep + j * elemStep. Copies run
// element by element across the lanes: for columns that reads and writes whole
// cache lines, for rows it reads kLanes streams in step.
template <bool kInverse>
void transformMany(const Entry& e, std::int32_t count, size_t seqStep, size_t elemStep, double* re,
                   double* im, double* s) {
  const size_t n = size_t(e.tables.n);
  const size_t w = e.work() * kLanes;
  const Buffers data{s, s + w}, other{s + 2 * w, s + 3 * w};
  const double scale = kInverse ? 1.0 / double(n) : 1.0;
  for (std::int32_t first = 0; first < count; first += kLanes) {
    const int lanes = std::min(kLanes, count - first);
    const size_t base = size_t(first) * seqStep;
    if (lanes < kLanes) {
      std::fill(data.re, data.re + n * kLanes, 0.0);
      std::fill(data.im, data.im + n * kLanes, 0.0);
    }
    for (size_t j = 0; j < n; ++j) {
      const double* r = re + base + j * elemStep;
      const double* i = im + base + j * elemStep;
      double* dr = data.re + j * kLanes;
      double* di = data.im + j * kLanes;
      for (int b = 0; b < lanes; ++b) {
        dr[b] = r[size_t(b) * seqStep];
        di[b] = kInverse ? -i[size_t(b) * seqStep] : i[size_t(b) * seqStep];
      }
    }
    const Buffers out = execute<ManyLanes>(e, data, other);
    for (size_t j = 0; j < n; ++j) {
      double* r = re + base + j * elemStep;
      double* i = im + base + j * elemStep;
      const double* sr = out.re + j * kLanes;
      const double* si = out.im + j * kLanes;
      for (int b = 0; b < lanes; ++b) {
        if constexpr (kInverse) {
          r[size_t(b) * seqStep] = sr[b] * scale;
          i[size_t(b) * seqStep] = -si[b] * scale;
        } else {
          r[size_t(b) * seqStep] = sr[b];
          i[size_t(b) * seqStep] = si[b];
        }
      }
    }
  }
}

template <bool kInverse>
bool transform2d(std::int32_t width, std::int32_t height, double* re, double* im) {
  if (!validLength(width) || !validLength(height) || re == nullptr || im == nullptr) return false;
  const std::shared_ptr<const Entry> rowEntry = entryFor(width);
  const std::shared_ptr<const Entry> colEntry = entryFor(height);
  double* s = scratch(4 * kLanes * std::max(rowEntry->work(), colEntry->work()));
  const size_t w = size_t(width);
  const auto rows = [&] { transformMany<kInverse>(*rowEntry, height, w, 1, re, im, s); };
  const auto columns = [&] { transformMany<kInverse>(*colEntry, width, 1, w, re, im, s); };
  if constexpr (kInverse) {
    columns();
    rows();
  } else {
    rows();
    columns();
  }
  return true;
}

}  // namespace

std::shared_ptr<const FftTables> fftTables(std::int32_t n) {
  if (!validLength(n)) return nullptr;
  std::shared_ptr<const Entry> e = entryFor(n);
  return {e, &e->tables};
}

void clearFftTables() {
  Registry& r = registry();
  std::lock_guard guard(r.lock);
  for (auto& slot : r.entries) slot.reset();
}

bool fft1d(std::int32_t n, std::int32_t stride, double* re, double* im) {
  return transform1d<false>(n, stride, re, im);
}

bool ifft1d(std::int32_t n, std::int32_t stride, double* re, double* im) {
  return transform1d<true>(n, stride, re, im);
}

bool fft2d(std::int32_t width, std::int32_t height, double* re, double* im) {
  return transform2d<false>(width, height, re, im);
}

bool ifft2d(std::int32_t width, std::int32_t height, double* re, double* im) {
  return transform2d<true>(width, height, re, im);
}

}  // namespace vistel
