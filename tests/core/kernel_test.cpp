#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"
#include "core/internal.h"
#include "core/test_util.h"
#include "linalg/linalg.h"

namespace {

using namespace tarvo_test;

std::vector<int> lines_from(int first, int N) {
  std::vector<int> v;
  for (int l = first; l < N; l += 2) v.push_back(l);
  return v;
}

// Fits "*x*" of width 5 on the given calibration lines; returns the K x L coefficients.
std::vector<dcomplex> fit(const std::vector<dcomplex>& data, int M, int N, int L,
                          const std::vector<int>& lines, int n_ro) {
  dcomplex* coef = nullptr;
  EXPECT_EQ(calibrate_kernel({M, N, L, N}, data.data(), kKernel,
                             {int(lines.size()), lines.data(), n_ro}, &coef),
            0);
  std::vector<dcomplex> out(coef, coef + kW * kS * L * L);
  tarvo::free_bytes(coef);
  return out;
}

// Every odd line is an exact combination of its neighbours with known weights (one weight, read
// back at s + S*(c' + L*j) + K*c, or all random). With R = n_ro*16 training equations for
// K = 30 weights, CG converges within its 40 passes; its stop test (residual below 1e-9 on data
// of unit scale) bounds the weight error far below 1e-8. n_ro = M also makes the window wrap:
// offsets -2 and +1 past the end must read samples M - 2 and 1.
class ExactKernel : public testing::TestWithParam<std::tuple<int, int, int, int, int>> {};

TEST_P(ExactKernel, FittedWeightsAreTheKnownOnes) {
  const auto [s, cs, j, c, n_ro] = GetParam();
  const int M = 8, N = 32, L = 3, K = kW * kS * L;
  std::vector<dcomplex> W(K * L, dcomplex{0, 0});
  if (s < 0)
    W = random_values(K * L, 11, 0.3);
  else
    W[s + kS * (cs + L * j) + K * c] = {0.75, -0.5};
  const std::vector<dcomplex> coef =
      fit(exact_kernel_slice(M, N, L, W, 5), M, N, L, lines_from(1, N), n_ro);
  EXPECT_LT(max_abs_difference(coef, W), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Weights, ExactKernel,
                         testing::Values(std::make_tuple(1, 2, 3, 0, 4),
                                         std::make_tuple(0, 0, 0, 2, 4),
                                         std::make_tuple(-1, 0, 0, 0, 8)));

TEST(CalibrateKernel, AllZeroDataGiveAllZeroCoefficients) {
  const std::vector<dcomplex> data(8 * 8 * 8, dcomplex{0, 0});
  EXPECT_EQ(max_abs(fit(data, 8, 8, 8, lines_from(0, 8), 2)), 0.0);
}

// One parity half (N even, or N odd with the even half): every missing line is synthesised,
// lines 0 and N - 1 included (their sources wrap around), acquired lines are kept bit for bit
// and the new-line list names every line, counted from 1. A pattern without coefficients
// (failed calibration) is not applied: its lines stay zero. M = 6 is narrower than a block of
// samples and its window; M = 20 has whole blocks whose windows wrap around the readout.
class SynthesizeHalf : public testing::TestWithParam<std::tuple<int, int, bool, int>> {};

TEST_P(SynthesizeHalf, FillsEveryMissingLineAndKeepsTheAcquiredOnes) {
  const auto [N, parity, with_coefficients, M] = GetParam();
  const int L = 2;
  const std::vector<int> acquired = lines_from(parity, N);
  const SliceShape shape{M, int(acquired.size()), L, N};
  const std::vector<dcomplex> source = random_values(M * N * L, 7);
  std::vector<dcomplex> data(source.size(), dcomplex{0, 0});
  for (std::size_t i = 0; i < data.size(); ++i)
    if (int(i % N) % 2 == parity) data[i] = source[i];
  const std::vector<dcomplex> W = random_values(kW * kS * L * L, 8);
  SliceKernelSet* set = one_pattern_set(with_coefficients ? &W : nullptr);
  const std::vector<dcomplex> before = data;
  int count = 0;
  int* list = nullptr;
  ASSERT_EQ(synthesize_missing_lines(data.data(), acquired.data(), shape, &count, &list, 1.0f, set),
            0);
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (int(i % N) % 2 == parity)
      EXPECT_EQ(data[i].re, source[i].re) << "acquired line " << i % N;
    else if (with_coefficients) {  // the model over the acquired lines
      const int l = int(i % N), m = int(i / N % M), c = int(i / N / M);
      const dcomplex expected = kernel_sum(before, W, M, N, L, l, m, c);
      EXPECT_NEAR(data[i].re, expected.re, 1e-13) << "missing line " << l;
      EXPECT_NEAR(data[i].im, expected.im, 1e-13) << "missing line " << l;
    } else
      EXPECT_EQ(data[i].re, 0.0) << "line " << i % N;
  }
  std::vector<int> expected;
  for (int l = 1; l <= N; ++l) expected.push_back(l);
  EXPECT_EQ(std::vector<int>(list, list + count), expected);
  tarvo::free_bytes(list);
  free_set(set);
}

INSTANTIATE_TEST_SUITE_P(Halves, SynthesizeHalf,
                         testing::Values(std::make_tuple(8, 1, true, 6),
                                         std::make_tuple(8, 0, true, 6),
                                         std::make_tuple(9, 0, true, 6),
                                         std::make_tuple(8, 1, false, 6),
                                         std::make_tuple(8, 1, true, 20)));

}  // namespace

namespace {

// The Gram matrix of the accelerated fits, taken from the readout offsets' shifts, against the
// direct sums of A's definition: windows inside the readout, wrapping past its start (n_ro 23 of
// 24: offset -2 reads the last samples) and the whole readout. Offsets that are not consecutive
// are left to the direct sums, X untouched.
TEST(ShiftedGram, MatchesTheDirectSumsToRounding) {
  const int M = 24, N = 10, L = 3, S = 2, w = 5;
  const int line_offsets[S] = {-1, 1};
  const int q[w] = {-2, -1, 0, 1, 2};
  const std::vector<int> lines = {1, 3, 4, 8};
  const int C = static_cast<int>(lines.size()), K = w * S * L;
  std::vector<dcomplex> data(M * N * L);
  for (std::size_t k = 0; k < data.size(); ++k)
    data[k] = {std::sin(0.37 * k) * 3.0, std::cos(0.11 * k * k)};
  for (const int n_ro : {6, 23, 24}) {
    const int R = n_ro * C, start = (M - n_ro) / 2;
    std::vector<dcomplex> AH(K * R);
    double squares = 0;
    for (int i = 0; i < C; ++i)
      for (int r = 0; r < n_ro; ++r)
        for (int j = 0; j < w; ++j)
          for (int c = 0; c < L; ++c)
            for (int s = 0; s < S; ++s) {
              const int line = (lines[i] + line_offsets[s] + N) % N;
              const int sample = (start + q[j] + r + M) % M;
              const dcomplex v = data[c * M * N + line + N * sample];
              AH[s + S * (c + L * j) + K * (r + n_ro * i)] = {v.re, -v.im};
              squares += v.re * v.re + v.im * v.im;
            }
    const double scale = std::sqrt(squares / (double(K) * R));
    for (dcomplex& v : AH) v = {v.re / scale, v.im / scale};
    std::vector<dcomplex> panels(tarvo::panels_size(K, R)), direct(K * K), shifted(K * K);
    tarvo::complex_pack_panels(AH.data(), K, R, panels.data());
    core_detail::gram_matrix(panels.data(), K, R, direct.data(), 2);
    const SliceShape slice{M, N, L, N};
    const TrainingSet training{C, lines.data(), n_ro};
    const KernelGeometry kernel{S, line_offsets, w, q};
    ASSERT_EQ(core_detail::shifted_gram(slice, data.data(), kernel, training, panels.data(), scale,
                                        shifted.data(), 2),
              1);
    double largest = 0, worst = 0;
    for (int k = 0; k < K * K; ++k) {
      largest = std::max(largest, std::hypot(direct[k].re, direct[k].im));
      worst =
          std::max(worst, std::hypot(direct[k].re - shifted[k].re, direct[k].im - shifted[k].im));
    }
    EXPECT_LT(worst, 1e-13 * largest) << n_ro;
    const int apart[w] = {-2, -1, 0, 1, 3};
    std::vector<dcomplex> untouched(K * K, {7, 7});
    EXPECT_EQ(core_detail::shifted_gram(slice, data.data(), {S, line_offsets, w, apart}, training,
                                        panels.data(), scale, untouched.data(), 2),
              0);
    EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(),
                            [](dcomplex v) { return v.re == 7 && v.im == 7; }));
  }
}

}  // namespace
