#pragma once

// A small dense matrix of doubles. Registration hands its result back in one
// (a 3x3 transform whose entries (0, 2) and (1, 2) carry the translation).
//
// Thread-safety: a plain value; distinct objects may be used on distinct
// threads, one object only on one thread at a time (or read-only on several).

#include <cstdint>
#include <span>
#include <vector>

namespace vistel {

class Matrix {
 public:
  // rows x cols elements, 1.0 where row == column and 0.0 elsewhere (the
  // identity when square). A size of 0 or less in either direction gives the
  // empty 0 x 0 matrix.
  Matrix(std::int32_t rows, std::int32_t cols);

  std::int32_t rows() const { return rows_; }
  std::int32_t cols() const { return cols_; }

  // Element (r, c), stored row-major at index r * cols + c. No bounds check:
  // 0 <= r < rows and 0 <= c < cols is the caller's part. The reference stays
  // valid while the matrix lives and is not assigned to.
  double& at(std::int32_t r, std::int32_t c) { return elements_[index(r, c)]; }
  double at(std::int32_t r, std::int32_t c) const { return elements_[index(r, c)]; }

  // All rows * cols elements in row-major order; valid as at().
  std::span<double> elements() { return elements_; }
  std::span<const double> elements() const { return elements_; }

  friend bool operator==(const Matrix&, const Matrix&) = default;

 private:
  std::size_t index(std::int32_t r, std::int32_t c) const {
    return static_cast<std::size_t>(r) * static_cast<std::size_t>(cols_) +
           static_cast<std::size_t>(c);
  }

  std::int32_t rows_ = 0;
  std::int32_t cols_ = 0;
  std::vector<double> elements_;  // rows_ * cols_, row-major
};

}  // namespace vistel
