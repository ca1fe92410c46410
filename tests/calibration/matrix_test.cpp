#include "vistel/calibration/matrix.h"

#include <gtest/gtest.h>

namespace vistel {
namespace {

TEST(Matrix, SquareConstructionIsTheIdentity) {
  const Matrix m(3, 3);
  ASSERT_EQ(m.rows(), 3);
  ASSERT_EQ(m.cols(), 3);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(m.at(r, c), r == c ? 1.0 : 0.0) << r << "," << c;
  }
}

TEST(Matrix, ElementsAreRowMajor) {
  // Registration writes its translation into (0, 2) and (1, 2); they must land
  // at indices 2 and 5, and nowhere else.
  Matrix m(3, 3);
  m.at(0, 2) = 0.25;
  m.at(1, 2) = -0.125;
  const std::vector<double> want = {1, 0, 0.25, 0, 1, -0.125, 0, 0, 1};
  EXPECT_EQ(std::vector<double>(m.elements().begin(), m.elements().end()), want);

  Matrix wide(2, 4);
  wide.at(1, 3) = 7;
  EXPECT_EQ(wide.elements()[1 * 4 + 3], 7.0);
}

TEST(Matrix, RectangularHasOnesOnTheLeadingDiagonalOnly) {
  for (const auto& [rows, cols] :
       {std::pair{2, 4}, std::pair{4, 2}, std::pair{1, 1}, std::pair{1, 5}}) {
    const Matrix m(rows, cols);
    ASSERT_EQ(m.elements().size(), std::size_t(rows * cols));
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < cols; ++c) {
        EXPECT_EQ(m.at(r, c), r == c ? 1.0 : 0.0) << rows << "x" << cols << " " << r << "," << c;
      }
    }
  }
}

TEST(Matrix, EmptySizesGiveTheEmptyMatrix) {
  for (const auto& [rows, cols] :
       {std::pair{0, 0}, std::pair{0, 3}, std::pair{3, 0}, std::pair{-1, 4}}) {
    const Matrix m(rows, cols);
    EXPECT_EQ(m.rows(), 0);
    EXPECT_EQ(m.cols(), 0);
    EXPECT_TRUE(m.elements().empty());
  }
}

TEST(Matrix, CopiesAreIndependentValues) {
  Matrix a(3, 3);
  Matrix b = a;
  b.at(0, 2) = 4;
  EXPECT_EQ(a.at(0, 2), 0.0);
  EXPECT_NE(a, b);
  a = b;
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.at(0, 2), 4.0);
}

}  // namespace
}  // namespace vistel
