#include "vistel/calibration/matrix.h"

#include <algorithm>

namespace vistel {

Matrix::Matrix(std::int32_t rows, std::int32_t cols)
    : rows_(std::max(rows, std::int32_t{0})), cols_(std::max(cols, std::int32_t{0})) {
  // An empty matrix has no rows and no columns, so that rows() * cols() is
  // always the element count.
  if (rows_ == 0 || cols_ == 0) rows_ = cols_ = 0;
  elements_.assign(static_cast<std::size_t>(rows_) * static_cast<std::size_t>(cols_), 0.0);
  for (std::int32_t d = 0; d < std::min(rows_, cols_); ++d) at(d, d) = 1.0;
}

}  // namespace vistel
