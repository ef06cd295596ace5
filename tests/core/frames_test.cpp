#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "core/core.h"

namespace {

// Frame whose element i holds the value (i, -i): every element is recognisable.
std::vector<dcomplex> numbered(int count) {
  std::vector<dcomplex> v(count);
  for (int i = 0; i < count; ++i) v[i] = {double(i), -double(i)};
  return v;
}

double at(const std::vector<dcomplex>& f, int rows, int r, int c) {
  return f[r + rows * c].re;
}

TEST(SwapQuadrants, FourByFourIsTheHalfShiftInBothDirections) {
  std::vector<dcomplex> f = numbered(16);
  swap_quadrants(f.data(), 4, 4);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      EXPECT_EQ(at(f, 4, (r + 2) % 4, (c + 2) % 4), r + 4 * c) << r << "," << c;
  swap_quadrants(f.data(), 4, 4);
  EXPECT_EQ(f[7].re, 7.0);
  EXPECT_EQ(f[7].im, -7.0);
}

TEST(SwapQuadrants, ThreeByThreeLeavesTheLastRowAndColumn) {
  std::vector<dcomplex> f = numbered(9);
  swap_quadrants(f.data(), 3, 3);
  // (0,0) <-> (1,1) and (1,0) <-> (0,1); row 2 and column 2 stay.
  const double expected[9] = {4, 3, 2, 1, 0, 5, 6, 7, 8};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(f[i].re, expected[i]) << i;
}

// Regression: with a single row or column the half-extent is 0, and the exchange must neither
// reach past the frame nor skip the shift along the other extent.
class SwapQuadrantsThin : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SwapQuadrantsThin, ShiftsOnlyAlongTheLongExtent) {
  const auto [rows, cols] = GetParam();
  const int n = rows * cols;
  std::vector<dcomplex> f = numbered(n);
  swap_quadrants(f.data(), rows, cols);
  const int half = n / 2;
  for (int i = 0; i < n; ++i) {
    // Even length: circular shift by n/2; odd length: the last element stays.
    const int from = (n % 2 == 1 && i == n - 1) ? i : (i < half ? i + half : i - half);
    EXPECT_EQ(f[i].re, from) << "element " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Extents, SwapQuadrantsThin,
                         testing::Values(std::make_tuple(1, 6), std::make_tuple(6, 1),
                                         std::make_tuple(1, 5), std::make_tuple(1, 1)));

TEST(CopyAlternateLines, CopiesOneParityOfEveryFrame) {
  // M = 2, N = 5, two frames.
  const int dims[4] = {2, 5, 2, 1};
  const std::vector<dcomplex> src = numbered(20);
  for (int first : {0, 1}) {
    std::vector<dcomplex> dst(20, dcomplex{-1, -1});
    EXPECT_EQ(copy_alternate_lines(4, dims, src.data(), first, dst.data(), first), 0);
    for (int f = 0; f < 2; ++f)
      for (int line = 0; line < 5; ++line)
        for (int m = 0; m < 2; ++m) {
          const int i = m + 2 * line + 10 * f;
          EXPECT_EQ(dst[i].re, line % 2 == first ? i : -1) << "first " << first << " i " << i;
        }
  }
}

TEST(CopyAlternateLines, ShiftedDestinationStaysInsideTheFrame) {
  // Odd lines of the source to the even lines of the destination: lines 1, 3 -> 0, 2; line 4
  // of the destination is not written.
  const int dims[2] = {1, 5};
  const std::vector<dcomplex> src = numbered(5);
  std::vector<dcomplex> dst(5, dcomplex{-1, -1});
  copy_alternate_lines(2, dims, src.data(), 1, dst.data(), 0);
  const double expected[5] = {1, -1, 3, -1, -1};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(dst[i].re, expected[i]) << i;
}

TEST(TransposeFrame, ExchangesRowsAndColumns) {
  for (auto [rows, cols] :
       {std::make_tuple(3, 5), std::make_tuple(40, 33), std::make_tuple(1, 7)}) {
    const std::vector<dcomplex> in = numbered(rows * cols);
    std::vector<dcomplex> f = in;
    ASSERT_EQ(transpose_frame(f.data(), rows, cols), 0);
    for (int i = 0; i < rows; ++i)
      for (int j = 0; j < cols; ++j) {
        EXPECT_EQ(f[j + cols * i].re, in[i + rows * j].re);
        EXPECT_EQ(f[j + cols * i].im, in[i + rows * j].im);
      }
  }
}

TEST(TransposeFrame, LeavesTheDataWhenTheTemporaryFails) {
  const std::vector<dcomplex> in = numbered(6);
  std::vector<dcomplex> f = in;
  tarvo::alloc_fail_at(1);
  EXPECT_EQ(transpose_frame(f.data(), 2, 3), -1);
  tarvo::alloc_fail_at(0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(f[i].re, in[i].re);
}

}  // namespace
