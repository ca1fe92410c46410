#pragma once

// Complex discrete Fourier transforms in one and two dimensions over split
// real and imaginary float64 arrays, for lengths 1 to kMaxFftLength. Image
// registration correlates two pictures with them.
//
// Forward: X[k] = sum_j x[j] * (cos(2 pi jk/n) - i sin(2 pi jk/n)), unscaled.
// Inverse: the conjugate transform with every output multiplied by 1/n, so
// ifft1d(fft1d(x)) gives x back (to a few 1e-7 of its magnitude, see
// FftTables).
//
// Lengths whose prime factors are all at most 127 run as mixed-radix passes over
// the twiddle tables below; a length with a large prime factor runs as a
// chirp-z convolution over a longer smooth length, so a prime length costs
// O(n log n) like any other.
//
// Thread-safety: every function here may be called from any thread, also at
// the same time on distinct data. The tables of a length are built once,
// under a lock, on the first transform of that length and are read-only
// afterwards; each thread keeps its own scratch space (up to 512 KiB, held
// until the thread ends).

#include <cstdint>
#include <memory>
#include <vector>

namespace vistel {

inline constexpr std::int32_t kMaxFftLength = 1023;

// The per-length record shared by every transform of length n.
struct FftTables {
  std::int32_t n = 0;
  // cos(2 pi i/n) and -sin(2 pi i/n) for i < n, with 2 pi taken as 6.2831852
  // (as in the registration's window), which puts the transforms within a few
  // 1e-7 of the signal's magnitude of the exact DFT.
  std::vector<double> cosTable;
  std::vector<double> sinTable;
  // The prime factors of n in increasing order, repeated as often as they
  // divide n (none for n = 1).
  std::vector<std::int32_t> factors;

  std::int32_t factorCount() const { return static_cast<std::int32_t>(factors.size()); }
};

// The tables of length n (1..kMaxFftLength), built on first use and shared
// with the transforms; null for other lengths. The record stays valid while
// the returned pointer is held, also across clearFftTables.
[[nodiscard]] std::shared_ptr<const FftTables> fftTables(std::int32_t n);

// Drops every cached record; later transforms build them again. Transforms
// running on other threads at the time keep the records they hold.
void clearFftTables();

// In-place forward transform of the n elements re[j * stride], im[j * stride]
// (j < n). re and im are distinct arrays owned by the caller. False, with the
// data untouched, when n is outside 1..kMaxFftLength, stride < 1 or an array
// is null.
[[nodiscard]] bool fft1d(std::int32_t n, std::int32_t stride, double* re, double* im);

// In-place inverse transform (conjugate twiddles, outputs times 1/n); the
// arguments and failures as for fft1d.
[[nodiscard]] bool ifft1d(std::int32_t n, std::int32_t stride, double* re, double* im);

// In-place forward transform of a row-major grid of width x height elements:
// every row (length width), then every column (length height). False, with
// the data untouched, when a size is outside 1..kMaxFftLength or an array is
// null.
[[nodiscard]] bool fft2d(std::int32_t width, std::int32_t height, double* re, double* im);

// In-place inverse of fft2d: every column, then every row, each with the 1/n
// scaling of ifft1d. Failures as for fft2d.
[[nodiscard]] bool ifft2d(std::int32_t width, std::int32_t height, double* re, double* im);

}  // namespace vistel
