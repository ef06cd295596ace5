#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <complex>
#include <string>
#include <tuple>
#include <vector>

#include "core/core.h"
#include "core/kernel_data.h"

namespace {

using tarvo_test::exact_kernel_slice;
using tarvo_test::kLineOffsets;
using tarvo_test::kReadoutOffsets;
using tarvo_test::kS;
using tarvo_test::kW;
using tarvo_test::random_values;

std::vector<int> odd_lines(int N) {
  std::vector<int> v;
  for (int l = 1; l < N; l += 2) v.push_back(l);
  return v;
}

// Fits "*x*" of width 5 on the given lines; returns the K x L coefficients.
std::vector<dcomplex> fit(const std::vector<dcomplex>& data, int M, int N, int L,
                          const std::vector<int>& lines, int n_ro) {
  const int extents[4] = {M, N, L, N};
  dcomplex* coef = nullptr;
  EXPECT_EQ(calibrate_kernel(extents, data.data(), kS, kLineOffsets, kW, kReadoutOffsets,
                             static_cast<int>(lines.size()), lines.data(), n_ro, &coef, 0, 0),
            0);
  const int K = kW * kS * L;
  std::vector<dcomplex> out(coef, coef + K * L);
  tarvo::free_bytes(coef);
  return out;
}

double max_abs_difference(const std::vector<dcomplex>& a, const std::vector<dcomplex>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i)
    worst = std::max(worst, std::hypot(a[i].re - b[i].re, a[i].im - b[i].im));
  return worst;
}

// Data built so that every odd line is an exact combination of its neighbours with known
// weights: with 128 training equations for 30 weights the fit must return those weights. CG on
// 30 unknowns converges within its 40 passes; its stop test (residual below 1e-9 on data of unit
// scale) bounds the weight error by about 1e-9 / lambda_min, far below 1e-8.
TEST(CalibrateKernel, RecoversAnExactlyRightKernel) {
  const int M = 16, N = 32, L = 3, K = kW * kS * L;
  std::vector<dcomplex> W = random_values(static_cast<std::size_t>(K) * L, 11);
  for (dcomplex& w : W) w = {0.3 * w.re, 0.3 * w.im};
  const std::vector<dcomplex> data = exact_kernel_slice(M, N, L, W, 0, M, 5);
  const std::vector<dcomplex> coef = fit(data, M, N, L, odd_lines(N), M / 2);
  EXPECT_LT(max_abs_difference(coef, W), 1e-8);
}

// A kernel with one weight: target coil c equals source line s of coil c' at readout offset j.
// The weight must be found at entry s + S*(c' + L*j) + K*c and nowhere else.
class CoefficientLayout : public testing::TestWithParam<std::tuple<int, int, int, int>> {};

TEST_P(CoefficientLayout, WeightIsReadBackBySourceCoilOffsetAndTargetCoil) {
  const auto [s, cs, j, c] = GetParam();
  const int M = 12, N = 20, L = 3, K = kW * kS * L;
  std::vector<dcomplex> W(static_cast<std::size_t>(K) * L, dcomplex{0, 0});
  const std::size_t index = s + kS * (cs + L * j) + static_cast<std::size_t>(K) * c;
  W[index] = {0.75, -0.5};
  const std::vector<dcomplex> data = exact_kernel_slice(M, N, L, W, 0, M, 9);
  const std::vector<dcomplex> coef = fit(data, M, N, L, odd_lines(N), M / 2);
  ASSERT_EQ(coef.size(), static_cast<std::size_t>(10 * L * L));
  EXPECT_NEAR(coef[index].re, 0.75, 1e-8);
  EXPECT_NEAR(coef[index].im, -0.5, 1e-8);
  EXPECT_LT(max_abs_difference(coef, W), 1e-8);
}

INSTANTIATE_TEST_SUITE_P(Weights, CoefficientLayout,
                         testing::Values(std::make_tuple(1, 2, 3, 0), std::make_tuple(0, 0, 0, 2),
                                         std::make_tuple(1, 1, 4, 1), std::make_tuple(0, 2, 2, 1)));

// Regression: the training window wraps around both ends of the readout. With n_ro = M the
// window starts at 0 and the offsets reach samples -2 and M + 1, which must read M - 2 and 1.
TEST(CalibrateKernel, TrainingWindowWrapsAroundTheReadout) {
  const int M = 8, N = 16, L = 2, K = kW * kS * L;
  std::vector<dcomplex> W = random_values(static_cast<std::size_t>(K) * L, 3);
  for (dcomplex& w : W) w = {0.2 * w.re, 0.2 * w.im};
  const std::vector<dcomplex> data = exact_kernel_slice(M, N, L, W, 0, M, 4);
  EXPECT_LT(max_abs_difference(fit(data, M, N, L, odd_lines(N), M), W), 1e-8);
}

// The fit against an independent least-squares solve (Eigen, QR) on data that no kernel fits
// exactly. The normal equations square the condition number (about 1e2 here), so CG's result
// agrees to about 1e-9 relative; 1e-7 leaves room.
TEST(CalibrateKernel, MatchesADirectLeastSquaresSolve) {
  const int M = 16, N = 24, L = 2, K = kW * kS * L, n_ro = 4;
  const std::vector<dcomplex> data = random_values(static_cast<std::size_t>(M) * N * L, 21);
  std::vector<int> lines;
  for (int l = 0; l < N; ++l) lines.push_back(l);
  const std::vector<dcomplex> coef = fit(data, M, N, L, lines, n_ro);

  using Mat = Eigen::Matrix<std::complex<double>, Eigen::Dynamic, Eigen::Dynamic>;
  auto value = [&](int l, int m, int c) {
    const dcomplex v = data[tarvo_test::wrap_index(l, N) +
                            N * (tarvo_test::wrap_index(m, M) + M * static_cast<std::size_t>(c))];
    return std::complex<double>(v.re, v.im);
  };
  const int R = n_ro * N, start = (M - n_ro) / 2;
  Mat A(R, K), B(R, L);
  for (int i = 0; i < N; ++i)
    for (int r = 0; r < n_ro; ++r) {
      for (int c = 0; c < L; ++c) B(r + n_ro * i, c) = value(i, start + r, c);
      for (int cs = 0; cs < L; ++cs)
        for (int j = 0; j < kW; ++j)
          for (int s = 0; s < kS; ++s)
            A(r + n_ro * i, s + kS * (cs + L * j)) =
                value(i + kLineOffsets[s], start + r + kReadoutOffsets[j], cs);
    }
  const Mat expected = A.colPivHouseholderQr().solve(B);
  double scale = 0.0, worst = 0.0;
  for (int c = 0; c < L; ++c)
    for (int k = 0; k < K; ++k) {
      const std::complex<double> got(coef[k + K * c].re, coef[k + K * c].im);
      worst = std::max(worst, std::abs(got - expected(k, c)));
      scale = std::max(scale, std::abs(expected(k, c)));
    }
  EXPECT_LT(worst, 1e-7 * scale);
}

// Regression: the solver's stop test is absolute (residual norm below 1e-9). Without dividing the
// training data by their RMS magnitude, data of scale 1e-9 stopped at once with zero weights.
TEST(CalibrateKernel, WeightsDoNotDependOnTheScaleOfTheData) {
  const int M = 16, N = 32, L = 2, K = kW * kS * L;
  std::vector<dcomplex> W = random_values(static_cast<std::size_t>(K) * L, 8);
  for (dcomplex& w : W) w = {0.3 * w.re, 0.3 * w.im};
  const std::vector<dcomplex> data = exact_kernel_slice(M, N, L, W, 0, M, 2);
  const std::vector<dcomplex> reference = fit(data, M, N, L, odd_lines(N), M / 4);
  for (double factor : {1e-9, 1e-6, 1e3}) {
    std::vector<dcomplex> scaled = data;
    for (dcomplex& v : scaled) v = {v.re * factor, v.im * factor};
    EXPECT_LT(max_abs_difference(fit(scaled, M, N, L, odd_lines(N), M / 4), reference), 1e-9)
        << "scale " << factor;
  }
}

TEST(CalibrateKernel, AllZeroDataGiveAllZeroCoefficients) {
  const int M = 8, N = 8, L = 8;
  const std::vector<dcomplex> data(static_cast<std::size_t>(M) * N * L, dcomplex{0, 0});
  std::vector<int> lines;
  for (int l = 0; l < N; ++l) lines.push_back(l);
  const std::vector<dcomplex> coef = fit(data, M, N, L, lines, 2);
  ASSERT_EQ(coef.size(), 80u * 8u);
  for (const dcomplex& c : coef) {
    EXPECT_EQ(c.re, 0.0);
    EXPECT_EQ(c.im, 0.0);
  }
}

TEST(GramColumn, IsOneColumnOfTheNormalMatrix) {
  const int K = 3, R = 4;
  const std::vector<dcomplex> A = random_values(R * K, 1);
  std::vector<dcomplex> AH(K * R);
  for (int r = 0; r < R; ++r)
    for (int k = 0; k < K; ++k) AH[k + K * r] = {A[r + R * k].re, -A[r + R * k].im};
  for (int i = 0; i < K; ++i) {
    std::vector<dcomplex> column(K, dcomplex{9, 9});
    EXPECT_EQ(gram_column(AH.data(), A.data() + R * i, K, R, column.data()), 0);
    for (int k = 0; k < K; ++k) {
      std::complex<double> sum = 0;
      for (int r = 0; r < R; ++r)
        sum += std::conj(std::complex<double>(A[r + R * k].re, A[r + R * k].im)) *
               std::complex<double>(A[r + R * i].re, A[r + R * i].im);
      EXPECT_NEAR(column[k].re, sum.real(), 1e-14);
      EXPECT_NEAR(column[k].im, sum.imag(), 1e-14);
    }
  }
}

// Allocations of one calibration, in order: AH, A, X, the coefficient array, then per target
// coil b and Xb. Each failure stops the step with its message.
class CalibrateKernelAllocation : public testing::TestWithParam<std::tuple<int, std::string>> {};

TEST_P(CalibrateKernelAllocation, StopsWithTheMessageOfTheFailedBuffer) {
  const auto& [k, message] = GetParam();
  const int M = 8, N = 8, L = 2, extents[4] = {M, N, L, N};
  const std::vector<dcomplex> data = random_values(M * N * L, 3);
  const std::vector<int> lines = odd_lines(N);
  dcomplex* coef = nullptr;
  testing::internal::CaptureStderr();
  tarvo::alloc_fail_at(k);
  const int status = calibrate_kernel(extents, data.data(), kS, kLineOffsets, kW, kReadoutOffsets,
                                      4, lines.data(), 2, &coef, 0, 0);
  tarvo::alloc_fail_at(0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
  EXPECT_EQ(status, -1);
  tarvo::free_bytes(coef);
}

INSTANTIATE_TEST_SUITE_P(Buffers, CalibrateKernelAllocation,
                         testing::Values(std::make_tuple(1, " could not alloc AH array\n"),
                                         std::make_tuple(2, " could not alloc A array\n"),
                                         std::make_tuple(3, " could not alloc X array\n"),
                                         std::make_tuple(4, " could not alloc N array\n"),
                                         std::make_tuple(5, " could not alloc b array\n"),
                                         std::make_tuple(6, " could not alloc Xb array\n")));

// The slice set-up of the estimation: n_ro = floor(M/4) samples from (M - n_ro)/2, widened by the
// offsets -2 .. 2. Samples outside that window must not influence the fit; its edges must.
struct WindowCase {
  int M;
  std::vector<int> outside;
  std::vector<int> edges;
};

class TrainingWindow : public testing::TestWithParam<WindowCase> {};

std::vector<dcomplex> fit_slice(const std::vector<dcomplex>& data, int M, int N, int L) {
  SliceKernelSet set{};
  set.spacing_count = 1;
  set.spacings = tarvo::alloc_array<std::int32_t>(1);
  set.spacings[0] = 2;
  set.source_lines = 2;
  set.readout_width = 5;
  std::vector<int> lines;
  for (int l = 0; l < N; ++l) lines.push_back(l);
  const int extents[4] = {M, N, L, N};
  EXPECT_EQ(fit_slice_kernels(data.data(), lines.data(), extents, &set, 0.25f), 0);
  const dcomplex* c = set.patterns[0][0].coefficients;
  std::vector<dcomplex> out(c, c + 10 * L * L);
  release_kernel_set(&set);
  return out;
}

TEST_P(TrainingWindow, OnlySamplesInTheWindowTakePart) {
  const WindowCase& w = GetParam();
  const int N = 16, L = 1;
  const std::vector<dcomplex> data = random_values(static_cast<std::size_t>(w.M) * N * L, 6);
  const std::vector<dcomplex> reference = fit_slice(data, w.M, N, L);
  auto perturbed = [&](int m) {
    std::vector<dcomplex> d = data;
    for (int l = 0; l < N; ++l) d[l + N * m].re += 0.5;
    return fit_slice(d, w.M, N, L);
  };
  for (int m : w.outside) EXPECT_EQ(max_abs_difference(perturbed(m), reference), 0.0) << m;
  for (int m : w.edges) EXPECT_GT(max_abs_difference(perturbed(m), reference), 1e-6) << m;
}

INSTANTIATE_TEST_SUITE_P(ReadoutLengths, TrainingWindow,
                         testing::Values(WindowCase{7, {0, 6}, {1, 3, 5}},  // n_ro 1 at sample 3
                                         WindowCase{8, {0, 7}, {1, 6}}));   // n_ro 2 at 3, 4

}  // namespace
