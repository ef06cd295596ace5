// The product kernel in both of its forms: the baseline, and fused multiply-adds where the
// processor has AVX2 and FMA.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "linalg/linalg.h"

namespace {

constexpr double kUntouched = 99.0;

class ProductKernel : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !tarvo::fma_kernels_available()) GTEST_SKIP() << "no AVX2 and FMA here";
    form_.emplace(GetParam() ? tarvo::KernelForm::kFused : tarvo::KernelForm::kBaseline);
  }
  void TearDown() override { form_.reset(); }

  // 15 rows (a tile of eight where AVX-512 is used, else two of four; a tile of four; a tail
  // of three), 300 columns (more than one column block) and eleven right-hand sides (a group of
  // eight and one of three in the AVX-512 tiles, of five, five and one in the AVX2 ones) of
  // O(1) random values.
  static constexpr int kRows = 15, kCols = 300, kCount = 11;
  std::vector<dcomplex> A = random(kRows * kCols, 1), X = random(kCols * kCount, 2);

  static std::vector<dcomplex> random(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g;
    std::vector<dcomplex> v(n);
    for (auto& e : v) e = {g(rng), g(rng)};
    return v;
  }

 private:
  std::optional<tarvo::KernelFormScope> form_;
};

TEST_P(ProductKernel, MatchesALongDoubleProductOnTheRowsAndColumnsAsked) {
  const unsigned char active[kCount] = {1, 0, 1, 1, 0, 1, 1, 1, 1, 1, 1};
  std::vector<dcomplex> Y(kRows * kCount, {kUntouched, kUntouched});
  tarvo::complex_matmat_rows(A.data(), kRows, kCols, X.data(), kCount, active, 2, kRows, Y.data());
  for (int c = 0; c < kCount; ++c)
    for (int i = 0; i < kRows; ++i) {
      const dcomplex y = Y[c * kRows + i];
      if (!active[c] || i < 2) {
        EXPECT_TRUE(y.re == kUntouched && y.im == kUntouched) << c << ", " << i;
        continue;
      }
      long double re = 0, im = 0;
      for (int j = 0; j < kCols; ++j) {
        const dcomplex a = A[j * kRows + i], x = X[c * kCols + j];
        re += static_cast<long double>(a.re) * x.re - static_cast<long double>(a.im) * x.im;
        im += static_cast<long double>(a.re) * x.im + static_cast<long double>(a.im) * x.re;
      }
      // kCols rounded terms of O(1) size each.
      EXPECT_NEAR(y.re, static_cast<double>(re), 1e-14 * kCols) << c << ", " << i;
      EXPECT_NEAR(y.im, static_cast<double>(im), 1e-14 * kCols) << c << ", " << i;
    }
}

// What the threads and the callers rely on: an element gets the same bits whether it is formed
// with the others or alone, in a tile or in the tail, or one term at a time by
// complex_mult_add.
TEST_P(ProductKernel, AnElementsBitsDoNotDependOnWhatTheCallCovers) {
  std::vector<dcomplex> all(kRows * kCount), part(kRows * kCount);
  tarvo::complex_matmat_rows(A.data(), kRows, kCols, X.data(), kCount, nullptr, 0, kRows,
                             all.data());
  for (int c = 0; c < kCount; ++c) {
    dcomplex* y = part.data() + c * kRows;
    tarvo::complex_matmat_rows(A.data(), kRows, kCols, X.data() + c * kCols, 1, nullptr, 0, 3, y);
    tarvo::complex_matmat_rows(A.data(), kRows, kCols, X.data() + c * kCols, 1, nullptr, 3, kRows,
                               y);
  }
  EXPECT_EQ(std::memcmp(all.data(), part.data(), all.size() * sizeof(dcomplex)), 0);

  // Packed by panels (one of eight rows, one of seven): the same bits, panel by panel.
  std::vector<dcomplex> panels(tarvo::panels_size(kRows, kCols));
  tarvo::complex_pack_panels(A.data(), kRows, kCols, panels.data());
  std::vector<dcomplex> packed(kRows * kCount, {kUntouched, kUntouched});
  tarvo::complex_matmat_panels(panels.data(), kRows, kCols, X.data(), kCount, nullptr, 1, 2,
                               packed.data());
  EXPECT_TRUE(packed[0].re == kUntouched && packed[7].im == kUntouched);
  tarvo::complex_matmat_panels(panels.data(), kRows, kCols, X.data(), kCount, nullptr, 0, 1,
                               packed.data());
  EXPECT_EQ(std::memcmp(all.data(), packed.data(), all.size() * sizeof(dcomplex)), 0);

  // Eleven matrices of kRows x 5 times three vectors: eight side by side where AVX-512 is used
  // (their last seven rows and the other three matrices as plain products), each result with the
  // bits of its own one-vector product.
  constexpr int kVectors = 3;
  std::vector<dcomplex> blocks(kRows * kCount * kVectors, {kUntouched, kUntouched});
  tarvo::complex_matmat_blocks(A.data(), kRows, 5, kCount, X.data(), kVectors, blocks.data());
  for (int v = 0; v < kVectors; ++v)
    for (int b = 0; b < kCount; ++b) {
      dcomplex one[kRows];
      tarvo::complex_matmat_rows(A.data() + kRows * 5 * b, kRows, 5, X.data() + 5 * v, 1, nullptr,
                                 0, kRows, one);
      EXPECT_EQ(std::memcmp(one, blocks.data() + kRows * (b + kCount * v), sizeof one), 0)
          << b << ", " << v;
    }

  std::vector<dcomplex> y(kRows);
  complex_matvec(A.data(), X.data(), kRows, kCols, y.data());
  EXPECT_EQ(std::memcmp(y.data(), all.data(), y.size() * sizeof(dcomplex)), 0);
  for (int i = 0; i < kRows; ++i) {
    dcomplex sum = {0.0, 0.0};
    for (int j = 0; j < kCols; ++j) sum = tarvo::complex_mult_add(sum, A[j * kRows + i], X[j]);
    EXPECT_TRUE(sum.re == all[i].re && sum.im == all[i].im) << i;
  }
}

// The Gram form reads its right-hand sides from A's own rows, A held as panels: on and below
// the diagonal, the bits of the product with the conjugated rows copied out (columns from a
// panel's first row, through the last rows, which fill no whole tile; 23 rows of panels 4096
// elements wide, which are laid out further apart), whole or formed by ranges of rows, each
// range touching its own rows only.
TEST_P(ProductKernel, GramPanelsEqualTheProductWithTheRowsCopiedOut) {
  for (const auto& [rows, cols] : {std::pair{kRows, kCols}, {23, 512}}) {
    const std::vector<dcomplex> B = random(rows * cols, 4);
    std::vector<dcomplex> panels(tarvo::panels_size(rows, cols));
    tarvo::complex_pack_panels(B.data(), rows, cols, panels.data());
    for (const int c0 : {0, 8}) {
      const int count = rows - c0;
      std::vector<dcomplex> X(cols * count);
      for (int c = 0; c < count; ++c)
        for (int j = 0; j < cols; ++j) {
          const dcomplex a = B[j * rows + c0 + c];
          X[c * cols + j] = {a.re, -a.im};
        }
      std::vector<dcomplex> want(rows * count);
      tarvo::complex_matmat_rows(B.data(), rows, cols, X.data(), count, nullptr, 0, rows,
                                 want.data());
      std::vector<dcomplex> got(rows * count, {kUntouched, kUntouched}), all(rows * count);
      tarvo::complex_gram_panels(panels.data(), rows, cols, c0, count, got.data());
      tarvo::complex_matmat_panels(panels.data(), rows, cols, X.data(), count, nullptr, 0,
                                   static_cast<int>(tarvo::panel_count(rows)), all.data());
      EXPECT_EQ(std::memcmp(want.data(), all.data(), all.size() * sizeof(dcomplex)), 0) << cols;
      std::vector<dcomplex> split(rows * count, {kUntouched, kUntouched});
      for (const auto& [r0, r1] : {std::pair{0, 8}, {8, 16}, {16, rows}}) {
        tarvo::complex_gram_panels(panels.data(), rows, cols, c0, count, r0, r1, split.data());
        for (int c = 0; c < count; ++c)  // the ranges go upwards: rows past r1 wait
          for (int i = 0; i < rows; ++i)
            EXPECT_EQ(split[c * rows + i].re == kUntouched, i < c0 || i >= r1) << r1 << ", " << i;
      }
      for (int c = 0; c < count; ++c) {
        for (int i = 0; i < c0; ++i) EXPECT_EQ(got[c * rows + i].re, kUntouched);
        const std::size_t lower = c * rows + c0 + c;
        const std::size_t bytes = (rows - c0 - c) * sizeof(dcomplex);
        EXPECT_EQ(std::memcmp(&want[lower], &got[lower], bytes), 0)
            << cols << ", " << c0 << ", " << c;
        EXPECT_EQ(std::memcmp(&want[lower], &split[lower], bytes), 0) << cols << ", " << c0;
      }
    }
  }
}

// Right-hand sides read through a table from overlapping windows of one array (as the line
// synthesis reads its sources): the same bits as the product with the columns copied out.
TEST_P(ProductKernel, GatheredColumnsEqualTheProductWithTheColumnsCopiedOut) {
  // Element j of window c: runs of 7 consecutive values 13 apart, window c starting 2c further on.
  constexpr std::int64_t kStride = 2;
  std::vector<std::int64_t> at(kCols);
  for (int j = 0; j < kCols; ++j) at[j] = j / 7 * 13 + j % 7;
  std::vector<dcomplex> copied(kCols * kCount);
  for (int c = 0; c < kCount; ++c)
    for (int j = 0; j < kCols; ++j) copied[c * kCols + j] = X[c * kStride + at[j]];
  std::vector<dcomplex> want(kRows * kCount), got(kRows * kCount, {kUntouched, kUntouched});
  tarvo::complex_matmat_rows(A.data(), kRows, kCols, copied.data(), kCount, nullptr, 0, kRows,
                             want.data());
  tarvo::complex_matmat_gather(A.data(), kRows, kCols, X.data(), kStride, at.data(), kCount,
                               got.data());
  EXPECT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(dcomplex)), 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, ProductKernel, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "FusedMultiplyAdd" : "Baseline";
                         });

}  // namespace
