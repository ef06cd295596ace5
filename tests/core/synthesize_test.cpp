#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"
#include "core/kernel_data.h"

namespace {

using tarvo_test::kLineOffsets;
using tarvo_test::kReadoutOffsets;
using tarvo_test::kS;
using tarvo_test::kW;
using tarvo_test::random_values;
using tarvo_test::wrap_index;

// A kernel set with the single pattern "*x*" of spacing 2 and the given coefficients (owned).
struct OnePatternSet {
  SliceKernelSet set{};
  explicit OnePatternSet(const std::vector<dcomplex>* coefficients) {
    set.spacing_count = 1;
    set.spacings = tarvo::alloc_array<std::int32_t>(1);
    set.spacings[0] = 2;
    set.source_lines = kS;
    set.readout_width = kW;
    set.patterns = tarvo::alloc_array<KernelPattern*>(1, true);
    set.patterns[0] = tarvo::alloc_array<KernelPattern>(1, true);
    build_patterns(set.patterns[0], 2, kS, 0);
    if (coefficients) {
      dcomplex* c = tarvo::alloc_array<dcomplex>(static_cast<std::int64_t>(coefficients->size()));
      for (std::size_t i = 0; i < coefficients->size(); ++i) c[i] = (*coefficients)[i];
      set.patterns[0][0].coefficients = c;
    }
  }
  ~OnePatternSet() { release_kernel_set(&set); }
};

class SynthesizeLine : public testing::TestWithParam<float> {};

// Against the model summed directly in long double with explicit circular indices.
TEST_P(SynthesizeLine, MatchesABruteForceSum) {
  const float fraction = GetParam();
  const int M = 9, N = 10, L = 3, K = kW * kS * L, extents[4] = {M, N / 2, L, N};
  const std::vector<dcomplex> original = random_values(M * N * L, 4);
  const std::vector<dcomplex> W = random_values(K * L, 5);
  for (int c = 0; c < L; ++c)
    for (int l : {0, 4, N - 1}) {
      std::vector<dcomplex> data = original;
      EXPECT_EQ(synthesize_line(c, l, data.data(), extents, W.data(), kS, kLineOffsets, kW,
                                kReadoutOffsets, fraction),
                0);
      const int n = static_cast<int>(M * fraction);
      for (int m = 0; m < M; ++m) {
        const std::size_t at = l + N * (m + static_cast<std::size_t>(M) * c);
        if (m < (M - n) / 2 || m >= (M + n) / 2) {  // outside the central samples: untouched
          EXPECT_EQ(data[at].re, original[at].re);
          continue;
        }
        long double re = 0, im = 0;
        for (int cs = 0; cs < L; ++cs)
          for (int j = 0; j < kW; ++j)
            for (int s = 0; s < kS; ++s) {
              const dcomplex v = original[wrap_index(l + kLineOffsets[s], N) +
                                          N * (wrap_index(m + kReadoutOffsets[j], M) +
                                               static_cast<std::size_t>(M) * cs)];
              const dcomplex w = W[s + kS * (cs + L * j) + static_cast<std::size_t>(K) * c];
              re += (long double)v.re * w.re - (long double)v.im * w.im;
              im += (long double)v.re * w.im + (long double)v.im * w.re;
            }
        // 30 products of values below 2 in magnitude: rounding stays below 1e-13.
        EXPECT_NEAR(data[at].re, double(re), 1e-13) << "c " << c << " l " << l << " m " << m;
        EXPECT_NEAR(data[at].im, double(im), 1e-13);
      }
    }
}

INSTANTIATE_TEST_SUITE_P(Fractions, SynthesizeLine, testing::Values(1.0f, 0.5f));

// One parity half of a slice: the acquired lines hold data, the others zero. Every missing line
// must be synthesised (lines 0 and N - 1 included: their sources wrap around), every acquired
// line kept bit for bit, and the new-line list must name every line, from 1.
class SynthesizeHalf : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(SynthesizeHalf, FillsEveryMissingLineAndKeepsTheAcquiredOnes) {
  const auto [N, parity] = GetParam();
  const int M = 6, L = 2, K = kW * kS * L;
  std::vector<int> acquired;
  for (int l = parity; l < N; l += 2) acquired.push_back(l);
  const int extents[4] = {M, static_cast<int>(acquired.size()), L, N};
  const std::vector<dcomplex> source = random_values(M * N * L, 7);
  std::vector<dcomplex> data(source.size(), dcomplex{0, 0});
  for (int c = 0; c < L; ++c)
    for (int m = 0; m < M; ++m)
      for (int l : acquired) {
        const std::size_t at = l + N * (m + static_cast<std::size_t>(M) * c);
        data[at] = source[at];
      }
  const std::vector<dcomplex> W = random_values(K * L, 8);
  OnePatternSet kernels(&W);
  int count = 0;
  int* list = nullptr;
  ASSERT_EQ(synthesize_missing_lines(data.data(), acquired.data(), extents, &count, &list, 1.0f,
                                     &kernels.set),
            0);
  for (int c = 0; c < L; ++c)
    for (int m = 0; m < M; ++m)
      for (int l = 0; l < N; ++l) {
        const std::size_t at = l + N * (m + static_cast<std::size_t>(M) * c);
        if (l % 2 == parity) {
          EXPECT_EQ(data[at].re, source[at].re) << "acquired line " << l;
          EXPECT_EQ(data[at].im, source[at].im);
        } else {
          EXPECT_NE(data[at].re, 0.0) << "missing line " << l << " not synthesised";
        }
      }
  std::vector<int> expected;
  for (int l = 1; l <= N; ++l) expected.push_back(l);
  EXPECT_EQ(std::vector<int>(list, list + count), expected);
  tarvo::free_bytes(list);
}

// N even: both halves complete. N odd: the even half holds the ceil(N/2) even lines, N - 1
// included, so every odd line (N - 2 too) has both sources.
INSTANTIATE_TEST_SUITE_P(Halves, SynthesizeHalf,
                         testing::Values(std::make_tuple(8, 1), std::make_tuple(8, 0),
                                         std::make_tuple(9, 0)));

// Regression: a pattern whose calibration failed has no coefficients; it must not be applied
// (no read through null) and the lines it would have made stay zero.
TEST(SynthesizeMissingLines, SkipsAPatternWithoutCoefficients) {
  const int M = 4, N = 6, L = 2;
  const int acquired[3] = {1, 3, 5};
  const int extents[4] = {M, 3, L, N};
  std::vector<dcomplex> data(M * N * L, dcomplex{0, 0});
  for (int c = 0; c < L; ++c)
    for (int m = 0; m < M; ++m)
      for (int l : acquired) data[l + N * (m + M * c)] = {1.0, 2.0};
  OnePatternSet kernels(nullptr);
  ASSERT_EQ(synthesize_missing_lines(data.data(), acquired, extents, nullptr, nullptr, 1.0f,
                                     &kernels.set),
            0);
  for (int c = 0; c < L; ++c)
    for (int m = 0; m < M; ++m)
      for (int l = 0; l < N; l += 2) EXPECT_EQ(data[l + N * (m + M * c)].re, 0.0);
}

TEST(SynthesizeMissingLines, LinesWithAMissingSourceStayEmpty) {
  // Lines 1 and 3 acquired in N = 6: only line 2 has both sources; lines 0, 4 and 5 each miss
  // one and stay empty.
  const int M = 4, N = 6, L = 1, K = kW * kS * L;
  const int acquired[2] = {1, 3};
  const int extents[4] = {M, 2, L, N};
  std::vector<dcomplex> data(M * N * L, dcomplex{0, 0});
  for (int m = 0; m < M; ++m) data[1 + N * m] = data[3 + N * m] = {1.0, 0.0};
  const std::vector<dcomplex> W = random_values(K * L, 2);
  OnePatternSet kernels(&W);
  int count = 0;
  int* list = nullptr;
  ASSERT_EQ(
      synthesize_missing_lines(data.data(), acquired, extents, &count, &list, 1.0f, &kernels.set),
      0);
  for (int m = 0; m < M; ++m) {
    EXPECT_NE(data[2 + N * m].re, 0.0);  // between 1 and 3
    EXPECT_EQ(data[0 + N * m].re, 0.0);
    EXPECT_EQ(data[4 + N * m].re, 0.0);
  }
  EXPECT_EQ(std::vector<int>(list, list + count), (std::vector<int>{2, 3, 4}));
  tarvo::free_bytes(list);
}

// Allocations of one call, in order: q, the offsets, the mask, the new-line list.
class SynthesizeMissingLinesAllocation
    : public testing::TestWithParam<std::tuple<int, std::string>> {};

TEST_P(SynthesizeMissingLinesAllocation, StopsWithItsMessage) {
  const auto& [k, message] = GetParam();
  const int M = 4, N = 6, L = 1, K = kW * kS * L;
  const int acquired[3] = {1, 3, 5};
  const int extents[4] = {M, 3, L, N};
  std::vector<dcomplex> data = random_values(M * N * L, 1);
  const std::vector<dcomplex> W = random_values(K * L, 2);
  OnePatternSet kernels(&W);
  int count = -7;
  int* list = nullptr;
  testing::internal::CaptureStderr();
  tarvo::alloc_fail_at(k);
  const int status =
      synthesize_missing_lines(data.data(), acquired, extents, &count, &list, 1.0f, &kernels.set);
  tarvo::alloc_fail_at(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(count, -7);
  EXPECT_EQ(list, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, SynthesizeMissingLinesAllocation,
    testing::Values(std::make_tuple(1, " could not alloc synthesis work array\n"),
                    std::make_tuple(3, " could not alloc synthesis work array\n"),
                    std::make_tuple(4, " could not alloc NewPhaseLines array\n")));

}  // namespace
