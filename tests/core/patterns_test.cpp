#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"
#include "core/core_steps.h"

namespace {

// The records of one spacing, texts and lists released at the end.
struct Patterns {
  std::vector<KernelPattern> r;
  explicit Patterns(int n) : r(n, KernelPattern{}) {}
  ~Patterns() {
    for (KernelPattern& p : r) {
      tarvo::free_bytes(p.text);
      tarvo::free_bytes(p.calib_lines);
    }
  }
};

class CalibrationLines
    : public testing::TestWithParam<std::tuple<std::vector<int>, std::vector<int>>> {};

TEST_P(CalibrationLines, SelectsLinesWithAcquiredSourcesAndKeepsTheMask) {
  const auto& [original, expected] = GetParam();
  std::vector<int> mask = original;
  const int offsets[2] = {-1, 1};
  int count = -5;
  int* list = nullptr;
  ASSERT_EQ(select_calibration_lines(&count, &list, mask.data(), int(mask.size()), 2, offsets), 0);
  EXPECT_EQ(std::vector<int>(list, list + count), expected);
  EXPECT_EQ(mask, original);
  tarvo::free_bytes(list);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, CalibrationLines,
    testing::Values(
        // Full: every line, the first and last too, since the sources wrap around.
        std::make_tuple(std::vector<int>(8, 1), std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}),
        // Odd lines only: each one's neighbours are even, so none.
        std::make_tuple(std::vector<int>{0, 1, 0, 1, 0, 1, 0, 1}, std::vector<int>{}),
        std::make_tuple(std::vector<int>{1, 0, 0, 0, 1, 1, 1, 1}, std::vector<int>{5, 6, 7})));

// Regression: with a single row or column the half extent is 0; the frame is shifted along the
// other extent only (an even length by half, an odd one keeping its last element).
class SwapQuadrantsThin : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SwapQuadrantsThin, ShiftsOnlyAlongTheLongExtent) {
  const auto [rows, cols] = GetParam();
  const int n = rows * cols, h = n / 2;
  std::vector<dcomplex> f(n);
  for (int i = 0; i < n; ++i) f[i] = {double(i), 0};
  swap_quadrants(f.data(), rows, cols);
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(f[i].re, (n % 2 == 1 && i == n - 1) ? i : (i < h ? i + h : i - h)) << i;
}

INSTANTIATE_TEST_SUITE_P(Extents, SwapQuadrantsThin,
                         testing::Values(std::make_tuple(1, 6), std::make_tuple(6, 1),
                                         std::make_tuple(1, 5), std::make_tuple(1, 1)));

// The out-of-place quadrant swap, and the transpose that takes the swap along, move every
// element as swap_quadrants (and then the transpose) do, at even, odd and thin extents.
TEST(TransposeFrame, OutOfPlaceSwapsMoveElementsAsTheSwapDoes) {
  for (const auto& [rows, cols] :
       {std::pair{4, 6}, {5, 7}, {6, 3}, {1, 5}, {6, 1}, {1, 1}, {33, 40}}) {
    const int n = rows * cols;
    std::vector<dcomplex> frame(n), swapped(n), transposed(n);
    for (int i = 0; i < n; ++i) frame[i] = {double(i), -0.5 * i};
    core_detail::swap_quadrants_to(frame.data(), rows, cols, swapped.data());
    core_detail::swapped_transpose(frame.data(), rows, cols, transposed.data());
    swap_quadrants(frame.data(), rows, cols);
    for (int i = 0; i < n; ++i) EXPECT_EQ(swapped[i].re, frame[i].re) << rows << "x" << cols;
    ASSERT_EQ(transpose_frame(frame.data(), rows, cols), 0);
    for (int i = 0; i < n; ++i) EXPECT_EQ(transposed[i].re, frame[i].re) << rows << "x" << cols;
  }
}

// A 3 x 5 frame becomes its 5 x 3 transpose.
TEST(TransposeFrame, GivesTheTranspose) {
  std::vector<dcomplex> f(15);
  for (int i = 0; i < 15; ++i) f[i] = {double(i), -double(i)};
  const std::vector<dcomplex> original = f;
  ASSERT_EQ(transpose_frame(f.data(), 3, 5), 0);
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 5; ++j) {
      EXPECT_EQ(f[j + 5 * i].re, original[i + 3 * j].re) << i << " " << j;
      EXPECT_EQ(f[j + 5 * i].im, original[i + 3 * j].im) << i << " " << j;
    }
}

}  // namespace
