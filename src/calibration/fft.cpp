#include "vistel/calibration/fft.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <mutex>
#include <numbers>
#include <utility>

namespace vistel {
namespace {

using std::size_t;

// Twiddle tables are filled with this value of 2 pi, the one registration was
// tuned with; it moves each twiddle's angle by at most 1.1e-7 rad.
constexpr double kTablesTwoPi = 6.2831852;
constexpr double kTwoPi = 2 * std::numbers::pi;

// Prime radices up to this one run as direct passes (cost about p operations
// per element and pass). A length with a larger prime factor goes through the
// chirp-z convolution instead, whose cost does not grow with the factor.
constexpr std::int32_t kLargestDirectRadix = 61;
constexpr std::int32_t kMaxHalfRadix = (kLargestDirectRadix - 1) / 2;

// Sequences transformed side by side by the 2-D transforms: one cache line of
// doubles, so a column block is gathered from whole lines, and the innermost
// loop of every pass runs over the lanes, which the compiler vectorises.
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

struct Pass {
  std::int32_t ido;
  std::int32_t l1;
  const double* __restrict ar;  // input
  const double* __restrict ai;
  double* __restrict br;  // output
  double* __restrict bi;
  const double* __restrict wr;  // twiddles
  const double* __restrict wi;
};

// Input element (i, q, k) and output element (i, k, j) of a radix-p pass, as
// array indices for lane 0.
template <int B>
inline size_t inIndex(const Pass& s, std::int32_t p, std::int32_t i, std::int32_t q,
                      std::int32_t k) {
  return (size_t(i) + size_t(s.ido) * (size_t(q) + size_t(p) * size_t(k))) * B;
}
template <int B>
inline size_t outIndex(const Pass& s, std::int32_t i, std::int32_t k, std::int32_t j) {
  return (size_t(i) + size_t(s.ido) * (size_t(k) + size_t(s.l1) * size_t(j))) * B;
}

template <int B>
void pass2(const Pass& s) {
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < s.ido; ++i) {
      const size_t x0 = inIndex<B>(s, 2, i, 0, k), x1 = inIndex<B>(s, 2, i, 1, k);
      const size_t y0 = outIndex<B>(s, i, k, 0), y1 = outIndex<B>(s, i, k, 1);
      const double c = s.wr[i], d = s.wi[i];
      for (int b = 0; b < B; ++b) {
        const double ar = s.ar[x0 + b], ai = s.ai[x0 + b];
        const double br = s.ar[x1 + b], bi = s.ai[x1 + b];
        s.br[y0 + b] = ar + br;
        s.bi[y0 + b] = ai + bi;
        const double tr = ar - br, ti = ai - bi;
        s.br[y1 + b] = tr * c - ti * d;
        s.bi[y1 + b] = tr * d + ti * c;
      }
    }
  }
}

template <int B>
void pass3(const Pass& s) {
  constexpr double h = 0.86602540378443864676;  // sin(2 pi / 3)
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      const size_t x0 = inIndex<B>(s, 3, i, 0, k), x1 = inIndex<B>(s, 3, i, 1, k),
                   x2 = inIndex<B>(s, 3, i, 2, k);
      const size_t y0 = outIndex<B>(s, i, k, 0), y1 = outIndex<B>(s, i, k, 1),
                   y2 = outIndex<B>(s, i, k, 2);
      const double c1 = s.wr[i], d1 = s.wi[i];
      const double c2 = s.wr[ido + i], d2 = s.wi[ido + i];
      for (int b = 0; b < B; ++b) {
        const double ar = s.ar[x0 + b], ai = s.ai[x0 + b];
        const double tr = s.ar[x1 + b] + s.ar[x2 + b], ti = s.ai[x1 + b] + s.ai[x2 + b];
        const double dr = s.ar[x1 + b] - s.ar[x2 + b], di = s.ai[x1 + b] - s.ai[x2 + b];
        s.br[y0 + b] = ar + tr;
        s.bi[y0 + b] = ai + ti;
        const double mr = ar - 0.5 * tr, mi = ai - 0.5 * ti;
        // y1 = m - i h d, y2 = m + i h d
        const double u1r = mr + h * di, u1i = mi - h * dr;
        const double u2r = mr - h * di, u2i = mi + h * dr;
        s.br[y1 + b] = u1r * c1 - u1i * d1;
        s.bi[y1 + b] = u1r * d1 + u1i * c1;
        s.br[y2 + b] = u2r * c2 - u2i * d2;
        s.bi[y2 + b] = u2r * d2 + u2i * c2;
      }
    }
  }
}

template <int B>
void pass4(const Pass& s) {
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      const size_t x0 = inIndex<B>(s, 4, i, 0, k), x1 = inIndex<B>(s, 4, i, 1, k),
                   x2 = inIndex<B>(s, 4, i, 2, k), x3 = inIndex<B>(s, 4, i, 3, k);
      const size_t y0 = outIndex<B>(s, i, k, 0), y1 = outIndex<B>(s, i, k, 1),
                   y2 = outIndex<B>(s, i, k, 2), y3 = outIndex<B>(s, i, k, 3);
      const double c1 = s.wr[i], d1 = s.wi[i];
      const double c2 = s.wr[ido + i], d2 = s.wi[ido + i];
      const double c3 = s.wr[2 * ido + i], d3 = s.wi[2 * ido + i];
      for (int b = 0; b < B; ++b) {
        const double t0r = s.ar[x0 + b] + s.ar[x2 + b], t0i = s.ai[x0 + b] + s.ai[x2 + b];
        const double t1r = s.ar[x0 + b] - s.ar[x2 + b], t1i = s.ai[x0 + b] - s.ai[x2 + b];
        const double t2r = s.ar[x1 + b] + s.ar[x3 + b], t2i = s.ai[x1 + b] + s.ai[x3 + b];
        const double t3r = s.ar[x1 + b] - s.ar[x3 + b], t3i = s.ai[x1 + b] - s.ai[x3 + b];
        s.br[y0 + b] = t0r + t2r;
        s.bi[y0 + b] = t0i + t2i;
        // y1 = t1 - i t3, y2 = t0 - t2, y3 = t1 + i t3
        const double u1r = t1r + t3i, u1i = t1i - t3r;
        const double u2r = t0r - t2r, u2i = t0i - t2i;
        const double u3r = t1r - t3i, u3i = t1i + t3r;
        s.br[y1 + b] = u1r * c1 - u1i * d1;
        s.bi[y1 + b] = u1r * d1 + u1i * c1;
        s.br[y2 + b] = u2r * c2 - u2i * d2;
        s.bi[y2 + b] = u2r * d2 + u2i * c2;
        s.br[y3 + b] = u3r * c3 - u3i * d3;
        s.bi[y3 + b] = u3r * d3 + u3i * c3;
      }
    }
  }
}

template <int B>
void pass5(const Pass& s) {
  const double c1 = std::cos(kTwoPi / 5), c2 = std::cos(2 * kTwoPi / 5);
  const double s1 = std::sin(kTwoPi / 5), s2 = std::sin(2 * kTwoPi / 5);
  const std::int32_t ido = s.ido;
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      size_t x[5], y[5];
      double wc[5], ws[5];
      for (std::int32_t q = 0; q < 5; ++q) {
        x[q] = inIndex<B>(s, 5, i, q, k);
        y[q] = outIndex<B>(s, i, k, q);
        if (q > 0) {
          wc[q] = s.wr[(q - 1) * ido + i];
          ws[q] = s.wi[(q - 1) * ido + i];
        }
      }
      for (int b = 0; b < B; ++b) {
        const double x0r = s.ar[x[0] + b], x0i = s.ai[x[0] + b];
        const double a1r = s.ar[x[1] + b] + s.ar[x[4] + b], a1i = s.ai[x[1] + b] + s.ai[x[4] + b];
        const double b1r = s.ar[x[1] + b] - s.ar[x[4] + b], b1i = s.ai[x[1] + b] - s.ai[x[4] + b];
        const double a2r = s.ar[x[2] + b] + s.ar[x[3] + b], a2i = s.ai[x[2] + b] + s.ai[x[3] + b];
        const double b2r = s.ar[x[2] + b] - s.ar[x[3] + b], b2i = s.ai[x[2] + b] - s.ai[x[3] + b];
        s.br[y[0] + b] = x0r + a1r + a2r;
        s.bi[y[0] + b] = x0i + a1i + a2i;
        // y1,4 = R1 -+ i S1 and y2,3 = R2 -+ i S2 with
        // R1 = x0 + c1 a1 + c2 a2, S1 = s1 b1 + s2 b2,
        // R2 = x0 + c2 a1 + c1 a2, S2 = s2 b1 - s1 b2.
        const double r1r = x0r + c1 * a1r + c2 * a2r, r1i = x0i + c1 * a1i + c2 * a2i;
        const double r2r = x0r + c2 * a1r + c1 * a2r, r2i = x0i + c2 * a1i + c1 * a2i;
        const double q1r = s1 * b1r + s2 * b2r, q1i = s1 * b1i + s2 * b2i;
        const double q2r = s2 * b1r - s1 * b2r, q2i = s2 * b1i - s1 * b2i;
        const double u[5][2] = {{0, 0},
                                {r1r + q1i, r1i - q1r},
                                {r2r + q2i, r2i - q2r},
                                {r2r - q2i, r2i + q2r},
                                {r1r - q1i, r1i + q1r}};
        for (int j = 1; j < 5; ++j) {
          s.br[y[j] + b] = u[j][0] * wc[j] - u[j][1] * ws[j];
          s.bi[y[j] + b] = u[j][0] * ws[j] + u[j][1] * wc[j];
        }
      }
    }
  }
}

// Any odd prime radix up to kLargestDirectRadix: the direct p-point DFT,
// folding inputs q and p - q so each pair costs one multiplication per output.
template <int B>
void passGeneric(const Pass& s, std::int32_t p, const double* rootCos, const double* rootSin) {
  const std::int32_t h = (p - 1) / 2;
  const std::int32_t ido = s.ido;
  double sr[kMaxHalfRadix + 1][B], si[kMaxHalfRadix + 1][B];  // x[q] + x[p - q]
  double dr[kMaxHalfRadix + 1][B], di[kMaxHalfRadix + 1][B];  // x[q] - x[p - q]
  for (std::int32_t k = 0; k < s.l1; ++k) {
    for (std::int32_t i = 0; i < ido; ++i) {
      const size_t x0 = inIndex<B>(s, p, i, 0, k);
      for (std::int32_t q = 1; q <= h; ++q) {
        const size_t xa = inIndex<B>(s, p, i, q, k), xb = inIndex<B>(s, p, i, p - q, k);
        for (int b = 0; b < B; ++b) {
          sr[q][b] = s.ar[xa + b] + s.ar[xb + b];
          si[q][b] = s.ai[xa + b] + s.ai[xb + b];
          dr[q][b] = s.ar[xa + b] - s.ar[xb + b];
          di[q][b] = s.ai[xa + b] - s.ai[xb + b];
        }
      }
      const size_t y0 = outIndex<B>(s, i, k, 0);
      for (int b = 0; b < B; ++b) {
        double accr = s.ar[x0 + b], acci = s.ai[x0 + b];
        for (std::int32_t q = 1; q <= h; ++q) {
          accr += sr[q][b];
          acci += si[q][b];
        }
        s.br[y0 + b] = accr;
        s.bi[y0 + b] = acci;
      }
      for (std::int32_t j = 1; j <= h; ++j) {
        // y[j] = R - i S and y[p - j] = R + i S with R = x0 + sum_q s_q cos(2 pi qj/p)
        // and S = sum_q d_q sin(2 pi qj/p).
        double rr[B], ri[B], qr[B], qi[B];
        for (int b = 0; b < B; ++b) {
          rr[b] = s.ar[x0 + b];
          ri[b] = s.ai[x0 + b];
          qr[b] = 0;
          qi[b] = 0;
        }
        std::int32_t root = 0;
        for (std::int32_t q = 1; q <= h; ++q) {
          root += j;
          if (root >= p) root -= p;
          const double c = rootCos[root], sn = rootSin[root];
          for (int b = 0; b < B; ++b) {
            rr[b] += sr[q][b] * c;
            ri[b] += si[q][b] * c;
            qr[b] += dr[q][b] * sn;
            qi[b] += di[q][b] * sn;
          }
        }
        const size_t ya = outIndex<B>(s, i, k, j), yb = outIndex<B>(s, i, k, p - j);
        const double ca = s.wr[(j - 1) * ido + i], da = s.wi[(j - 1) * ido + i];
        const double cb = s.wr[(p - j - 1) * ido + i], db = s.wi[(p - j - 1) * ido + i];
        for (int b = 0; b < B; ++b) {
          const double uar = rr[b] + qi[b], uai = ri[b] - qr[b];
          const double ubr = rr[b] - qi[b], ubi = ri[b] + qr[b];
          s.br[ya + b] = uar * ca - uai * da;
          s.bi[ya + b] = uar * da + uai * ca;
          s.br[yb + b] = ubr * cb - ubi * db;
          s.bi[yb + b] = ubr * db + ubi * cb;
        }
      }
    }
  }
}

struct Buffers {
  double* re;
  double* im;
};

// Runs every pass of the plan, alternating between `data` and `other`;
// returns the pair that holds the result.
template <int B>
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
        pass2<B>(s);
        break;
      case 3:
        pass3<B>(s);
        break;
      case 4:
        pass4<B>(s);
        break;
      case 5:
        pass5<B>(s);
        break;
      default:
        passGeneric<B>(s, st.radix, plan.rootCos.data() + st.roots, plan.rootSin.data() + st.roots);
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
  const Buffers f = runPlan<1>(z->plan, {br.data(), bi.data()}, {sr.data(), si.data()});
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

// Forward transform of the B sequences in `data` (the first n elements per
// lane; capacity entry.work() per lane), with `other` as second buffer of the
// same capacity. Returns the pair holding the result.
template <int B>
Buffers execute(const Entry& e, Buffers data, Buffers other) {
  if (!e.chirp) return runPlan<B>(e.plan, data, other);
  const Chirp& z = *e.chirp;
  const size_t n = size_t(e.tables.n), m = size_t(z.m);
  for (size_t k = 0; k < n; ++k) {
    const double c = z.chirpRe[k], d = z.chirpIm[k];
    for (int b = 0; b < B; ++b) {
      const double xr = data.re[k * B + b], xi = data.im[k * B + b];
      data.re[k * B + b] = xr * c - xi * d;
      data.im[k * B + b] = xr * d + xi * c;
    }
  }
  std::fill(data.re + n * B, data.re + m * B, 0.0);
  std::fill(data.im + n * B, data.im + m * B, 0.0);
  Buffers spectrum = runPlan<B>(z.plan, data, other);
  Buffers free = spectrum.re == data.re ? other : data;
  // Multiply by the filter and conjugate, so the inverse transform of the
  // product runs as a forward one: conj(F(conj(y))) = inverse(y).
  for (size_t k = 0; k < m; ++k) {
    const double fr = z.filterRe[k], fi = z.filterIm[k];
    for (int b = 0; b < B; ++b) {
      const double pr = spectrum.re[k * B + b], pi = spectrum.im[k * B + b];
      spectrum.re[k * B + b] = pr * fr + pi * fi;
      spectrum.im[k * B + b] = pr * fi - pi * fr;
    }
  }
  Buffers out = runPlan<B>(z.plan, spectrum, free);
  for (size_t k = 0; k < n; ++k) {
    const double c = z.chirpRe[k], d = z.chirpIm[k];
    for (int b = 0; b < B; ++b) {
      const double qr = out.re[k * B + b], qi = out.im[k * B + b];
      out.re[k * B + b] = qr * c + qi * d;
      out.im[k * B + b] = qr * d - qi * c;
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
  const Buffers out = execute<1>(*e, data, other);
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
// Sequence s, element j sits at index s * seqStep + j * elemStep.
template <bool kInverse>
void transformMany(const Entry& e, std::int32_t count, size_t seqStep, size_t elemStep, double* re,
                   double* im, double* s) {
  const std::int32_t n = e.tables.n;
  const size_t w = e.work() * kLanes;
  const Buffers data{s, s + w}, other{s + 2 * w, s + 3 * w};
  const double scale = kInverse ? 1.0 / n : 1.0;
  for (std::int32_t first = 0; first < count; first += kLanes) {
    const int lanes = std::min(kLanes, count - first);
    for (int b = 0; b < lanes; ++b) {
      const size_t base = size_t(first + b) * seqStep;
      for (std::int32_t j = 0; j < n; ++j) {
        data.re[size_t(j) * kLanes + b] = re[base + size_t(j) * elemStep];
        data.im[size_t(j) * kLanes + b] =
            kInverse ? -im[base + size_t(j) * elemStep] : im[base + size_t(j) * elemStep];
      }
    }
    for (int b = lanes; b < kLanes; ++b) {
      for (std::int32_t j = 0; j < n; ++j) {
        data.re[size_t(j) * kLanes + b] = 0;
        data.im[size_t(j) * kLanes + b] = 0;
      }
    }
    const Buffers out = execute<kLanes>(e, data, other);
    for (int b = 0; b < lanes; ++b) {
      const size_t base = size_t(first + b) * seqStep;
      for (std::int32_t j = 0; j < n; ++j) {
        if constexpr (kInverse) {
          re[base + size_t(j) * elemStep] = out.re[size_t(j) * kLanes + b] * scale;
          im[base + size_t(j) * elemStep] = -out.im[size_t(j) * kLanes + b] * scale;
        } else {
          re[base + size_t(j) * elemStep] = out.re[size_t(j) * kLanes + b];
          im[base + size_t(j) * elemStep] = out.im[size_t(j) * kLanes + b];
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
